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

// The footprint matrices of the job's images, in list order.
std::vector<arma::mat> job_footprints(const mosaic_job& job);

// Replaces the job's survey view by the survey extent at 1 m pixels and resamples
// the DEM over it. 0 when the DEM does not cover the survey.
int prepare_survey_dem(mosaic_job& job);

}  // namespace aeroquilt
