#include "app/run_main.h"

#include <cmath>
#include <cstring>

#include "base/config.h"
#include "base/console.h"
#include "base/fatal_error.h"
#include "app/image_set.h"
#include "app/job.h"
#include "app/mosaic.h"
#include "app/prepare_command.h"
#include "app/run_options.h"
#include "app/tile_commands.h"
#include "app/view_output.h"
#include "imaging/preview.h"
#include "output/dem_image.h"

namespace aeroquilt {
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

// Output names are checked before the GPU is opened and the footprints printed; the
// fatal text is the pipeline's own.
void require_image_extension(const char* key, const std::string& name, const std::string& joined,
                             const char* path) {
  std::size_t position = 0;
  if (find_output_extension(joined, position) >= 0) return;
  console_printf(
      "configuration file %s: %s %s has no image extension (.png, .PNG, .jpg, .JPG, .bmp or "
      ".tif)\n",
      path, key, name.c_str());
  throw fatal_error("extension not found\n");
}

void print_usage() {
  console_printf(
      "usage: aeroquilt CONFIGURATION_FILE\n"
      "       aeroquilt CONFIGURATION_FILE [--batch]\n"
      "                 [--tiles FIRST-LAST | --list-tiles | --link-index]\n"
      "       aeroquilt prepare IMAGE_DIR DEM_RASTER OUT_DIR [--camera FILE]\n"
      "                 [--poses CSV [--crs CRS]] [--altitude absolute|relative]\n"
      "                 [--height-offset M] [--pixel-size M]\n"
      "       aeroquilt --help | --version\n"
      "\n"
      "Projects the images of a survey flight onto a north-up map grid and writes the\n"
      "mosaic (one image or tiles) with KML GroundOverlay and world files, as the\n"
      "configuration file says. The kernel file kernels/direct_registration.cl is read\n"
      "from the working folder, or from beside the installed program.\n"
      "\n"
      "prepare reads the frames' EXIF GPS and XMP attitude (or a poses CSV), the terrain\n"
      "raster (any format and CRS GDAL reads) and a lens calibration, and writes\n"
      "OUT_DIR/survey.cfg with its flight log and DEM file; then run aeroquilt\n"
      "OUT_DIR/survey.cfg.\n"
      "\n"
      "--batch skips the fixed pauses and the preview window (schedulers, scripts).\n"
      "--list-tiles prints the number of tiles, then per tile its number (from 0, in\n"
      "the order they are made), file name and bounds (west south east north, degrees).\n"
      "--tiles FIRST-LAST makes those tiles alone and no link index; --link-index then\n"
      "writes the link index (and the DEM image) from the tiles on disk.\n"
      "\n"
      "exit status: 1 mosaic written, 0 stopped before the mosaic, 2 fatal error;\n"
      "prepare: 0 survey ready, 2 survey not made; --list-tiles: 0; --link-index: 1 index\n"
      "written, 0 no tile on disk\n");
}

}  // namespace

int run_main(int argc, char** argv) {
  // Asked for usage or version: answer without touching any file.
  if (argc >= 2 && std::strcmp(argv[1], "--help") == 0) {
    print_usage();
    return 0;
  }
  if (argc >= 2 && std::strcmp(argv[1], "--version") == 0) {
    console_printf("aeroquilt %s\n", AEROQUILT_VERSION);
    return 0;
  }
  if (argc >= 2 && std::strcmp(argv[1], "prepare") == 0) {
    return prepare_command(argc - 2, argv + 2);
  }
  run_options run;
  const std::string argument_problem = parse_run_options(argc - 1, argv + 1, run);
  if (!argument_problem.empty()) throw fatal_error(argument_problem + "\n");
  if (run.batch) {
    skip_pauses();
    disable_preview();
  }
  // The tile list alone goes to standard output.
  if (run.mode == run_mode::list_tiles) console_to_stderr();
  mosaic_job job;
  if (run.config_path.empty()) {
    console_printf("need configuration file argument\n");
    pause_ms(1000);
    return 0;
  }
  const char* config_path = run.config_path.c_str();
  int key_lines = 0;
  if (load_config(config_path, g_config, &key_lines) == 0) return 0;
  const config_params& config = g_config;
  if (key_lines == 0) {
    // Said first; the checks below then name what is missing.
    console_printf(
        "configuration file %s holds no configuration key: is it a configuration file?\n",
        config_path);
  }
  if (!focal_length_usable(config)) return 0;
  if (!frame_size_usable(config, config_path)) return 0;
  if (!channels_usable(config, config_path)) return 0;
  // Everything the configuration alone decides is checked before the GPU is opened,
  // so that a refused run leaves nothing and says so at once.
  if (!pixel_size_usable(config, config_path)) return 0;
  if (!temperature_range_usable(config, config_path)) return 0;
  if (!compositing_usable(config, config_path)) return 0;
  require_image_extension("output_filename", config.output_filename,
                          config.output_dir + config.output_filename, config_path);
  if (config.generate_DEM_image != 0) {
    require_image_extension("output_DEM_filename", config.output_DEM_filename,
                            config.output_dir + config.output_DEM_filename, config_path);
  }
  const bool projects = run.mode == run_mode::whole || run.mode == run_mode::tile_range;
  // Decided before any thread of the run exists (the check forks).
  if (projects) display_available();

  job.config_path = run.config_path;
  // Tile ranges share the output folder with each other (not with a whole run or the
  // link index).
  if (run.mode == run_mode::tile_range) job.lock_mode = output_lock_mode::shared;
  if (prepare_image_set(job, config.image_dir, config.FPO_file, projects) == 0) return 0;
  const std::string joined = config.output_dir + config.output_filename;
  if (run.mode == run_mode::list_tiles) {
    print_tile_list(job, config.output_pixel_size, joined, config.output_tile_size_pixels);
    return 0;
  }
  if (run.mode == run_mode::link_index) {
    if (write_link_index_from_disk(job, config.output_pixel_size, joined,
                                   config.output_tile_size_pixels) == 0)
      return 0;
  } else {
    const mosaic_result mosaic =
        make_mosaic(job, config.output_pixel_size, config.output_dir, config.output_filename, 0.1,
                    config.output_tile_size_pixels, run);
    if (mosaic.views_written == 0) {
      if (!mosaic.no_view_reason.empty())
        console_printf("no view was written: %s\n", mosaic.no_view_reason.c_str());
      return 0;
    }
    pause_ms(2000);
  }
  // The DEM image is the whole survey's: made by a whole run or with the link index,
  // not by every tile range.
  if (config.generate_DEM_image == 0 || run.mode == run_mode::tile_range) return 1;

  // A survey the DEM does not cover, or an image too large to make, has no elevation
  // image; the mosaic is written all the same (the message is printed).
  if (prepare_survey_dem(job) != 0)
    export_dem_image(job.dem, config.output_dir + config.output_DEM_filename, 3.0f);
  return 1;
}

}  // namespace aeroquilt
