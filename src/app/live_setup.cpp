#include "app/live_setup.h"

#include <cstdio>

#include "base/console.h"
#include "base/fatal_error.h"
#include "base/field_parsers.h"

namespace aeroquilt {

void refuse_unmappable_live_request(const mosaic_request& request) {
  if (!request.subview) {
    console_printf(
        "live mapping needs the planned area: project_subview_only,1 with subview_min_lon, "
        "subview_min_lat, subview_max_lon and subview_max_lat\n");
    throw fatal_error("live mapping needs the planned area (project_subview_only,1)\n");
  }
  if (request.tile_size <= 0) {
    console_printf("live mapping needs tiles: output_tile_size_pixels greater than 0\n");
    throw fatal_error("live mapping needs tiles (output_tile_size_pixels)\n");
  }
  if (request.average_error_frames != 0) {
    console_printf(
        "live mapping cannot remove the thermal fixed pattern, which is averaged over the whole "
        "flight: set do_average_image_error_removal,0\n");
    throw fatal_error("live mapping cannot average the thermal fixed pattern\n");
  }
  if (request.colour_balance != 0) {
    console_printf(
        "live mapping cannot balance colours, which are solved from the overlaps of the whole "
        "flight before any tile is made: set colour_balance,0 (or balance in a batch run after "
        "the flight)\n");
    throw fatal_error("live mapping cannot balance colours (colour_balance)\n");
  }
}

void live_reference_point(const mosaic_request& request, double& lat_deg, double& lon_deg) {
  if (request.reference_given) {
    lat_deg = request.reference_lat;
    lon_deg = request.reference_lon;
  } else {
    // The area's centre, as the configuration reader reads it back from the lines
    // printed, so that a batch run with them makes exactly this grid.
    char lon[64], lat[64];
    std::snprintf(lon, sizeof(lon), "%.10f",
                  (request.subview_min_lon + request.subview_max_lon) / 2.0);
    std::snprintf(lat, sizeof(lat), "%.10f",
                  (request.subview_min_lat + request.subview_max_lat) / 2.0);
    lon_deg = parse_number(lon);
    lat_deg = parse_number(lat);
    console_printf(
        "live: the reference point is the centre of the area; add these lines to the "
        "configuration so that a batch run makes the same grid:\nreference_lon,%s\n"
        "reference_lat,%s\n",
        lon, lat);
  }
}

}  // namespace aeroquilt
