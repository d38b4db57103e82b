#pragma once
// The size of a run's job, printed before any view is projected, and the refusals of
// jobs that cannot end well: a view too large for the machine's memory, and a pixel
// size so much finer than the frames that the views only grow without adding detail.

#include <cstdint>
#include <string>
#include <vector>

#include "app/job.h"
#include "app/mosaic_grid.h"
#include "app/mosaic_request.h"

namespace aeroquilt {

struct job_size {
  int64_t views = 0;
  int64_t pixels = 0;  // in all views together (tiles overlap their neighbours)
  int largest_width = 0, largest_height = 0;
  double view_bytes = 0;  // memory the largest view takes while it is made and written
};

// Bytes of memory one output pixel takes while its view is made and written: the
// canvas, the device's copy, and for PNG the transparent copy and the encoded file.
double bytes_per_view_pixel(bool png_output);

// The job of `survey` cut as `plan` says. `extra_bytes_per_pixel`: what compositing
// planes and quality maps add to each pixel.
job_size measure_job(const view_params& survey, const tile_plan& plan, bool png_output,
                     double extra_bytes_per_pixel = 0.0);

// Metres per frame pixel on the ground of the sharpest frame: its camera's height above
// its footprint over its focal length in pixels. 0 when no frame is above its footprint.
double finest_frame_resolution_m(const std::vector<image_geometry>& geometries);

// Prints the job's size, then refuses (false, after a message saying what to change) a
// largest view over `available_bytes`, or a pixel size more than 20 times finer than
// `finest_frame_m` unless `allow_fine_pixel_size`.
bool job_acceptable(const job_size& size, bool tiled, double pixel_size, double finest_frame_m,
                    bool allow_fine_pixel_size, uint64_t available_bytes);

// The run's check of the request's job over `survey` planned as `plan`: true to go on.
bool check_job_size(const mosaic_request& request, const mosaic_job& job, const view_params& survey,
                    const tile_plan& plan);

}  // namespace aeroquilt
