#pragma once
// Live mapping: the mosaic's tiles grow while the aircraft flies. The run follows the
// flight log as the logger appends to it and the image folder as frames arrive; each
// frame, once its line and its file are complete, updates the tiles it reaches by the
// same view operation a batch run renders with, so that the tiles left at the end are
// those of a batch run over the same log and frames.

#include "app/job.h"
#include "app/mosaic_request.h"
#include "app/run_options.h"

namespace aeroquilt {

// Runs until SIGINT or SIGTERM (the tile in hand finished, then the link index) or
// `run.idle_exit_s` without a new frame. Fatal when the request has no planned area
// (the sub-view keys) or no tiles. Returns 1 when every tile a frame reached is written,
// 3 when some could not be, 0 when no frame reached a tile.
int run_live(mosaic_job& job, const mosaic_request& request, const run_options& run);

}  // namespace aeroquilt
