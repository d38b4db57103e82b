#pragma once
// The mosaic pipeline: the output extent, the radiometric preparations, the output
// folder and its lock, then one whole view or the grid of tiles, each rendered and
// written by run_view, and the link index of the views written.

#include <string>

#include "app/job.h"
#include "app/mosaic_request.h"
#include "app/run_options.h"

namespace aeroquilt {

struct mosaic_result {
  int views_written = 0;
  int views_failed = 0;  // views a device call or the writing of their files failed
  int64_t views_planned = 0;
  bool map_outputs_failed = false;  // the GIS layer or web map could not be written
  std::string failure_reason;       // why views failed, in words
  // With no view written: why, in words for "no view was written: %s" (empty when the
  // reason has been printed already).
  std::string no_view_reason;
};

// Produces the mosaic of a prepared job as the request asks (an empty output folder is
// the working folder). A tile range (`run.mode` tile_range) makes those tiles alone and
// no link index; a range past the last tile is fatal before anything is written.
mosaic_result make_mosaic(mosaic_job& job, const mosaic_request& request,
                          const run_options& run = {});

}  // namespace aeroquilt
