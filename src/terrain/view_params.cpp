#include "terrain/view_params.h"

#include <cmath>
#include <cstring>
#include <limits>

#include "base/local_frame.h"

namespace aeroquilt {
namespace {

// Truncation toward zero, as a plain cast does for every representable size.
// Out of range and NaN (a zero pixel size, an empty survey) saturate instead of
// being undefined, so that the consumers see an absurd size and refuse it.
int32_t truncate_to_int32(float value) {
  if (std::isnan(value)) return 0;
  if (value >= 2147483648.0f) return std::numeric_limits<int32_t>::max();
  if (value <= -2147483648.0f) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(value);
}

}  // namespace

view_params empty_view_params() {
  view_params view;
  std::memset(&view, 0, sizeof(view));
  return view;
}

float reference_radians(double degrees) {
  return static_cast<float>((degrees * 3.141592653589793) / 180.0);
}

view_params survey_view_params(const std::vector<arma::mat>& footprints, double pixel_size,
                               double ref_lat_deg, double ref_lon_deg) {
  view_params view = empty_view_params();
  view.pixel_size = static_cast<float>(pixel_size);
  view.x_min = view.y_min = 1e10f;
  view.x_max = view.y_max = -1e10f;

  // Element by element rather than column minima: an empty footprint is skipped
  // and a non-finite corner (a ray above the horizon) cannot stretch the extent.
  for (const arma::mat& corners : footprints) {
    if (corners.n_cols < 2) continue;
    for (arma::uword row = 0; row < corners.n_rows; ++row) {
      const double x = corners(row, 0), y = corners(row, 1);
      if (std::isfinite(x)) {
        if (static_cast<double>(view.x_min) > x) view.x_min = static_cast<float>(x);
        if (static_cast<double>(view.x_max) < x) view.x_max = static_cast<float>(x);
      }
      if (std::isfinite(y)) {
        if (static_cast<double>(view.y_min) > y) view.y_min = static_cast<float>(y);
        if (static_cast<double>(view.y_max) < y) view.y_max = static_cast<float>(y);
      }
    }
  }

  finish_view_params(view, reference_radians(ref_lat_deg), reference_radians(ref_lon_deg));
  return view;
}

view_params subview_params(double pixel_size, double min_lon, double min_lat, double max_lon,
                           double max_lat, double ref_lat_deg, double ref_lon_deg) {
  view_params view = empty_view_params();
  view.pixel_size = static_cast<float>(pixel_size);

  const local_frame frame = make_local_frame(ref_lat_deg, ref_lon_deg);
  double x_min = 0, y_min = 0, x_max = 0, y_max = 0;
  geographic_to_local(min_lat, min_lon, frame, x_min, y_min);
  geographic_to_local(max_lat, max_lon, frame, x_max, y_max);
  view.x_min = static_cast<float>(x_min);
  view.x_max = static_cast<float>(x_max);
  view.y_min = static_cast<float>(y_min);
  view.y_max = static_cast<float>(y_max);

  finish_view_params(view, reference_radians(ref_lat_deg), reference_radians(ref_lon_deg));
  return view;
}

void finish_view_params(view_params& view, float phi0, float lambda0) {
  view.ref_lat_rad = phi0;
  view.ref_lon_rad = lambda0;

  // Each bound moves to the nearest multiple of the pixel size (ties to even);
  // the order and single precision are what the GPU and the output files share.
  const float p = view.pixel_size;
  view.x_min -= std::remainder(view.x_min, p);
  view.x_max -= std::remainder(view.x_max, p);
  view.y_min -= std::remainder(view.y_min, p);
  view.y_max -= std::remainder(view.y_max, p);

  refresh_view_params(view);
}

void refresh_view_params(view_params& view) {
  const float phi0 = view.ref_lat_rad;
  const float lambda0 = view.ref_lon_rad;
  const float p = view.pixel_size;

  // Through locals: the record's doubles are unaligned, so no reference may bind to them.
  double radius_east = 0, radius_north = 0;
  record_radii(phi0, radius_east, radius_north);
  view.radius_east = radius_east;
  view.radius_north = radius_north;

  double lat_min = 0, lon_min = 0, lat_max = 0, lon_max = 0;
  record_local_to_geographic(view.x_min, view.y_min, phi0, lambda0, view.radius_east,
                             view.radius_north, lat_min, lon_min);
  record_local_to_geographic(view.x_max, view.y_max, phi0, lambda0, view.radius_east,
                             view.radius_north, lat_max, lon_max);
  view.lon_min = static_cast<float>(lon_min);
  view.lon_max = static_cast<float>(lon_max);
  view.lat_max = static_cast<float>(lat_max);
  view.lat_min = static_cast<float>(lat_min);

  view.x_range = view.x_max - view.x_min;
  view.y_range = view.y_max - view.y_min;
  view.lon_range = view.lon_max - view.lon_min;
  view.lat_range = view.lat_max - view.lat_min;

  view.height = truncate_to_int32(view.y_range / p + 1.0f);
  view.width = truncate_to_int32(view.x_range / p + 1.0f);
  // 32-bit like the kernels' copy; formed in 64 bits so an oversized view wraps
  // instead of overflowing (install_view refuses such a view by width * height).
  view.pixel_count =
      static_cast<int32_t>(static_cast<int64_t>(view.width) * static_cast<int64_t>(view.height));

  view.lat_per_pixel = view.lat_range / static_cast<float>(view.height);
  view.lon_per_pixel = view.lon_range / static_cast<float>(view.width);
}

view_params tile_view_params(const view_params& parent, int first_row, int first_column,
                             int row_count, int column_count) {
  view_params tile = empty_view_params();
  tile.ref_lat_rad = parent.ref_lat_rad;
  tile.ref_lon_rad = parent.ref_lon_rad;
  tile.pixel_size = parent.pixel_size;
  tile.lat_per_pixel = parent.lat_per_pixel;
  tile.lon_per_pixel = parent.lon_per_pixel;

  const auto [xa, ya] = view_point_local(parent, first_row, first_column);
  const auto [xb, yb] =
      view_point_local(parent, first_row + row_count, first_column + column_count);
  tile.x_min = static_cast<float>(xa);
  tile.y_max = static_cast<float>(ya);
  tile.x_max = static_cast<float>(xb);
  tile.y_min = static_cast<float>(yb);

  // No snapping: the tile's corners already lie on the parent's pixel grid.
  refresh_view_params(tile);
  return tile;
}

std::pair<double, double> view_point_local(const view_params& view, int row, int column) {
  const float x = static_cast<float>(column) * view.pixel_size + view.x_min;
  const float y = view.y_max - static_cast<float>(row) * view.pixel_size;
  return {x, y};
}

}  // namespace aeroquilt
