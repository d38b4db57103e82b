#pragma once
// What a live run needs before its first frame: a request it can map live, and the
// reference point that fixes its grid before any frame is known.

#include "app/mosaic_request.h"

namespace aeroquilt {

// Fatal (after a message) for a request without the planned area (the sub-view keys),
// without tiles, or with the thermal fixed-pattern average or colour balancing, which
// need the whole flight.
void refuse_unmappable_live_request(const mosaic_request& request);

// The reference point of a live run in degrees: the request's, or the centre of the
// area as the configuration reader reads back the two lines it prints for a batch run.
void live_reference_point(const mosaic_request& request, double& lat_deg, double& lon_deg);

}  // namespace aeroquilt
