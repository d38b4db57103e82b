#include "app/run_main.h"

#include <cstring>

#include "app/image_set.h"
#include "app/job.h"
#include "app/live_run.h"
#include "app/mosaic.h"
#include "app/mosaic_request.h"
#include "app/prepare_command.h"
#include "app/run_options.h"
#include "app/tile_commands.h"
#include "base/console.h"
#include "base/fatal_error.h"
#include "imaging/preview.h"
#include "output/dem_image.h"

namespace aeroquilt {
namespace {

void print_usage() {
  console_printf(
      "usage: aeroquilt CONFIGURATION_FILE\n"
      "       aeroquilt CONFIGURATION_FILE [--batch]\n"
      "                 [--tiles FIRST-LAST | --list-tiles | --link-index |\n"
      "                  --live [--idle-exit SECONDS]]\n"
      "       aeroquilt prepare IMAGE_DIR DEM_RASTER OUT_DIR [--camera FILE]\n"
      "                 [--poses CSV [--crs CRS]] [--altitude absolute|relative]\n"
      "                 [--height-offset M] [--takeoff-height M] [--pixel-size M]\n"
      "       aeroquilt -h | --help | --version\n"
      "\n"
      "Projects the images of a survey flight onto a north-up map grid and writes the\n"
      "mosaic (one image or tiles) with KML GroundOverlay and world files, as the\n"
      "configuration file says. The kernel file kernels/direct_registration.cl is read\n"
      "from the working folder, or from beside the installed program.\n"
      "\n"
      "prepare reads the frames' EXIF GPS and XMP attitude (or a poses CSV), the terrain\n"
      "raster (any format and CRS GDAL reads) and a lens calibration, and writes\n"
      "OUT_DIR/survey.cfg with its flight log, DEM file and frames/ (links by which the\n"
      "run reads the frames); then run aeroquilt OUT_DIR/survey.cfg.\n"
      "\n"
      "--batch skips the fixed pauses and the preview window (schedulers, scripts).\n"
      "--list-tiles prints the number of tiles, then per tile its number (from 0, in\n"
      "the order they are made), file name and bounds (west south east north, degrees).\n"
      "--tiles FIRST-LAST makes those tiles alone and no link index; --link-index then\n"
      "writes the link index (and the DEM image) from the tiles on disk.\n"
      "--live follows the flight log and image folder while the aircraft flies and\n"
      "updates the tiles of the planned area (the sub-view keys) as frames arrive,\n"
      "until SIGINT or SIGTERM, or --idle-exit SECONDS without a new frame.\n"
      "\n"
      "exit status: 1 mosaic written, 0 stopped before the mosaic, 2 fatal error, 3 a\n"
      "view failed (device or file writing; the views written are linked); prepare: 0\n"
      "survey ready, 2 survey not made; --list-tiles: 0; --link-index: 1 index written,\n"
      "0 no tile on disk\n");
}

}  // namespace

int run_main(int argc, char** argv) {
  // Asked for usage or version: answer without touching any file.
  if (argc >= 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
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
    console_printf("need configuration file argument\n\n");
    print_usage();
    pause_ms(1000);
    return 0;
  }
  mosaic_request request;
  if (!load_mosaic_request(run.config_path, request)) return 0;
  const bool projects =
      run.mode == run_mode::whole || run.mode == run_mode::tile_range || run.mode == run_mode::live;
  // Decided before any thread of the run exists (the check forks).
  if (projects) display_available();

  // Tile ranges share the output folder with each other (not with a whole run or the
  // link index).
  if (run.mode == run_mode::tile_range) job.lock_mode = output_lock_mode::shared;
  // A live run takes its frames as they come; the flight log may not exist yet.
  if (run.mode == run_mode::live) return run_live(job, request, run);
  if (prepare_image_set(job, request, projects) == 0) return 0;
  if (run.mode == run_mode::list_tiles) {
    print_tile_list(request, job);
    return 0;
  }
  int status = 1;
  if (run.mode == run_mode::link_index) {
    if (write_link_index_from_disk(request, job) == 0) return 0;
  } else {
    const mosaic_result mosaic = make_mosaic(job, request, run);
    // A mosaic with a view missing is not finished, whatever else was written.
    if (mosaic.views_failed > 0) {
      console_printf("incomplete mosaic: %d of %lld views failed\n", mosaic.views_failed,
                     static_cast<long long>(mosaic.views_planned));
      if (mosaic.views_planned > 1)
        console_printf("views written %d, failed %d (%s)\n", mosaic.views_written,
                       mosaic.views_failed, mosaic.failure_reason.c_str());
      status = 3;
    }
    if (mosaic.map_outputs_failed) {
      console_printf("incomplete outputs: the GIS layer or the web map could not be written\n");
      status = 3;
    }
    if (mosaic.views_written == 0) {
      if (!mosaic.no_view_reason.empty())
        console_printf("no view was written: %s\n", mosaic.no_view_reason.c_str());
      return status == 3 ? 3 : 0;
    }
    pause_ms(2000);
  }
  // The DEM image is the whole survey's: made by a whole run or with the link index,
  // not by every tile range.
  if (request.DEM_image_path.empty() || run.mode == run_mode::tile_range) return status;

  // A survey the DEM does not cover, or an image too large to make, has no elevation
  // image; the mosaic is written all the same (the message is printed).
  if (prepare_survey_dem(job) != 0) export_dem_image(job.dem, request.DEM_image_path, 3.0f);
  return status;
}

}  // namespace aeroquilt
