#include "imaging/lens_correction.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>
#include <vector>

namespace aeroquilt {
namespace {

// The model's principal point in OpenCV's zero-based pixel coordinates: column W/2
// and row H/2 counted from 1.
cv::Point2d model_centre(int width, int height) { return {width / 2.0 - 1.0, height / 2.0 - 1.0}; }

cv::Matx33d camera_matrix(double focal_px, const cv::Point2d& centre) {
  return {focal_px, 0, centre.x, 0, focal_px, centre.y, 0, 0, 1};
}

// The largest focal length at which every pixel of the distorted frame's edges, through
// its undistorted ray, lands inside the ideal frame: the whole frame is kept.
double outer_focal_px(const cv::Matx33d& source, const cv::Mat& coefficients, int width,
                      int height) {
  std::vector<cv::Point2d> edge;
  for (int c = 0; c < width; ++c)
    edge.insert(edge.end(), {{double(c), 0.0}, {double(c), height - 1.0}});
  for (int r = 0; r < height; ++r)
    edge.insert(edge.end(), {{0.0, double(r)}, {width - 1.0, double(r)}});
  std::vector<cv::Point2d> normalised;
  cv::undistortPoints(edge, normalised, source, coefficients);
  const cv::Point2d centre = model_centre(width, height);
  double focal = std::numeric_limits<double>::infinity();
  for (const cv::Point2d& n : normalised) {
    if (n.x < 0) focal = std::min(focal, centre.x / -n.x);
    if (n.x > 0) focal = std::min(focal, (width - 1.0 - centre.x) / n.x);
    if (n.y < 0) focal = std::min(focal, centre.y / -n.y);
    if (n.y > 0) focal = std::min(focal, (height - 1.0 - centre.y) / n.y);
  }
  return focal;
}

}  // namespace

bool lens_options::active() const {
  return principal_offset_x != 0 || principal_offset_y != 0 || k1 != 0 || k2 != 0 || p1 != 0 ||
         p2 != 0 || k3 != 0;
}

lens_undistorter::lens_undistorter(const lens_options& lens, int width, int height) {
  if (!lens.active() || width < 2 || height < 2 || !(lens.focal_length_px > 0)) return;
  const cv::Point2d centre = model_centre(width, height);
  const cv::Matx33d source =
      camera_matrix(lens.focal_length_px,
                    {centre.x + lens.principal_offset_x, centre.y + lens.principal_offset_y});
  const cv::Mat coefficients =
      (cv::Mat_<double>(1, 5) << lens.k1, lens.k2, lens.p1, lens.p2, lens.k3);
  const double focal = outer_focal_px(source, coefficients, width, height);
  // A distortion that folds the frame's edges over has no usable inverse.
  if (!(std::isfinite(focal) && focal > 0)) return;
  cv::initUndistortRectifyMap(source, coefficients, cv::noArray(), camera_matrix(focal, centre),
                              cv::Size(width, height), CV_32FC1, map_x_, map_y_);
  // Ideal pixels whose ray the distorted frame did not record hold no data.
  const cv::Mat inside =
      (map_x_ >= 0) & (map_x_ <= width - 1.0) & (map_y_ >= 0) & (map_y_ <= height - 1.0);
  no_data_ = ~inside;
  ideal_focal_px_ = focal;
}

cv::Mat lens_undistorter::apply(const cv::Mat& frame) const {
  if (!active() || frame.size() != map_x_.size()) return frame;
  cv::Mat ideal;
  cv::remap(frame, ideal, map_x_, map_y_, cv::INTER_LINEAR, cv::BORDER_REPLICATE);
  return ideal;
}

}  // namespace aeroquilt
