#pragma once
// Refusal of a run whose outputs would overwrite one of its own inputs (an output name
// equal to a frame's with the output folder the image folder, say), and the lock on the
// output.

#include <string>
#include <vector>

#include "app/job.h"
#include "app/mosaic_grid.h"
#include "app/mosaic_request.h"
#include "output/output_lock.h"

namespace aeroquilt {

// Throws fatal_error (after a message naming both) when a path of `outputs` names the
// same existing file as a path of `inputs` (compared by device and inode, so that
// other spellings of a path are caught too).
void refuse_outputs_that_are_inputs(const std::vector<std::string>& outputs,
                                    const std::vector<std::string>& inputs);

// The run's check: every file the request's views planned as `plan` would write (each
// image with its side files and maps), the link index, the lock file and the DEM image,
// against the run's inputs (the configuration, the flight log, the DEM and the frames).
// Tiles are checked from the files in the output folder, not by listing every tile.
void refuse_run_outputs_that_are_inputs(const mosaic_request& request, const mosaic_job& job,
                                        const tile_plan& plan);

// The output folder, made when missing (one level; an empty text is the working
// folder); fatal when it cannot be.
void make_output_folder(const std::string& output_dir);

// Holds the tiles of the mosaic at `joined` to the grid `text`: a range run records it or
// finds it recorded (fatal when another grid is), a run of every tile replaces a record
// that is there.
void settle_tile_grid(const std::string& joined, const std::string& text, bool range_run);

// Takes the output lock of the mosaic at `joined`, and when it is exclusive removes the
// temporaries an interrupted run left; when another run holds it, throws fatal_error
// naming that run (nothing has been written then).
output_lock lock_run_output(const std::string& joined, output_lock_mode mode);

}  // namespace aeroquilt
