#pragma once

namespace aeroquilt {

// Runs one mosaic from the configuration file named by argv[1].
// Returns 1 after a finished mosaic, 0 when the run stopped before it.
int run_main(int argc, char** argv);

}  // namespace aeroquilt
