#pragma once
// The request of a run: everything the configuration asks for, read once and checked
// once before anything else is done, as the option records of the modules, the grid
// and the outputs. Nothing after it reads the configuration.

#include <cstdint>
#include <string>

#include "geometry/camera_model.h"
#include "geometry/flight_log.h"
#include "imaging/frame_loader.h"
#include "imaging/frame_source.h"
#include "imaging/view_operation.h"

namespace aeroquilt {

constexpr int32_t colour_balance_gains = 1, colour_balance_fields = 2;

struct mosaic_request {
  std::string config_path;  // the configuration file, an input no output may replace
  // Inputs.
  std::string image_dir, FPO_file, DEM_filename;
  int32_t image_channels = 3;
  // The modules' options.
  flight_log_options flight_log;
  camera_options camera;
  frame_options frames;
  projection_options projection;
  view_options views;
  // Preparations of the frames: fixed-pattern average length (0: none), vignette strength.
  int32_t average_error_frames = 0;
  double vignette_multiplier = 0;
  // The grid: pixel size (metres), tile size in pixels (0: one image), the sub-view.
  double pixel_size = 0;
  int32_t tile_size = 0;
  bool subview = false;
  double subview_min_lon = 0, subview_min_lat = 0, subview_max_lon = 0, subview_max_lat = 0;
  bool allow_fine_pixel_size = false;
  // The local frame's reference point in degrees when given; otherwise the survey centre.
  bool reference_given = false;
  double reference_lat = 0, reference_lon = 0;
  // Live runs: seconds a flight-log line waits for its frame.
  double live_frame_wait_s = 30;
  // Outputs: folder and name joined as they stand, the DEM image (empty: none).
  std::string output_dir, output_filename, joined;
  std::string DEM_image_path;
  int32_t png_encode_threads = 0;
  // The mosaic's GIS layer (a VRT of its tiles and maps) and its web map.
  bool gis_layer = false, web_map = false;
  std::string opencl_platform;  // part of the platform's name; empty: the first
  // Colour balance solved from the overlaps before the views: 0 none, 1 one gain per
  // frame and channel (colour_balance_gains), 2 a gain field (colour_balance_fields).
  int32_t colour_balance = 0;
};

// Reads the configuration file at `path` and makes the request from it. False when the
// file is missing or a value no stage can use (its message printed); fatal "extension
// not found\n" for an output name without an image extension.
bool load_mosaic_request(const std::string& path, mosaic_request& request);

}  // namespace aeroquilt
