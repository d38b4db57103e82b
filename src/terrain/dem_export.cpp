#include "terrain/dem_export.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "app/console.h"
#include "app/fatal_error.h"

namespace aeroquilt {

namespace {

constexpr double pi = 3.141592653589793;
constexpr double sphere_radius_m = 6378137.0;
// Larger rasters are refused like any other oversized frame.
constexpr double max_image_pixels = 400000000.0;

struct file_closer {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

}  // namespace

cv::Mat render_dem_image(const view_dem& dem, float pixel_size) {
  if (!dem.built) throw fatal_error("DEM not initialized");
  const float cs = dem.cell_size;
  const float pixels_per_cell =
      pixel_size == 0.0f
          ? 1.0f
          : static_cast<float>(cs * pi / 180.0 * sphere_radius_m / std::fabs(pixel_size));
  const float step = cs / pixels_per_cell;  // degrees per pixel, latitude and longitude
  const float rows_f = std::floor((dem.lat_end - dem.lat_start) / step) - 1.0f;
  const float cols_f = std::floor((dem.lon_end - dem.lon_start) / step) - 1.0f;
  if (!(rows_f >= 1.0f && cols_f >= 1.0f && double(rows_f) * double(cols_f) <= max_image_pixels)) {
    throw fatal_error("invalid width or height");
  }
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

void export_dem_image(const view_dem& dem, const std::string& path, float pixel_size) {
  const cv::Mat image = render_dem_image(dem, pixel_size);
  bool written = false;
  try {
    written = cv::imwrite(path, image);
  } catch (const cv::Exception&) {
    written = false;
  }
  if (!written) console_printf("unable to write DEM image %s\n", path.c_str());

  static const char* const extensions[] = {".JPG", ".jpg", ".bmp", ".tif", ".png", ".PNG"};
  std::string::size_type dot = std::string::npos;
  for (const char* extension : extensions) {
    dot = path.find(extension);
    if (dot != std::string::npos) break;
  }
  if (dot == std::string::npos) throw fatal_error("extension not found\n");
  std::string kml_path = path;
  kml_path.replace(dot + 1, 3, "kml");

  std::unique_ptr<std::FILE, file_closer> kml(std::fopen(kml_path.c_str(), "w"));
  if (!kml) {
    console_printf("unable to create KML file %s\n", kml_path.c_str());
    return;
  }
  std::FILE* out = kml.get();
  std::fprintf(out, "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n");
  std::fprintf(out, "<kml xmlns = \"http://www.opengis.net/kml/2.2\">\n");
  std::fprintf(out, "<GroundOverlay>\n");
  std::fprintf(out, "<name>GroundOverlay.kml</name>\n");
  std::fprintf(out, "<color>ffffffff</color>\n");
  std::fprintf(out, "<drawOrder>1</drawOrder>\n");
  std::fprintf(out, "<Icon>\n");
  std::fprintf(out, "<href>%s</href>\n", path.c_str());
  std::fprintf(out, "<refreshMode>onInterval</refreshMode>\n");
  std::fprintf(out, "<refreshInterval>10</refreshInterval>\n");
  std::fprintf(out, "<viewBoundScale>1</viewBoundScale>\n");
  std::fprintf(out, "</Icon>\n");
  std::fprintf(out, "<LatLonBox>\n");
  std::fprintf(out, "<north>%3.10f</north>\n", double(dem.lat_end));
  std::fprintf(out, "<south>%3.10f</south>\n", double(dem.lat_start));
  std::fprintf(out, "<east>%3.10f</east>\n", double(dem.lon_end));
  std::fprintf(out, "<west>%3.10f</west>\n", double(dem.lon_start));
  std::fprintf(out, "<rotation>0</rotation>\n");
  std::fprintf(out, "</LatLonBox>\n");
  std::fprintf(out, "</GroundOverlay>\n");
  std::fprintf(out, "</kml>\n");
  const bool failed = std::ferror(out) != 0;
  if (std::fclose(kml.release()) != 0 || failed) {
    console_printf("unable to write KML file %s\n", kml_path.c_str());
  }
}

}  // namespace aeroquilt
