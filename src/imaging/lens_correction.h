#pragma once
// Resampling of distorted camera frames to the ideal pinhole the camera model assumes.

#include <opencv2/core.hpp>

namespace aeroquilt {

// The lens of the frames as calibrated (Brown model, OpenCV's coefficient order).
struct lens_options {
  double focal_length_px = 0;     // the calibrated focal length
  double principal_offset_x = 0;  // principal point minus the model's centre, pixels right
  double principal_offset_y = 0;  // and down; the centre is column W/2, row H/2 counted from 1
  double k1 = 0, k2 = 0, p1 = 0, p2 = 0, k3 = 0;

  // False when every coefficient and offset is 0: frames are used as read.
  bool active() const;
};

// The resampling of one run, built once: for each pixel of the ideal frame (principal
// point at the model's centre, square pixels) where to read the distorted frame.
class lens_undistorter {
 public:
  lens_undistorter() = default;
  // Chooses the ideal focal length so that the whole distorted frame fits in the ideal
  // one (no ground lost at its corners), and builds the map for frames of this size.
  lens_undistorter(const lens_options& lens, int width, int height);

  bool active() const { return !map_x_.empty(); }
  // Focal length of the ideal frames, pixels; the camera model must use it.
  double ideal_focal_px() const { return ideal_focal_px_; }
  // The ideal frame; a frame of another size is returned as it is.
  cv::Mat apply(const cv::Mat& frame) const;
  cv::Size frame_size() const { return map_x_.size(); }
  // 255 where the ideal frame has no data (rays outside the distorted frame), 0
  // elsewhere; empty when inactive.
  const cv::Mat& no_data() const { return no_data_; }
  // Where ideal pixel (column, row) reads the frame as recorded, zero-based pixels; the
  // map must be active and the pixel inside it.
  cv::Point2f source_point(int column, int row) const {
    return {map_x_.at<float>(row, column), map_y_.at<float>(row, column)};
  }

 private:
  cv::Mat map_x_, map_y_;  // CV_32FC1, zero-based source positions
  cv::Mat no_data_;        // CV_8UC1
  double ideal_focal_px_ = 0;
};

}  // namespace aeroquilt
