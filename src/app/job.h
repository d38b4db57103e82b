#pragma once
// The object of one run: it owns every long-lived piece by value. Members are
// destroyed in reverse order, so the input cache (and its loader threads) goes
// first, then the frame loader it reads through, the device, and the lock last.

#include <vector>

#include "geometry/camera_model.h"
#include "geometry/flight_log.h"
#include "imaging/frame_loader.h"
#include "imaging/gpu_context.h"
#include "imaging/image_cache.h"
#include "output/output_lock.h"
#include "terrain/dem_sampling.h"
#include "terrain/view_params.h"

namespace aeroquilt {

struct mosaic_job {
  // Held from before the first output file to the end of the run (released last).
  output_lock lock;
  output_lock_mode lock_mode = output_lock_mode::exclusive;  // shared: tile ranges
  image_list images;
  view_dem dem;
  std::vector<image_geometry> geometries;  // one per kept image
  int geometry_count = 0;
  gpu_context gpu;
  view_params survey_view = empty_view_params();
  frame_loader loader;
  image_cache input_cache{loader};
};

}  // namespace aeroquilt
