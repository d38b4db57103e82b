#pragma once
// The arguments of a mosaic run: the configuration file, the batch switch, and which
// part of the mosaic the process makes (all of it, a range of tiles, the tile list
// or the link index), so that a scheduler can spread the tiles over processes.

#include <string>

namespace aeroquilt {

enum class run_mode {
  whole,       // every tile (or the one image) and the link index
  tile_range,  // tiles first_tile to last_tile, no link index
  list_tiles,  // print the tiles, write nothing
  link_index,  // the link index (and DEM image) from the tiles on disk
  live,        // follow the flight log and frames as they arrive, updating the tiles
};

struct run_options {
  std::string config_path;  // empty when none was given
  bool batch = false;       // no fixed pauses, no preview
  run_mode mode = run_mode::whole;
  int first_tile = 0, last_tile = 0;  // tile_range: numbers from 0 in pipeline order
  double idle_exit_s = 0;             // live: end after this long without a new frame (0: never)
};

// Reads the arguments after the program name: one configuration file, `--batch`, and
// at most one of `--tiles FIRST-LAST`, `--list-tiles`, `--link-index`, `--live` (which
// may take `--idle-exit SECONDS`). Empty when
// they are usable, else the reason (for standard error, exit status 2).
std::string parse_run_options(int argc, const char* const* argv, run_options& options);

// The reason a tile range cannot be made of a mosaic of `tile_count` tiles, or empty.
std::string tile_range_problem(const run_options& options, int tile_count);

}  // namespace aeroquilt
