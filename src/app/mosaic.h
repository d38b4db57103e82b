#pragma once
// The mosaic pipeline: the output extent, the radiometric preparations, the
// output folder and link index, then one whole view or a grid of tiles.

#include <cstdint>
#include <string>
#include <vector>

#include "app/job.h"
#include "app/view_output.h"
#include "output/link_index.h"

namespace aeroquilt {

struct mosaic_result {
  int views_written = 0;
  // With no view written: why, in words for "no view was written: %s" (empty when the
  // reason has been printed already).
  std::string no_view_reason;
};

// Produces the mosaic of a prepared job into `output_dir` + `output_filename` (an empty
// folder is the working folder).
mosaic_result make_mosaic(mosaic_job& job, double pixel_size, const std::string& output_dir,
                          const std::string& output_filename, double preview_scale,
                          int32_t tile_size);

// One tile of the grid: column i (west to east), row j (north to south) and its
// window in the survey view's pixels.
struct tile_window {
  int i = 0, j = 0;
  int first_row = 0, first_column = 0, row_count = 0, column_count = 0;
};

// The tiles of a view of width x height pixels for a tile size in pixels, in the
// order they are produced (column by column, north to south). Empty when the
// whole view fits in one image.
std::vector<tile_window> plan_tiles(int32_t width, int32_t height, int64_t pixel_count,
                                    int32_t tile_size);

// "<name before its first '.'>_i_j<extension>" for a tile of `joined`.
std::string tile_name(const std::string& joined, int i, int j);

}  // namespace aeroquilt
