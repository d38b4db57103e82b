#pragma once
// The prepare subcommand: aeroquilt prepare IMAGE_DIR DEM_RASTER OUT_DIR [options].

namespace aeroquilt {

// Runs the subcommand on the arguments after "prepare". 0 when the survey is ready,
// 2 when it cannot be made (the reason on standard error).
int prepare_command(int argc, char** argv);

}  // namespace aeroquilt
