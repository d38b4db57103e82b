#pragma once
// The parts of a mosaic run that spread its tiles over processes: the tile list a
// scheduler splits, and the link index written from the tiles the processes left on
// disk.

#include "app/job.h"
#include "app/mosaic_request.h"

namespace aeroquilt {

// The tile list of the request's mosaic on standard output: the number of tiles alone
// on the first line, then per tile its number (from 0, in the order the pipeline makes
// them), file name and bounds in degrees (west, south, east, north, "%.10f"). A
// one-image mosaic is one tile, number 0. The job is prepared.
void print_tile_list(const mosaic_request& request, mosaic_job& job);

// Writes the link index of the request's mosaic from its tiles present on disk (the
// image and its KML file), in pipeline order: the index a single run writes when every
// tile is there. Returns the number of tiles linked; with none it writes nothing. Takes
// the output lock exclusively (fatal while another run holds it); fatal when the index
// cannot be written.
int write_link_index_from_disk(const mosaic_request& request, mosaic_job& job);

}  // namespace aeroquilt
