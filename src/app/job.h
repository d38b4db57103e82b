#pragma once
// The object of one run: it owns every long-lived piece by value. Members are
// destroyed in reverse order, so the input cache (and its loader threads) goes
// first and the output canvas last.

#include <string>
#include <vector>

#include "geometry/camera_model.h"
#include "geometry/flight_log.h"
#include "imaging/gpu_context.h"
#include "imaging/image_cache.h"
#include "terrain/dem_sampling.h"
#include "terrain/view_params.h"

namespace aeroquilt {

struct mosaic_job {
  image_cache output_canvas;
  image_list images;
  view_dem dem;
  std::vector<image_geometry> geometries;  // one per kept image
  int geometry_count = 0;
  std::string image_dir;  // copy of image_dir
  std::string FPO_path;   // copy of FPO_file
  gpu_context gpu;
  view_params survey_view = empty_view_params();
  image_cache input_cache;
};

}  // namespace aeroquilt
