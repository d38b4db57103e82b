#pragma once
// Renders one output view on the device from explicit inputs: the view record, the
// images' geometries, the view DEM and the corrected frames. It owns the loop over the
// images (with their prefetch), the launches, the preview and the read-back; what the
// view is for and where it goes are the caller's.

#include <opencv2/core.hpp>
#include <vector>

#include "geometry/camera_model.h"
#include "imaging/frame_source.h"
#include "imaging/gpu_context.h"
#include "terrain/dem_sampling.h"
#include "terrain/view_params.h"

namespace aeroquilt {

// The view being built: its record (each image's matrices are written into it in
// turn) and its BGR raster, row 0 north, black where nothing was projected.
struct output_canvas {
  view_params view{};
  cv::Mat image;
};

// Installs `view` in the canvas with a black raster; refuses a view of more than
// 2.5e9 pixels ("output range error\n", fatal) or of width or height below 1.
void install_view(output_canvas& canvas, const view_params& view);

struct render_result {
  bool device_buffer = false;  // false: the device could not hold the view; nothing ran
  int projected = 0;           // images projected into the view
};

// Projects every image in list order into the canvas's installed view, previewing every
// 20th image and the result (scaled by `preview_scale`), and reads the view back into
// canvas.image. `dem` must be built for the view. The reference point is the run's, in
// degrees.
render_result render_view_images(output_canvas& canvas, const std::vector<image_geometry>& geometries,
                                 const view_dem& dem, frame_source& frames, gpu_context& gpu,
                                 bool use_dem, double ref_lat_deg, double ref_lon_deg,
                                 double preview_scale);

}  // namespace aeroquilt
