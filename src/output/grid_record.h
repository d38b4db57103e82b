#pragma once
// The record of a tiled mosaic's grid beside its tiles (<stem>_grid.txt): runs that each
// make a range of tiles into one folder must all make them on one grid, or the folder
// ends up holding tiles of two mosaics under the same names.

#include <string>

namespace aeroquilt {

enum class grid_match { recorded, same, different, failed };

struct grid_claim {
  grid_match match = grid_match::failed;
  std::string recorded;  // the record on disk, when it differs
  std::string error;     // why the record could not be written or read
};

// Records `text` at `path` unless a record is there already (created exclusively, so
// that of runs starting together one records and the others compare), and compares.
grid_claim claim_grid_record(const std::string& path, const std::string& text);

// Replaces a record that is there (a run that makes every tile sets the grid); a missing
// record stays missing. False when it could not be replaced.
bool replace_grid_record(const std::string& path, const std::string& text);

// The record at `path`, or "" when there is none.
std::string read_grid_record(const std::string& path);

}  // namespace aeroquilt
