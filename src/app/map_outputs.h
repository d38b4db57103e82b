#pragma once
// What shows the mosaic where people look at maps: the GIS layer (a VRT of the tiles,
// and of each map) and the web map (XYZ tiles and a Leaflet page in OUTDIR/web/),
// written from the views on disk once the link index is.

#include <cstdint>
#include <vector>

#include "app/mosaic_grid.h"
#include "app/mosaic_request.h"
#include "output/web_map.h"

namespace aeroquilt {

// The web map's folder: "web/" in the mosaic's output folder.
std::string web_folder(const mosaic_request& request);

// The box of a view in degrees.
geo_bounds view_bounds(const view_params& view);

// Writes the request's GIS layer and web map of the views `on_disk` (numbers of `plan`
// over `survey`, in order): the web tiles within `region`, the page with `version` (the
// whole page at versions 0 and 1; from 2 on, a live run's updates, only the tile outlines
// and the version).
// True when there is nothing to write or all was written; false after a message.
bool write_map_outputs(const mosaic_request& request, const view_params& survey,
                       const tile_plan& plan, const std::vector<int64_t>& on_disk,
                       const geo_bounds& region, long version);

}  // namespace aeroquilt
