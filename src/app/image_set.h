#pragma once
// Preparation of the image set: DEM, GPU device, flight log, camera models,
// footprints, cache sizing and the survey view, in that order.

#include <vector>

#include "app/job.h"
#include "app/mosaic_request.h"

namespace aeroquilt {

// Fills the job as the request asks. 1 when the run can go on, 0 when not. Without
// `open_gpu` (a run that projects nothing: the tile list, the link index) the device
// is left closed.
int prepare_image_set(mosaic_job& job, const mosaic_request& request, bool open_gpu = true);

// What every run does before its frames: the frame loader and its lens, the DEM and the
// device (with `open_gpu`). `camera` receives the camera the frames
// reach the model with (the lens's ideal focal length). 0 when the lens cannot be
// corrected (said why).
int prepare_run(mosaic_job& job, const mosaic_request& request, bool open_gpu,
                camera_options& camera);

enum class frame_placement {
  placed,             // its camera model and footprint are made
  left_out,           // a ray misses the ground or the camera is below it (said why)
  off_dem,            // a corner ray leaves the DEM
  no_terrain_height,  // the DEM holds no height under the footprint
};

// The camera model and footprint of record `index` of the job's list, on the DEM when
// `use_dem`.
frame_placement place_frame(mosaic_job& job, const camera_options& camera, bool use_dem, int index,
                            image_geometry& geometry);

// Sizes the input cache for frames of the camera's size (a budget of 4e9 bytes).
void size_frame_cache(mosaic_job& job, const camera_options& camera);

// The footprint matrices of the job's images, in list order.
std::vector<arma::mat> job_footprints(const mosaic_job& job);

// Replaces the job's survey view by the survey extent at 1 m pixels and resamples
// the DEM over it. 0 when the DEM does not cover the survey.
int prepare_survey_dem(mosaic_job& job);

}  // namespace aeroquilt
