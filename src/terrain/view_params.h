#pragma once
// The 228-byte record that describes one output view. It is also the wire format
// read by the projection kernels, so its layout is fixed byte for byte.

#include <armadillo>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace aeroquilt {

#pragma pack(push, 1)
struct view_params {
  float camera_extrinsic[12];  // 3x4 row-major, world (local frame) to camera
  float camera_intrinsic[9];   // 3x3 row-major, camera to pixel
  uint8_t reserved_84[32];
  float x_min;  // metres east of the reference point, snapped
  float y_min;
  float x_max;
  float y_max;
  float pixel_size;  // metres
  float x_range;
  float y_range;
  float lat_min;  // degrees
  float lat_max;
  float lon_min;
  float lon_max;
  float lat_range;
  float lon_range;
  float lat_per_pixel;
  float lon_per_pixel;
  int32_t width;
  int32_t height;
  int32_t pixel_count;
  float ref_lat_rad;
  float ref_lon_rad;
  double radius_east;   // unaligned: offset 196
  double radius_north;  // unaligned: offset 204
  uint8_t reserved_212[16];
};
#pragma pack(pop)

static_assert(sizeof(view_params) == 228, "view_params is a 228-byte wire record");
static_assert(offsetof(view_params, camera_intrinsic) == 48, "layout");
static_assert(offsetof(view_params, x_min) == 116, "layout");
static_assert(offsetof(view_params, pixel_size) == 132, "layout");
static_assert(offsetof(view_params, lat_min) == 144, "layout");
static_assert(offsetof(view_params, lat_per_pixel) == 168, "layout");
static_assert(offsetof(view_params, width) == 176, "layout");
static_assert(offsetof(view_params, height) == 180, "layout");
static_assert(offsetof(view_params, pixel_count) == 184, "layout");
static_assert(offsetof(view_params, ref_lat_rad) == 188, "layout");
static_assert(offsetof(view_params, radius_east) == 196, "layout");
static_assert(offsetof(view_params, radius_north) == 204, "layout");
static_assert(offsetof(view_params, reserved_212) == 212, "layout");

// A zero-filled record.
view_params empty_view_params();

// The view over the bounding box of all footprints (each a 5x3 matrix of local
// x, y, z rows), snapped to `pixel_size` metres. Reference point in degrees.
view_params survey_view_params(const std::vector<arma::mat>& footprints, double pixel_size,
                               double ref_lat_deg, double ref_lon_deg);

// The view over a configured window of degrees about the reference point (degrees).
view_params subview_params(double pixel_size, double min_lon, double min_lat, double max_lon,
                           double max_lat, double ref_lat_deg, double ref_lon_deg);

// Snaps the bounds to the pixel size and fills every derived field.
// phi0 and lambda0 are the reference point in single-precision radians.
void finish_view_params(view_params& view, float phi0, float lambda0);

// The record of a window of `parent`: rows first_row .. first_row+row_count,
// columns first_column .. first_column+column_count (may extend past the parent).
view_params tile_view_params(const view_params& parent, int first_row, int first_column,
                             int row_count, int column_count);

// Recomputes the derived fields of a record from its bounds, without snapping.
void refresh_view_params(view_params& view);

// Local point (x, y) metres of view pixel (row, column), computed in single precision.
std::pair<double, double> view_point_local(const view_params& view, int row, int column);

// Reference radians converted as the records hold them: (degrees * pi) / 180 as float.
float reference_radians(double degrees);

}  // namespace aeroquilt
