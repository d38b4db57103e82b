#include "output/view_files.h"

#include <cmath>
#include <cstdio>

#include "base/console.h"
#include "output/output_files.h"

namespace aeroquilt {
namespace {

const char* const extension_table[6] = {".JPG", ".jpg", ".bmp", ".tif", ".png", ".PNG"};

std::string format_double(const char* format, double value) {
  char text[64];
  std::snprintf(text, sizeof(text), format, value);
  return text;
}

}  // namespace

std::string side_file_path(const std::string& path, std::size_t extension_position,
                           const char* replacement) {
  std::string side = path;
  side.replace(extension_position + 1, 3, replacement);
  return side;
}

int find_output_extension(const std::string& path, std::size_t& position) {
  for (int entry = 0; entry < 6; ++entry) {
    const std::size_t found = path.find(extension_table[entry]);
    if (found != std::string::npos) {
      position = found;
      return entry;
    }
  }
  return -1;
}

std::string world_file_text(const view_params& view) {
  std::string text;
  for (double value :
       {static_cast<double>(view.lon_per_pixel), 0.0, 0.0, -static_cast<double>(view.lat_per_pixel),
        static_cast<double>(view.lon_min), static_cast<double>(view.lat_max)}) {
    text += format_double("%1.10g", value) + "\n";
  }
  return text + "\n";
}

bool write_output_text(const std::string& path, const std::string& text) {
  if (write_text_atomically(path, text) != write_outcome::written) {
    console_printf("cannot write %s\n", path.c_str());
    return false;
  }
  return true;
}

raster_georeference view_georeference(const view_params& view, const local_frame& frame) {
  constexpr double pi = 3.141592653589793;
  const double east_scale = frame.radius_east * std::cos(frame.ref_lat * pi / 180.0);
  const double p = view.pixel_size;
  raster_georeference georeference;
  georeference.lon_step_deg = p / east_scale * 180.0 / pi;
  georeference.lat_step_deg = -p / frame.radius_north * 180.0 / pi;
  local_to_geographic(view.x_min, view.y_max, frame, georeference.first_lat_deg,
                      georeference.first_lon_deg);
  return georeference;
}

local_frame record_frame(const view_params& view) {
  constexpr double pi = 3.141592653589793;
  local_frame frame;
  frame.ref_lat = static_cast<double>(view.ref_lat_rad) * 180.0 / pi;
  frame.ref_lon = static_cast<double>(view.ref_lon_rad) * 180.0 / pi;
  frame.radius_east = view.radius_east;
  frame.radius_north = view.radius_north;
  return frame;
}

}  // namespace aeroquilt
