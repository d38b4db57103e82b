#include "app/mosaic_request.h"

#include <cmath>
#include <filesystem>
#include <utility>

#include "app/mosaic_grid.h"
#include "base/config.h"
#include "base/console.h"
#include "base/fatal_error.h"
#include "output/view_files.h"

namespace aeroquilt {

// The run's one configuration: written by the reader and read here alone, where the
// request is made.
config_params g_config;

namespace {

// A focal length in pixels of 0, below 0 or not finite would make the camera
// matrices singular or meaningless; the run stops before any stage uses it.
bool focal_length_usable(const config_params& config) {
  if (std::isfinite(config.image_kx) && config.image_kx > 0.0) return true;
  console_printf(
      "image_kx is %g: give image_kx, or camera_f and camera_sensor_width (now %g and %g), "
      "so that the focal length in pixels is positive\n",
      config.image_kx, config.camera_f, config.camera_sensor_width);
  return false;
}

// Values no stage can work with are reported with the file and key. (A frame over
// 400 megapixels keeps the device's own fatal "invalid width or height".)
bool frame_size_usable(const config_params& config, const char* path) {
  if (config.image_width_pixels < 1 || config.image_height_pixels < 1) {
    console_printf(
        "configuration file %s: image_width_pixels %d and image_height_pixels %d must be "
        "positive\n",
        path, config.image_width_pixels, config.image_height_pixels);
    return false;
  }
  return true;
}

// A pixel size of zero, below zero or not a number would leave a view with no pixels.
bool pixel_size_usable(const config_params& config, const char* path) {
  // The views hold the pixel size in single precision.
  const float pixel_size = static_cast<float>(config.output_pixel_size);
  if (!(std::isfinite(pixel_size) && pixel_size > 0.0f)) {
    console_printf(
        "configuration file %s: output_pixel_size is %g, it must be a positive number "
        "of metres\n",
        path, config.output_pixel_size);
    return false;
  }
  return true;
}

// The kernels read three bytes per frame pixel and the loader gives every frame three
// channels; any other count would upload part of each frame and leave the kernel
// reading device memory nobody wrote.
bool channels_usable(const config_params& config, const char* path) {
  if (config.image_channels == 3) return true;
  console_printf("configuration file %s: image_channels is %d, only 3 is supported\n", path,
                 config.image_channels);
  return false;
}

// The thermal display range maps min to max; an inverted or empty range would render
// every frame as one colour (or divide by zero).
bool temperature_range_usable(const config_params& config, const char* path) {
  if (config.use_16bit_image_input == 0) return true;
  if (config.tau_set_max_temp > config.tau_set_min_temp) return true;
  console_printf(
      "configuration file %s: tau_set_min_temp %g must be below tau_set_max_temp %g for "
      "thermal frames\n",
      path, config.tau_set_min_temp, config.tau_set_max_temp);
  return false;
}

// An infinite or undefined number (1e999, 0e999) passes every range test written as a
// comparison the wrong way; the run refuses any among the numbers it uses.
bool numbers_finite(const config_params& c, const char* path) {
  const std::pair<const char*, double> numbers[] = {
      {"RPH_scale[0]", c.RPH_scale[0]}, {"RPH_scale[1]", c.RPH_scale[1]},
      {"RPH_scale[2]", c.RPH_scale[2]}, {"RPH_offset[0]", c.RPH_offset[0]},
      {"RPH_offset[1]", c.RPH_offset[1]}, {"RPH_offset[2]", c.RPH_offset[2]},
      {"topo_height", c.topo_height}, {"meridian_longitude", c.meridian_longitude},
      {"image_data_multiplier", c.image_data_multiplier},
      {"vingette_removal_multiplier", c.vingette_removal_multiplier},
      {"subview_min_lon", c.subview_min_lon}, {"subview_max_lon", c.subview_max_lon},
      {"subview_min_lat", c.subview_min_lat}, {"subview_max_lat", c.subview_max_lat},
      {"projection_angle_limit", c.projection_angle_limit},
      {"tau_set_min_temp", c.tau_set_min_temp}, {"tau_set_max_temp", c.tau_set_max_temp},
      {"lens_principal_offset_x", c.lens_principal_offset_x},
      {"lens_principal_offset_y", c.lens_principal_offset_y}, {"lens_k1", c.lens_k1},
      {"lens_k2", c.lens_k2}, {"lens_p1", c.lens_p1}, {"lens_p2", c.lens_p2},
      {"lens_k3", c.lens_k3}};
  for (const auto& [key, value] : numbers) {
    if (std::isfinite(value)) continue;
    console_printf("configuration file %s: %s is %g, it must be a finite number\n", path, key,
                   value);
    return false;
  }
  return true;
}

// Folder keys are prefixes: "out" with the file "mosaic.png" gives "outmosaic.png" beside
// the folder out/. Said when the text names a folder but has no slash.
void warn_folder_without_slash(const char* key, const std::string& folder, const char* path) {
  std::error_code error;
  if (folder.empty() || folder.back() == '/' || !std::filesystem::is_directory(folder, error))
    return;
  console_printf(
      "configuration file %s: %s %s is a folder but does not end in /: names are joined to "
      "it as they stand (%sNAME), not placed in it\n",
      path, key, folder.c_str(), folder.c_str());
}

// Tiles whose side is below their overlap with each other would draw each ground pixel
// many times over, in as many files: a tile size of 1 means millions of them.
bool tile_size_usable(const config_params& config, const char* path) {
  const int64_t smallest = int64_t(tile_overlap_pixels) * tile_overlap_pixels;
  if (config.output_tile_size_pixels <= 0 || config.output_tile_size_pixels >= smallest)
    return true;
  console_printf(
      "configuration file %s: output_tile_size_pixels %d gives tiles smaller than the %d pixels "
      "they overlap by: give %lld or more (0 for one image)\n",
      path, config.output_tile_size_pixels, tile_overlap_pixels, static_cast<long long>(smallest));
  return false;
}

// A compositing mode the renderer does not know would silently fall back to last wins.
bool compositing_usable(const config_params& config, const char* path) {
  if (config.composite_mode >= 0 && config.composite_mode <= 2 &&
      std::isfinite(config.seam_feather_pixels) && config.seam_feather_pixels >= 0 &&
      config.seam_feather_pixels <= 10000) {
    return true;
  }
  console_printf(
      "configuration file %s: composite_mode %d, seam_feather_pixels %g: the mode must be 0, 1 "
      "or 2 and the feather width 0 to 10000 pixels\n",
      path, config.composite_mode, config.seam_feather_pixels);
  return false;
}

// A reference point is both keys, on the globe; one alone would silently keep the survey
// centre for the other coordinate.
bool reference_usable(const config_params& config, const char* path) {
  if (config.reference_given == 0) return true;
  if (config.reference_given == 3 && std::isfinite(config.reference_lat) &&
      std::isfinite(config.reference_lon) && std::fabs(config.reference_lat) < 90.0 &&
      std::fabs(config.reference_lon) <= 180.0) {
    return true;
  }
  console_printf(
      "configuration file %s: reference_lon %g and reference_lat %g: give both, a longitude "
      "within 180 and a latitude within 90 degrees\n",
      path, config.reference_lon, config.reference_lat);
  return false;
}

// A wait that is not a number of seconds would hold every line, or none.
bool live_wait_usable(const config_params& config, const char* path) {
  if (std::isfinite(config.live_frame_wait_seconds) && config.live_frame_wait_seconds >= 0 &&
      config.live_frame_wait_seconds <= 86400)
    return true;
  console_printf("configuration file %s: live_frame_wait_seconds is %g, give 0 to 86400 seconds\n",
                 path, config.live_frame_wait_seconds);
  return false;
}

// Thermal frames are shown in false colour from their temperatures, which a gain would
// falsify: they are left as read.
bool colour_balance_usable(const config_params& config, const char* path, int32_t& balance) {
  balance = 0;
  if (config.colour_balance == 0) return true;
  if (config.colour_balance < 0 || config.colour_balance > 2) {
    console_printf("configuration file %s: colour_balance is %d, give 0 (off), 1 (a gain per "
                   "frame and channel) or 2 (a gain and its slopes across each frame)\n",
                   path, config.colour_balance);
    return false;
  }
  if (config.use_16bit_image_input != 0) {
    console_printf("colour_balance left off: thermal frames are shown in false colour from their "
                   "temperatures, which no gain may change\n");
    return true;
  }
  balance = config.colour_balance;
  return true;
}

// Output names are checked before the GPU is opened and the footprints printed; the
// fatal text is the pipeline's own.
void require_image_extension(const char* key, const std::string& name, const std::string& joined,
                             const char* path) {
  std::size_t position = 0;
  if (find_output_extension(joined, position) >= 0) return;
  console_printf(
      "configuration file %s: %s %s has no image extension (its name must end in .png, .PNG, "
      ".jpg, .JPG, .bmp, .tif or .tiff)\n",
      path, key, name.c_str());
  throw fatal_error("extension not found\n");
}

flight_log_options flight_log_options_of(const config_params& config) {
  flight_log_options options;
  options.projection_angle_limit = config.projection_angle_limit;
  options.meridian_longitude = config.meridian_longitude;
  return options;
}

camera_options camera_options_of(const config_params& config) {
  camera_options options;
  options.image_width_pixels = config.image_width_pixels;
  options.image_height_pixels = config.image_height_pixels;
  options.image_kx = config.image_kx;
  for (int k = 0; k < 3; ++k) {
    options.RPH_scale[k] = config.RPH_scale[k];
    options.RPH_offset[k] = config.RPH_offset[k];
  }
  options.topo_height = config.topo_height;
  return options;
}

frame_options frame_options_of(const config_params& config) {
  frame_options options;
  options.image_width_pixels = config.image_width_pixels;
  options.image_height_pixels = config.image_height_pixels;
  options.use_16bit_image_input = config.use_16bit_image_input;
  options.do_average_image_error_removal = config.do_average_image_error_removal;
  options.tau_set_min_temp = config.tau_set_min_temp;
  options.tau_set_max_temp = config.tau_set_max_temp;
  options.lens.focal_length_px = config.image_kx;
  options.lens.principal_offset_x = config.lens_principal_offset_x;
  options.lens.principal_offset_y = config.lens_principal_offset_y;
  options.lens.k1 = config.lens_k1;
  options.lens.k2 = config.lens_k2;
  options.lens.p1 = config.lens_p1;
  options.lens.p2 = config.lens_p2;
  options.lens.k3 = config.lens_k3;
  return options;
}

projection_options projection_options_of(const config_params& config) {
  projection_options options;
  options.image_data_multiplier = config.image_data_multiplier;
  options.convert_to_jet_colormap = config.convert_to_jet_colormap;
  options.USE_DEM = config.USE_DEM;
  return options;
}

composite_options composite_options_of(const config_params& config) {
  composite_options options;
  // Values outside 0..2 are checked with the configuration; any other keeps last wins.
  if (config.composite_mode == 1) options.rule = composite_rule::best_view;
  if (config.composite_mode == 2) options.rule = composite_rule::feathered;
  if (config.seam_feather_pixels > 0)
    options.feather_pixels = static_cast<float>(config.seam_feather_pixels);
  options.source_map = config.write_source_map != 0;
  options.angle_map = config.write_view_angle_map != 0;
  return options;
}

}  // namespace

bool load_mosaic_request(const std::string& path, mosaic_request& request) {
  int key_lines = 0;
  if (load_config(path, g_config, &key_lines) == 0) return false;
  const config_params& config = g_config;
  const char* config_path = path.c_str();
  if (key_lines == 0) {
    // Said first; the checks below then name what is missing.
    console_printf(
        "configuration file %s holds no configuration key: is it a configuration file?\n",
        config_path);
  }
  if (!focal_length_usable(config)) return false;
  if (!frame_size_usable(config, config_path)) return false;
  if (!channels_usable(config, config_path)) return false;
  // Everything the configuration alone decides is checked before the GPU is opened,
  // so that a refused run leaves nothing and says so at once.
  if (!pixel_size_usable(config, config_path)) return false;
  if (!numbers_finite(config, config_path)) return false;
  if (!tile_size_usable(config, config_path)) return false;
  if (!temperature_range_usable(config, config_path)) return false;
  if (!compositing_usable(config, config_path)) return false;
  if (!reference_usable(config, config_path)) return false;
  if (!live_wait_usable(config, config_path)) return false;
  if (!colour_balance_usable(config, config_path, request.colour_balance)) return false;
  warn_folder_without_slash("image_dir", config.image_dir, config_path);
  warn_folder_without_slash("output_dir", config.output_dir, config_path);
  request.joined = config.output_dir + config.output_filename;
  require_image_extension("output_filename", config.output_filename, request.joined, config_path);
  if (config.generate_DEM_image != 0) {
    request.DEM_image_path = config.output_dir + config.output_DEM_filename;
    require_image_extension("output_DEM_filename", config.output_DEM_filename,
                            request.DEM_image_path, config_path);
  }

  request.config_path = path;
  request.image_dir = config.image_dir;
  request.FPO_file = config.FPO_file;
  request.DEM_filename = config.DEM_filename;
  request.image_channels = config.image_channels;
  request.flight_log = flight_log_options_of(config);
  request.camera = camera_options_of(config);
  request.frames = frame_options_of(config);
  request.projection = projection_options_of(config);
  request.views.compositing = composite_options_of(config);
  request.views.use_dem = config.USE_DEM != 0;
  request.views.DEM_name = config.DEM_filename;
  request.views.preview_scale = 0.1;
  // The fixed-pattern average is of thermal frames alone.
  request.average_error_frames =
      config.use_16bit_image_input != 0 ? config.do_average_image_error_removal : 0;
  request.vignette_multiplier = config.vingette_removal_multiplier;
  request.pixel_size = config.output_pixel_size;
  request.tile_size = config.output_tile_size_pixels;
  request.subview = config.project_subview_only != 0;
  request.subview_min_lon = config.subview_min_lon;
  request.subview_min_lat = config.subview_min_lat;
  request.subview_max_lon = config.subview_max_lon;
  request.subview_max_lat = config.subview_max_lat;
  request.allow_fine_pixel_size = config.allow_fine_pixel_size != 0;
  request.reference_given = config.reference_given != 0;
  request.reference_lat = config.reference_lat;
  request.reference_lon = config.reference_lon;
  if (config.live_frame_wait_seconds > 0)
    request.live_frame_wait_s = config.live_frame_wait_seconds;
  request.output_dir = config.output_dir;
  request.output_filename = config.output_filename;
  request.png_encode_threads = config.png_encode_threads;
  request.web_map = config.write_web_tiles != 0;
  request.gis_layer = config.write_gis_layer != 0 || request.web_map;
  request.opencl_platform = config.opencl_platform;
  return true;
}

}  // namespace aeroquilt
