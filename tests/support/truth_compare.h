#pragma once
// Comparison of a produced mosaic with the ground truth of a synthetic survey.
//
// Output pixel (row r, column c) of a view shows the local point
// (x_min + c * pixel_size, y_max - r * pixel_size); the helpers here take a view
// in that form, which a test recovers from the mosaic's world file.

#include <array>
#include <opencv2/core.hpp>
#include <string>
#include <vector>

#include "survey/synthetic_survey.h"

namespace aeroquilt::testing {

// The BGR 8-bit image a view should show: each pixel is truth.expected_bgr at its
// local point, averaged over the pixel's square.
cv::Mat render_truth(const survey_truth& truth, double x_min_m, double y_max_m, double pixel_size_m,
                     int width, int height);

// 255 where the view pixel's ground point (on the terrain when the survey uses the
// DEM, else on flat ground) is seen by at least `min_cameras` cameras at least
// `margin_px` inside the frame, 0 elsewhere (CV_8UC1).
cv::Mat expected_coverage_mask(const survey_truth& truth, double x_min_m, double y_max_m,
                               double pixel_size_m, int width, int height, double margin_px = 1.0,
                               int min_cameras = 1);

// 255 where a mosaic pixel was written: alpha > 0 for a four-channel image, any
// channel non-zero for a three-channel one (projected pixels are never all zero).
cv::Mat mosaic_coverage(const cv::Mat& mosaic);

struct truth_stats {
  double covered_fraction = 0.0;  // covered pixels / pixels in the mask
  double ncc = 0.0;  // normalised cross-correlation over covered pixels in the mask, all channels
  double median_offset_px = 0.0;  // median length of the block registration offsets
  double p95_offset_px = 0.0;     // 95th percentile of those lengths
  double median_dx_px = 0.0;  // median signed offset of the mosaic relative to the truth, columns
  double median_dy_px = 0.0;  // the same in rows
  int blocks = 0;             // blocks that entered the offset statistics
};

// Compares a mosaic (BGR or BGRA 8-bit) with the truth rendered on the same grid.
// `mask` (CV_8UC1, optional) restricts every statistic to its non-zero pixels.
// Offsets come from phase correlation of 32 x 32 blocks (step 16) that are almost
// fully covered and textured; with no such block the offsets are NaN and blocks 0.
// A positive dx means the mosaic's content lies east of where the truth has it.
truth_stats compare_to_truth(const cv::Mat& mosaic, const cv::Mat& truth,
                             const cv::Mat& mask = cv::Mat());

// The six values of a world file (x step, two rotations, y step, west and north edges);
// throws std::runtime_error when it is missing or short.
std::array<double, 6> read_world_file(const std::string& path);

// The view's west and north edges in the survey's local frame (metres), from its world
// file's lon_min and lat_max, snapped to a multiple of the pixel size as the system snaps
// them.
void view_origin(const survey_truth& truth, const std::string& world_path, double& x_min,
                 double& y_max);

// One-line summary for failure messages.
std::string describe(const truth_stats& stats);

// The mosaic at `image_path` compared with the truth on the grid its world file gives,
// where `min_cameras` frames see the ground 2 pixels inside their edges. A failure
// (and empty stats) when the image cannot be read; `mosaic_out` receives the image.
truth_stats compare_view(const survey_truth& truth, const std::string& image_path,
                         const std::string& world_path, cv::Mat* mosaic_out = nullptr,
                         int min_cameras = 1);

// The registration every mosaic must reach: over 10 blocks, 97 % covered, median
// offset under 0.25 px, 95th percentile under 0.5 px, NCC over 0.9.
void expect_registered(const truth_stats& stats, const std::string& label);

// The tiles of a tiled run in `out_dir`, in the pipeline's order: each one's path without
// extension ("mosaic_I_J") and its i, j.
struct tile_file {
  std::string name;
  int i, j;
};
std::vector<tile_file> tile_files(const std::string& out_dir);

}  // namespace aeroquilt::testing
