#pragma once
// The colour balance of a run: the frames' gains measured and solved once from every frame
// of the survey, before any view, and handed to the frame loader.

#include "app/job.h"
#include "app/mosaic_request.h"

namespace aeroquilt {

// Measures the overlaps of all the job's frames on the ground (flat, or the DEM with
// `use_dem`), solves one gain per frame and channel and sets them in the job's loader;
// prints their spread and the time taken. The same frames give the same gains, whichever
// views the run makes.
void balance_frame_colours(mosaic_job& job, const mosaic_request& request);

}  // namespace aeroquilt
