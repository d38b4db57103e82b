#pragma once
// The mosaic pipeline: the output extent, the radiometric preparations, the
// output folder and link index, then one whole view or a grid of tiles.

#include <cstdint>
#include <string>
#include <vector>

#include "app/job.h"
#include "app/view_output.h"
#include "app/run_options.h"
#include "output/link_index.h"

namespace aeroquilt {

struct mosaic_result {
  int views_written = 0;
  // With no view written: why, in words for "no view was written: %s" (empty when the
  // reason has been printed already).
  std::string no_view_reason;
};

// Produces the mosaic of a prepared job into `output_dir` + `output_filename` (an empty
// folder is the working folder). A tile range (`run.mode` tile_range) makes those tiles
// alone and no link index; a range past the last tile is fatal before anything is written.
mosaic_result make_mosaic(mosaic_job& job, double pixel_size, const std::string& output_dir,
                          const std::string& output_filename, double preview_scale,
                          int32_t tile_size, const run_options& run = {});

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

// Fixes the job's survey view at `pixel_size`: the configured sub-view, or the extent of
// every footprint.
void fix_survey_view(mosaic_job& job, double pixel_size);

// One view the mosaic is made of: a tile, or the whole image.
struct mosaic_view {
  std::string path;  // its image file
  view_params view = empty_view_params();
  bool whole = false;
  int i = 0, j = 0;  // tile column and row
};

// The tiles of the mosaic of `survey` (plan_tiles; none for one whole image).
std::vector<tile_window> plan_mosaic(const view_params& survey, int32_t tile_size);

// The number of views of a plan: its tiles, or 1 for the whole image.
std::size_t view_count(const std::vector<tile_window>& tiles);

// View `number` (from 0, in the order the views are made) of the mosaic at `joined`
// planned as `tiles`.
mosaic_view mosaic_view_at(const view_params& survey, const std::string& joined,
                           const std::vector<tile_window>& tiles, std::size_t number);

// The link index's path for the mosaic at `joined`.
std::string link_index_path(const std::string& joined);

}  // namespace aeroquilt
