#pragma once
// The grid of a mosaic: the survey view at the requested pixel size, and its plan, one
// whole image or a grid of overlapping square tiles. A plan counts its tiles without
// listing them, so that any tile is made from its number alone.

#include <cstdint>
#include <string>

#include "app/job.h"
#include "app/mosaic_request.h"
#include "terrain/view_params.h"

namespace aeroquilt {

// Pixels by which a tile reaches into its west and north neighbours.
constexpr int tile_overlap_pixels = 50;

// Tiles of side + overlap pixels starting every `side` pixels: `columns` west to east,
// `rows` north to south. `whole`: one image of the survey view, no tiles.
struct tile_plan {
  bool whole = true;
  int side = 0;
  int64_t columns = 0, rows = 0;

  // The number of views: its tiles, or 1 for the whole image.
  int64_t count() const { return whole ? 1 : columns * rows; }
};

// The plan of a view of width x height pixels for a tile size in pixels: one image when
// the tile size is 0 or negative or holds every pixel (counted in 64 bits), else tiles
// of side trunc(sqrt(tile size)).
tile_plan plan_tiles(int32_t width, int32_t height, int32_t tile_size);

// One tile: column i (west to east), row j (north to south) and its window in the
// survey view's pixels.
struct tile_window {
  int i = 0, j = 0;
  int first_row = 0, first_column = 0, row_count = 0, column_count = 0;
};

// Tile `number` of a tiled plan (from 0, column by column, north to south).
tile_window tile_at(const tile_plan& plan, int64_t number);

// One view of the mosaic: a tile, or the whole image.
struct mosaic_view {
  std::string path;  // its image file
  view_params view = empty_view_params();
  bool whole = false;
  int i = 0, j = 0;  // tile column and row
};

// View `number` of the mosaic at `joined` over `survey` planned as `plan`.
mosaic_view mosaic_view_at(const view_params& survey, const std::string& joined,
                           const tile_plan& plan, int64_t number);

// What fixes a tiled mosaic's tiles: pixel size, origin, extent, tile side and the
// local frame's reference point, as the text of its grid record.
std::string tile_grid_text(const view_params& survey, const tile_plan& plan, double ref_lat_deg,
                           double ref_lon_deg);

// The survey view of a prepared job at the requested pixel size: the requested sub-view,
// or the extent of every footprint.
view_params fix_survey_view(const mosaic_request& request, const mosaic_job& job);

}  // namespace aeroquilt
