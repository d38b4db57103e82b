#pragma once
// The tiles of a live run: which tiles a frame reaches, what each tile holds (on disk
// and in memory), and the record of the frames a tile's files hold, which a later run
// resumes from.

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "app/mosaic_grid.h"
#include "geometry/flight_log.h"
#include "imaging/view_operation.h"

namespace aeroquilt {

struct live_tile {
  std::vector<int> frames;             // frames (geometry indices) its state or files hold
  std::vector<int> pending;            // frames to draw at its next update
  std::vector<int> unwritten;          // frames drawn that its files do not hold yet
  view_state state;                    // empty when not kept in memory
  std::map<int, std::string> on_disk;  // flight-log line -> frame name its files held at start
  bool dirty = false;                  // its state is ahead of its files (a write failed)
  double retry_s = 0;                  // a failed write is tried again from then on
  bool failed = false;                 // its last update failed on the device
  uint64_t used = 0;                   // update counter at its last update
};

// The tiles of `plan` over `survey` that `geometry` reaches, as the view operation of
// `setting` cuts its windows, in tile order.
std::vector<int64_t> tiles_reached(const view_setting& setting, const view_params& survey,
                                   const tile_plan& plan, const image_geometry& geometry);

// The record of the frames a tile's files hold: one "LINE NAME" line per frame (indices
// into `records`, the flight-log records), and the record read back (empty when none).
std::string frame_record_text(const std::vector<int>& frames,
                              const std::vector<FPO_record>& records);
std::map<int, std::string> read_frame_record(const std::string& path);

// Bytes a tile's state takes in memory.
std::size_t state_bytes(const view_state& state);

}  // namespace aeroquilt
