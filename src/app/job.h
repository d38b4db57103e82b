#pragma once
// The object of one run: it owns every long-lived piece by value. Members are
// destroyed in reverse order, so the input cache (and its loader threads) goes
// first, then the frame loader it reads through, and the output canvas last.

#include <string>
#include <vector>

#include "base/config.h"
#include "geometry/camera_model.h"
#include "geometry/flight_log.h"
#include "imaging/composite.h"
#include "imaging/frame_loader.h"
#include "imaging/frame_source.h"
#include "imaging/gpu_context.h"
#include "imaging/image_cache.h"
#include "imaging/view_renderer.h"
#include "output/output_lock.h"
#include "terrain/dem_sampling.h"
#include "terrain/view_params.h"

namespace aeroquilt {

// The run's one configuration, written once by run_main and read by the run alone:
// every module below takes the option record made from it here.
extern config_params g_config;

struct mosaic_job {
  // Held from before the first output file to the end of the run (released last).
  output_lock lock;
  output_lock_mode lock_mode = output_lock_mode::exclusive;  // shared: tile ranges
  std::string config_path;  // the configuration file, an input no output may replace
  output_canvas canvas;
  image_list images;
  view_dem dem;
  std::vector<image_geometry> geometries;  // one per kept image
  int geometry_count = 0;
  std::string image_dir;  // copy of image_dir
  std::string FPO_path;   // copy of FPO_file
  gpu_context gpu;
  view_params survey_view = empty_view_params();
  frame_loader loader;
  image_cache input_cache{loader};
};

// The option records of the modules, from the configuration.
flight_log_options flight_log_options_of(const config_params& config);
camera_options camera_options_of(const config_params& config);
frame_options frame_options_of(const config_params& config);
projection_options projection_options_of(const config_params& config);
composite_options composite_options_of(const config_params& config);

}  // namespace aeroquilt
