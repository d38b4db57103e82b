#pragma once
// The files of a prepared survey: the DEM file's bytes, and the writing of the files
// with the folder of frame links so that all of them appear or none.

#include <string>
#include <utility>
#include <vector>

#include "prepare/terrain_import.h"

namespace aeroquilt {

// The folder of frame links inside the output folder.
constexpr const char* kFramesFolder = "frames";

// The bytes of a DEM file (see terrain/dem_file.h), heights relative to topo_height.
std::string dem_file_bytes(const geographic_dem& dem, double topo_height_m);

// Throws prepare_failure unless `out_dir`/frames is absent or a folder of links only (a
// survey prepared before), which writing may then replace; never a folder of the user's.
void check_frames_folder(const std::string& out_dir);

// Writes `files` (name, bytes) into `out_dir` (ending in "/", created when missing) and
// the folder frames/ of symbolic links (name, absolute target): the links in a temporary
// folder and the files under temporary names, then all renamed into place, a previous
// frames/ folder replaced. Throws prepare_failure when something cannot be written; what
// was made goes then, and a previous survey stays.
void write_survey(const std::string& out_dir,
                  const std::vector<std::pair<std::string, std::string>>& files,
                  const std::vector<std::pair<std::string, std::string>>& links);

}  // namespace aeroquilt
