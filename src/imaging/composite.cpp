#include "imaging/composite.h"

#include <cmath>

namespace aeroquilt {

survey_placement place_in_survey(const view_params& survey, const view_params& view) {
  survey_placement placement;
  placement.survey = survey;
  const double p = survey.pixel_size;
  if (p > 0) {
    placement.column_offset =
        static_cast<int>(std::lround((double(view.x_min) - survey.x_min) / p));
    placement.row_offset = static_cast<int>(std::lround((double(survey.y_max) - view.y_max) / p));
  }
  return placement;
}

composite_record composite_view_record(const survey_placement& placement, const view_dem& dem,
                                       bool use_dem, bool absolute, double ref_lat_deg,
                                       double ref_lon_deg, float feather_pixels) {
  composite_record record;
  record.origin_x = placement.survey.x_min;
  record.origin_y = placement.survey.y_max;
  record.row_offset = placement.row_offset;
  record.column_offset = placement.column_offset;
  record.feather_pixels = feather_pixels;
  record.ref_lat_deg = static_cast<float>(ref_lat_deg);
  record.ref_lon_deg = static_cast<float>(ref_lon_deg);
  if (use_dem) record.flags |= composite_use_dem;
  if (use_dem && absolute && dem.grid && dem.cell_size > 0.0f) {
    // Cells counted from the DEM file's corner in double precision: the reference
    // point's cell and fraction are the same for every view, and the view DEM's first
    // node is a whole number of cells from that corner.
    const double cs = dem.cell_size;
    const double t_lat = (ref_lat_deg - dem.grid->south_latitude) / cs;
    const double t_lon = (ref_lon_deg - dem.grid->west_longitude) / cs;
    const double start_row = std::round((dem.lat_start - dem.grid->south_latitude) / cs);
    const double start_col = std::round((dem.lon_start - dem.grid->west_longitude) / cs);
    record.dem_fraction_lat = static_cast<float>(t_lat - std::floor(t_lat));
    record.dem_fraction_lon = static_cast<float>(t_lon - std::floor(t_lon));
    record.dem_row = static_cast<int32_t>(std::floor(t_lat) - start_row);
    record.dem_column = static_cast<int32_t>(std::floor(t_lon) - start_col);
    record.flags |= composite_absolute_dem;
  }
  return record;
}

}  // namespace aeroquilt
