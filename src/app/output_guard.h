#pragma once
// Refusal of a run whose outputs would overwrite one of its own inputs (an output name
// equal to a frame's with the output folder the image folder, say).

#include <string>
#include <vector>

#include "app/job.h"
#include "app/mosaic.h"
#include "output/output_lock.h"

namespace aeroquilt {

// Every file the views at `view_paths` would write (each image with its side files).
std::vector<std::string> view_output_paths(const std::vector<std::string>& view_paths);

// Throws fatal_error (after a message naming both) when a path of `outputs` names the
// same existing file as a path of `inputs` (compared by device and inode, so that
// other spellings of a path are caught too).
void refuse_outputs_that_are_inputs(const std::vector<std::string>& outputs,
                                    const std::vector<std::string>& inputs);

// The run's check: every file the job would write (its views at `joined` cut into
// `tiles`, the link index, the lock file, the DEM image) against its inputs (the
// configuration, the flight log, the DEM and the frames).
void refuse_run_outputs_that_are_inputs(const mosaic_job& job, const std::string& joined,
                                        const std::vector<tile_window>& tiles);

// Takes the output lock of the mosaic at `joined`; when another run holds it, throws
// fatal_error naming that run (nothing has been written then).
output_lock lock_run_output(const std::string& joined, output_lock_mode mode);

}  // namespace aeroquilt
