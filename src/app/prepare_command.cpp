#include "app/prepare_command.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "base/console.h"
#include "prepare/prepare_failure.h"
#include "prepare/prepare_survey.h"

namespace aeroquilt {
namespace {

constexpr const char* kUsage =
    "usage: aeroquilt prepare IMAGE_DIR DEM_RASTER OUT_DIR [--camera FILE]\n"
    "                 [--poses CSV [--crs CRS]] [--altitude absolute|relative]\n"
    "                 [--height-offset M] [--takeoff-height M] [--pixel-size M]\n";

bool parse_metres(const char* text, double& value) {
  char* end = nullptr;
  value = std::strtod(text, &end);
  return end != text && *end == '\0' && std::isfinite(value);
}

}  // namespace

int prepare_command(int argc, char** argv) {
  prepare_options options;
  int positional = 0;
  std::string error;
  for (int i = 0; i < argc && error.empty(); ++i) {
    const std::string arg = argv[i];
    const bool has_value = i + 1 < argc;
    if (arg == "--camera" && has_value) {
      options.camera_file = argv[++i];
    } else if (arg == "--poses" && has_value) {
      options.poses_csv = argv[++i];
    } else if (arg == "--crs" && has_value) {
      options.poses_crs = argv[++i];
    } else if (arg == "--altitude" && has_value) {
      const std::string mode = argv[++i];
      if (mode == "absolute") {
        options.altitude = altitude_mode::absolute;
      } else if (mode == "relative") {
        options.altitude = altitude_mode::relative;
      } else {
        error = "--altitude is absolute or relative, not " + mode;
      }
    } else if (arg == "--height-offset" && has_value) {
      if (!parse_metres(argv[++i], options.height_offset_m))
        error = std::string("--height-offset needs a number of metres, not ") + argv[i];
    } else if (arg == "--takeoff-height" && has_value) {
      double metres = 0;
      if (!parse_metres(argv[++i], metres))
        error = std::string("--takeoff-height needs a number of metres, not ") + argv[i];
      options.takeoff_height_m = metres;
    } else if (arg == "--pixel-size" && has_value) {
      if (!parse_metres(argv[++i], options.pixel_size_m) || options.pixel_size_m <= 0)
        error = std::string("--pixel-size needs a positive number of metres, not ") + argv[i];
    } else if (arg.rfind("--", 0) == 0) {
      error = "unknown option or missing value: " + arg;
    } else if (positional == 0) {
      options.image_dir = arg;
      ++positional;
    } else if (positional == 1) {
      options.dem_path = arg;
      ++positional;
    } else if (positional == 2) {
      options.out_dir = arg;
      ++positional;
    } else {
      error = "unexpected argument " + arg;
    }
  }
  if (error.empty() && positional < 3) error = "IMAGE_DIR, DEM_RASTER and OUT_DIR are needed";
  if (error.empty() && !options.poses_crs.empty() && options.poses_csv.empty())
    error = "--crs names the CRS of a --poses file";
  if (error.empty() && options.takeoff_height_m && options.altitude != altitude_mode::relative)
    error = "--takeoff-height applies to --altitude relative";
  if (!error.empty()) {
    std::fprintf(stderr, "aeroquilt prepare: %s\n%s", error.c_str(), kUsage);
    return 2;
  }
  try {
    prepare_survey(options);
  } catch (const prepare_failure& failure) {
    std::fprintf(stderr, "aeroquilt prepare: the survey cannot be made: %s\n", failure.what());
    return 2;
  }
  return 0;
}

}  // namespace aeroquilt
