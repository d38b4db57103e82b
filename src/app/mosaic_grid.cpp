#include "app/mosaic_grid.h"

#include <cmath>
#include <cstdio>

#include "app/image_set.h"
#include "output/output_names.h"

namespace aeroquilt {

tile_plan plan_tiles(int32_t width, int32_t height, int32_t tile_size) {
  tile_plan plan;
  // A tile size of 0 (not configured) or below 0 means one whole image. The pixel count
  // is the product in 64 bits: the record's 32-bit copy wraps past 2^32 pixels.
  if (tile_size <= 0 || static_cast<int64_t>(width) * height <= tile_size) return plan;
  plan.whole = false;
  plan.side = static_cast<int>(std::sqrt(static_cast<double>(tile_size)));
  plan.columns = width > 0 ? (static_cast<int64_t>(width) + plan.side - 1) / plan.side : 0;
  plan.rows = height > 0 ? (static_cast<int64_t>(height) + plan.side - 1) / plan.side : 0;
  return plan;
}

tile_window tile_at(const tile_plan& plan, int64_t number) {
  const int i = static_cast<int>(number / plan.rows), j = static_cast<int>(number % plan.rows);
  const int S = plan.side;
  return {i,
          j,
          j * S - tile_overlap_pixels,
          i * S - tile_overlap_pixels,
          S + tile_overlap_pixels,
          S + tile_overlap_pixels};
}

mosaic_view mosaic_view_at(const view_params& survey, const std::string& joined,
                           const tile_plan& plan, int64_t number) {
  if (plan.whole) return {joined, survey, true, 0, 0};
  const tile_window tile = tile_at(plan, number);
  return {tile_name(joined, tile.i, tile.j),
          tile_view_params(survey, tile.first_row, tile.first_column, tile.row_count,
                           tile.column_count),
          false, tile.i, tile.j};
}

std::string tile_grid_text(const view_params& survey, const tile_plan& plan, double ref_lat_deg,
                           double ref_lon_deg) {
  char text[512];
  std::snprintf(text, sizeof text,
                "pixel size %.9g m, west %.9g m, north %.9g m, %d x %d pixels, tiles of %d pixels "
                "overlapping by %d, reference point %.12f %.12f\n",
                survey.pixel_size, survey.x_min, survey.y_max, survey.width, survey.height,
                plan.side, tile_overlap_pixels, ref_lat_deg, ref_lon_deg);
  return text;
}

view_params fix_survey_view(const mosaic_request& request, const mosaic_job& job) {
  if (request.subview) {
    return subview_params(request.pixel_size, request.subview_min_lon, request.subview_min_lat,
                          request.subview_max_lon, request.subview_max_lat, job.images.centre_lat,
                          job.images.centre_lon);
  }
  return survey_view_params(job_footprints(job), request.pixel_size, job.images.centre_lat,
                            job.images.centre_lon);
}

}  // namespace aeroquilt
