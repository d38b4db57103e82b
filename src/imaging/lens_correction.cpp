#include "imaging/lens_correction.h"

#include <algorithm>
#include <cmath>
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

// The smallest focal length at which the ideal frame's edges stay within the
// undistorted outline of the source frame's edges.
double inner_focal_px(const cv::Matx33d& source, const cv::Mat& coefficients, int width,
                      int height) {
  std::vector<cv::Point2d> edge;
  for (int c = 0; c < width; ++c)
    edge.insert(edge.end(), {{double(c), 0.0}, {double(c), height - 1.0}});
  for (int r = 0; r < height; ++r)
    edge.insert(edge.end(), {{0.0, double(r)}, {width - 1.0, double(r)}});
  std::vector<cv::Point2d> normalised;
  cv::undistortPoints(edge, normalised, source, coefficients);
  double left = -1e9, right = 1e9, top = -1e9, bottom = 1e9;
  for (std::size_t k = 0; k < edge.size(); ++k) {
    const cv::Point2d& p = edge[k];
    const cv::Point2d& n = normalised[k];
    if (p.x == 0.0) left = std::max(left, n.x);
    if (p.x == width - 1.0) right = std::min(right, n.x);
    if (p.y == 0.0) top = std::max(top, n.y);
    if (p.y == height - 1.0) bottom = std::min(bottom, n.y);
  }
  const cv::Point2d centre = model_centre(width, height);
  return std::max({centre.x / -left, (width - 1.0 - centre.x) / right, centre.y / -top,
                   (height - 1.0 - centre.y) / bottom});
}

bool map_inside(const cv::Mat& map_x, const cv::Mat& map_y) {
  double x_lo, x_hi, y_lo, y_hi;
  cv::minMaxLoc(map_x, &x_lo, &x_hi);
  cv::minMaxLoc(map_y, &y_lo, &y_hi);
  return x_lo >= 0.0 && y_lo >= 0.0 && x_hi <= map_x.cols - 1.0 && y_hi <= map_x.rows - 1.0;
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
  double focal = inner_focal_px(source, coefficients, width, height);
  // A distortion that folds the frame's edges over has no usable inverse.
  if (!(std::isfinite(focal) && focal > 0)) return;
  // The outline bound holds for the edges; the map itself is the proof, so the focal
  // length grows until no ideal pixel reads outside the frame.
  for (int attempt = 0; attempt < 200; ++attempt) {
    cv::initUndistortRectifyMap(source, coefficients, cv::noArray(), camera_matrix(focal, centre),
                                cv::Size(width, height), CV_32FC1, map_x_, map_y_);
    if (map_inside(map_x_, map_y_)) {
      ideal_focal_px_ = focal;
      return;
    }
    focal *= 1.001;
  }
  map_x_.release();
  map_y_.release();
}

cv::Mat lens_undistorter::apply(const cv::Mat& frame) const {
  if (!active() || frame.size() != map_x_.size()) return frame;
  cv::Mat ideal;
  cv::remap(frame, ideal, map_x_, map_y_, cv::INTER_LINEAR, cv::BORDER_REPLICATE);
  return ideal;
}

}  // namespace aeroquilt
