#include "imaging/composite.h"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <opencv2/core.hpp>

namespace aeroquilt {

survey_placement place_in_survey(const view_params& survey, const view_params& view) {
  survey_placement placement;
  placement.survey = survey;
  const double p = survey.pixel_size;
  if (p > 0) {
    placement.column_offset =
        static_cast<int>(std::lround((double(view.x_min) - survey.x_min) / p));
    placement.row_offset = static_cast<int>(std::lround((double(survey.y_max) - view.y_max) / p));
  }
  return placement;
}

namespace {

// How many frame columns and rows one output pixel step spans at most where the frame
// sees the quadrilateral `corner`. With t = column + 1 (the model's count) and p = the
// homography of (x, y, 1), d column / dx = (h00 - t h20) / p2: within the frame t runs
// over [1, width], where the numerator's size peaks at an end, and |p2|, linear, is least
// at a corner. The bounds are widened by a quarter, plus what float projections of these
// coordinates may round by; none (left as they are) where p2 changes sign.
void flat_edge_slopes(const cv::Matx33d& homography, const cv::Matx33d& extrinsic,
                      const cv::Matx33d& intrinsic, const cv::Vec2d (&corner)[4], int width,
                      int height, double step, float (&slope)[2]) {
  double least = INFINITY, most = -INFINITY, reach_x = 0, reach_y = 0;
  for (int k = 0; k < 4; ++k) {
    const double p2 =
        homography(2, 0) * corner[k][0] + homography(2, 1) * corner[k][1] + homography(2, 2);
    least = std::min(least, p2);
    most = std::max(most, p2);
    reach_x = std::max(reach_x, std::abs(corner[k][0]) + std::abs(step));
    reach_y = std::max(reach_y, std::abs(corner[k][1]) + std::abs(step));
  }
  const double depth = least > 0 ? least : -most;
  if (!(depth > 0) || !std::isfinite(depth) || !(step > 0)) return;
  // Rounding: each float product and sum of the projection errs by a few units in the last
  // place of the terms it adds; the column's quotient carries p2's error times t.
  double terms[3];
  for (int r = 0; r < 3; ++r)
    terms[r] = std::abs(extrinsic(r, 0)) * reach_x + std::abs(extrinsic(r, 1)) * reach_y +
               std::abs(extrinsic(r, 2));
  double rounded = 0, last_row = 0;
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) rounded += std::abs(intrinsic(r, c)) * terms[c];
  for (int c = 0; c < 3; ++c) last_row += std::abs(intrinsic(2, c)) * terms[c];
  rounded = 4e-6 * (rounded + std::max(width, height) * last_row) / depth;
  const double ends[2][2] = {{1.0, double(width)}, {1.0, double(height)}};
  for (int axis = 0; axis < 2; ++axis) {
    double along[2] = {0, 0};  // the numerator's size over x and over y
    for (const double t : ends[axis])
      for (int d = 0; d < 2; ++d)
        along[d] = std::max(along[d], std::abs(homography(axis, d) - t * homography(2, d)));
    const double bound = 1.25 * step * std::hypot(along[0], along[1]) / depth + rounded;
    if (std::isfinite(bound) && bound < 1e30) slope[axis] = static_cast<float>(bound);
  }
}

}  // namespace

