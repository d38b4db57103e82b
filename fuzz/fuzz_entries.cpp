#include "fuzz/fuzz_entries.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "base/config.h"
#include "base/console.h"
#include "base/fatal_error.h"
#include "geometry/camera_model.h"
#include "geometry/flight_log.h"
#include "geometry/footprints.h"
#include "imaging/frame_loader.h"
#include "imaging/image_cache.h"
#include "terrain/dem_file.h"
#include "terrain/dem_sampling.h"

namespace aeroquilt::fuzz {
namespace {

// The folder of this process for the input files (the readers take paths), in memory
// where /dev/shm exists, removed at exit. Each input replaces the previous one's file.
const std::filesystem::path& folder() {
  static const struct work_folder {
    std::filesystem::path path;
    work_folder() {
      std::error_code error;
      path = (std::filesystem::is_directory("/dev/shm", error)
                  ? std::filesystem::path("/dev/shm")
                  : std::filesystem::temp_directory_path()) /
             ("aeroquilt_fuzz_" + std::to_string(::getpid()));
      std::filesystem::create_directories(path / "images", error);
      std::ofstream(path / "images" / "img.png");  // an image that log records may name
    }
    ~work_folder() {
      std::error_code error;
      std::filesystem::remove_all(path, error);
    }
  } instance;
  return instance.path;
}

std::string write_input(const std::string& name, const uint8_t* data, std::size_t size) {
  const std::string path = (folder() / name).string();
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  return path;
}

int32_t header_int32(const uint8_t* data, std::size_t size, std::size_t offset) {
  if (size < offset + 4) return 0;
  int32_t value;
  std::memcpy(&value, data + offset, 4);
  return value;
}

}  // namespace

int config_reader_entry(const uint8_t* data, std::size_t size) {
  // Messages are collected and the readers' pauses recorded instead of slept.
  const console_capture capture;
  config_params config;
  load_config(write_input("config.cfg", data, size), config);

  // The parsers also run on the bytes directly, as one zero-terminated line.
  std::string line(reinterpret_cast<const char*>(data), size);
  const std::string text = line.c_str();
  parse_number(text.c_str());
  parse_exponent(text.c_str());
  std::string field;
  for (int k = 1; k <= 4; ++k) parse_text_field(line, k, field);
  return 0;
}

int flight_log_entry(const uint8_t* data, std::size_t size) {
  const console_capture capture;
  camera_options config;
  config.image_width_pixels = 16;
  config.image_height_pixels = 12;
  config.image_kx = 50.0;
  config.RPH_scale[0] = config.RPH_scale[1] = config.RPH_scale[2] = 1.0;
  config.topo_height = 100.0;
  flight_log_options log_options;
  log_options.meridian_longitude = 9.0;

  image_list list;
  list.image_dir = (folder() / "images").string() + "/";
  read_flight_log(list, write_input("flight_log.txt", data, size), log_options);

  const int count = std::min(list.count, 64);
  for (int i = 0; i < count; ++i) {
    image_geometry geometry;
    build_camera_model(geometry, config, list, i);
    project_footprint_flat(geometry);
  }
  return 0;
}

int dem_loader_entry(const uint8_t* data, std::size_t size) {
  const console_capture capture;
  const std::string path = write_input("terrain.dem", data, size);

  DEM_grid stream_grid;
  if (open_dem_stream(stream_grid, path) != 0) {
    dem_cell_height(stream_grid, stream_grid.south_latitude, stream_grid.west_longitude);
    dem_cell_height(stream_grid, stream_grid.north_latitude, stream_grid.east_longitude);
  }

  view_dem dem;
  load_dem(dem, path);
  const DEM_grid& grid = *dem.grid;
  const double cs = grid.cell_size;
  const double probes[][2] = {{grid.south_latitude, grid.west_longitude},
                              {grid.north_latitude, grid.east_longitude},
                              {grid.south_latitude - cs, grid.west_longitude + cs},
                              {(grid.south_latitude + grid.north_latitude) * 0.5,
                               (grid.west_longitude + grid.east_longitude) * 0.5}};
  for (const auto& probe : probes) dem_cell_height(grid, probe[0], probe[1]);

  // A view of two cells from the south-west corner, as a survey inside the grid asks
  // for; skipped where single precision cannot tell its edges apart (the node count
  // would then come from rounding, not from the file).
  if (grid.row_count >= 6 && grid.column_count >= 6) {
    const float lat_min = static_cast<float>(grid.south_latitude + 2.0 * cs);
    const float lon_min = static_cast<float>(grid.west_longitude + 2.0 * cs);
    const float lat_max = static_cast<float>(grid.south_latitude + 4.0 * cs);
    const float lon_max = static_cast<float>(grid.west_longitude + 4.0 * cs);
    const float fcs = static_cast<float>(cs);
    if (fcs > 0.0f && std::fabs(lat_max - lat_min) <= 16.0f * fcs &&
        std::fabs(lon_max - lon_min) <= 16.0f * fcs && lat_max > lat_min && lon_max > lon_min) {
      if (build_view_dem(dem, lat_min, lon_min, lat_max, lon_max) != 0) {
        view_dem_height(dem, (lat_min + lat_max) * 0.5f, (lon_min + lon_max) * 0.5f);
        dem_height_bicubic(dem, (lat_min + lat_max) * 0.5f, (lon_min + lon_max) * 0.5f);
      }
    }
  }
  return 0;
}

int raw_frame_entry(const uint8_t* data, std::size_t size) {
  const console_capture capture;
  // The reader insists on the configured size: a small header size is configured so
  // that the pixel read is reached; others meet the 8 x 6 frame.
  const int32_t width = header_int32(data, size, 0);
  const int32_t height = header_int32(data, size, 4);
  const bool small = width >= 1 && width <= 256 && height >= 1 && height <= 256;
  frame_options options;
  options.image_width_pixels = small ? width : 8;
  options.image_height_pixels = small ? height : 6;
  frame_loader loader(options);
  const std::string path = write_input("frame_rgb.raw", data, size);
  loader.load_image(path);
  build_vignette_table(loader, 1.0);
  loader.load_image(path);
  return 0;
}

}  // namespace aeroquilt::fuzz
