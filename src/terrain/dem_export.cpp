#include "terrain/dem_export.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "base/console.h"
#include "base/fatal_error.h"

namespace aeroquilt {

namespace {

constexpr double pi = 3.141592653589793;
constexpr double sphere_radius_m = 6378137.0;
// Larger rasters are refused like any other oversized frame.
constexpr double max_image_pixels = 400000000.0;

// Degrees per image pixel, the same in latitude and longitude.
float dem_image_step(const view_dem& dem, float pixel_size) {
  const float cs = dem.cell_size;
  const float pixels_per_cell =
      pixel_size == 0.0f
          ? 1.0f
          : static_cast<float>(cs * pi / 180.0 * sphere_radius_m / std::fabs(pixel_size));
  return cs / pixels_per_cell;
}

}  // namespace

void dem_image_size(const view_dem& dem, float pixel_size, float& rows, float& cols) {
  const float step = dem_image_step(dem, pixel_size);
  rows = std::floor((dem.lat_end - dem.lat_start) / step) - 1.0f;
  cols = std::floor((dem.lon_end - dem.lon_start) / step) - 1.0f;
}

bool dem_image_size_usable(float rows, float cols) {
  return rows >= 1.0f && cols >= 1.0f && double(rows) * double(cols) <= max_image_pixels;
}

cv::Mat render_dem_image(const view_dem& dem, float pixel_size) {
  if (!dem.built) throw fatal_error("DEM not initialized");
  const float step = dem_image_step(dem, pixel_size);
  float rows_f = 0.0f, cols_f = 0.0f;
  dem_image_size(dem, pixel_size, rows_f, cols_f);
  if (!dem_image_size_usable(rows_f, cols_f)) throw fatal_error("invalid width or height");
  const int rows = static_cast<int>(rows_f), cols = static_cast<int>(cols_f);

  cv::Mat heights = cv::Mat::zeros(rows, cols, CV_32F);
  float lo = 1e6f, hi = -9999.0f;
  for (int r = 0; r < rows; ++r) {
    float* out = heights.ptr<float>(r);
    const float latitude = dem.lat_end - static_cast<float>(r) * step;
    for (int k = 0; k < cols; ++k) {
      const float height =
          view_dem_height(dem, latitude, dem.lon_start + static_cast<float>(k) * step);
      out[k] = height;
      if (height > 0.0f && height < 10000.0f) {
        lo = std::min(lo, height);
        hi = std::max(hi, height);
      }
    }
  }
  // A flat DEM gives hi == lo: scale by 1 instead of dividing by zero.
  const float span = hi != lo ? hi - lo : 1.0f;
  for (int r = 0; r < rows; ++r) {
    float* row = heights.ptr<float>(r);
    for (int k = 0; k < cols; ++k) row[k] = (row[k] - lo) / span;
  }
  cv::Mat grey, colour;
  heights.convertTo(grey, CV_8U, 256.0);
  cv::applyColorMap(grey, colour, cv::COLORMAP_JET);
  return colour;
}

raster_georeference dem_image_georeference(const view_dem& dem, float pixel_size) {
  raster_georeference georeference;
  const double step = dem_image_step(dem, pixel_size);
  georeference.lon_step_deg = step;
  georeference.lat_step_deg = -step;
  georeference.first_lon_deg = dem.lon_start;
  georeference.first_lat_deg = dem.lat_end;
  return georeference;
}

}  // namespace aeroquilt