bool flat_footprint_lines(const view_params& view, int width, int height, double margin,
                          composite_record& record) {
  // On z = 0 the projection is the homography of the extrinsic's columns x, y and t.
  cv::Matx33d extrinsic, intrinsic;
  for (int r = 0; r < 3; ++r) {
    extrinsic(r, 0) = view.camera_extrinsic[4 * r];
    extrinsic(r, 1) = view.camera_extrinsic[4 * r + 1];
    extrinsic(r, 2) = view.camera_extrinsic[4 * r + 3];
    for (int c = 0; c < 3; ++c) intrinsic(r, c) = view.camera_intrinsic[3 * r + c];
  }
  const cv::Matx33d homography = intrinsic * extrinsic;
  if (!(std::abs(cv::determinant(homography)) > 0.0) || width < 1 || height < 1) return false;
  const cv::Matx33d inverse = homography.inv();
  // The frame's outer pixel centres, counted from 1 as the camera model counts them.
  const double u[4] = {1, double(width), double(width), 1};
  const double v[4] = {1, 1, double(height), double(height)};
  cv::Vec2d corner[4];
  for (int k = 0; k < 4; ++k) {
    const cv::Vec3d g = inverse * cv::Vec3d(u[k], v[k], 1.0);
    if (!(std::abs(g[2]) > 0.0)) return false;
    corner[k] = cv::Vec2d(g[0] / g[2], g[1] / g[2]);
    const cv::Vec3d q = extrinsic * cv::Vec3d(corner[k][0], corner[k][1], 1.0);
    if (!(q[2] > 0.0) || !std::isfinite(corner[k][0]) || !std::isfinite(corner[k][1])) return false;
  }
  // Every corner in front: the frame sees the convex quadrilateral they span.
  double area = 0;
  for (int k = 0; k < 4; ++k)
    area += corner[k][0] * corner[(k + 1) % 4][1] - corner[(k + 1) % 4][0] * corner[k][1];
  if (!(std::abs(area) > 0.0)) return false;
  const double turn = area > 0 ? 1.0 : -1.0;
  float outer[12], inner[12];
  for (int k = 0; k < 4; ++k) {
    const cv::Vec2d d = corner[(k + 1) % 4] - corner[k];
    const double length = std::hypot(d[0], d[1]);
    if (!(length > 0.0)) return false;
    const double a = -turn * d[1] / length, b = turn * d[0] / length;
    const double c = -(a * corner[k][0] + b * corner[k][1]);
    outer[3 * k] = inner[3 * k] = static_cast<float>(a);
    outer[3 * k + 1] = inner[3 * k + 1] = static_cast<float>(b);
    outer[3 * k + 2] = static_cast<float>(c + margin);
    inner[3 * k + 2] = static_cast<float>(c - margin);
  }
  std::copy(std::begin(outer), std::end(outer), record.footprint);
  std::copy(std::begin(inner), std::end(inner), record.inner);
  flat_edge_slopes(homography, extrinsic, intrinsic, corner, width, height, view.pixel_size,
                   record.edge_slope);
  return true;
}

composite_record composite_view_record(const survey_placement& placement, const view_dem& dem,
                                       bool use_dem, bool absolute, double ref_lat_deg,
                                       double ref_lon_deg, float feather_pixels) {
  composite_record record;
  record.origin_x = placement.survey.x_min;
  record.origin_y = placement.survey.y_max;
  record.row_offset = placement.row_offset;
  record.column_offset = placement.column_offset;
  record.feather_pixels = feather_pixels;
  record.ref_lat_deg = static_cast<float>(ref_lat_deg);
  record.ref_lon_deg = static_cast<float>(ref_lon_deg);
  if (use_dem) record.flags |= composite_use_dem;
  if (use_dem && absolute && dem.grid && dem.cell_size > 0.0f) {
    // Cells counted from the DEM file's corner in double precision: the reference
    // point's cell and fraction are the same for every view, and the view DEM's first
    // node is a whole number of cells from that corner.
    const double cs = dem.cell_size;
    const double t_lat = (ref_lat_deg - dem.grid->south_latitude) / cs;
    const double t_lon = (ref_lon_deg - dem.grid->west_longitude) / cs;
    const double start_row = std::round((dem.lat_start - dem.grid->south_latitude) / cs);
    const double start_col = std::round((dem.lon_start - dem.grid->west_longitude) / cs);
    record.dem_fraction_lat = static_cast<float>(t_lat - std::floor(t_lat));
    record.dem_fraction_lon = static_cast<float>(t_lon - std::floor(t_lon));
    record.dem_row = static_cast<int32_t>(std::floor(t_lat) - start_row);
    record.dem_column = static_cast<int32_t>(std::floor(t_lon) - start_col);
    record.flags |= composite_absolute_dem;
  }
  return record;
}

}  // namespace aeroquilt
