#pragma once
// The per-pixel maps of a view, written beside its image as GeoTIFFs on the same grid:
// which flight-log line each pixel came from, and how steeply it was seen.

#include <cstdint>
#include <string>
#include <vector>

#include "base/local_frame.h"
#include "output/output_names.h"

namespace aeroquilt {

class staged_file_set;

// Stages into the view's file set the maps of a width x height view at `image_path`:
// "_source.tif" (flight-log line, 0 none: uint16, uint32 with `wide_source`) when
// `source_map`, "_view_angle.tif" (float32 off-nadir degrees, NaN the nodata value where
// the source is 0) when `angle_map`, placed by `georeference`. `source` holds width x
// height values, and so does `angle_deg` with `angle_map`, already NaN where the source
// is 0 (as the renderer's planes hold it). False when staging failed (the set reports it
// when committed).
bool stage_quality_maps(staged_file_set& files, const std::string& image_path, int width,
                        int height, const uint32_t* source, const float* angle_deg,
                        const raster_georeference& georeference, bool source_map, bool angle_map,
                        bool wide_source);

}  // namespace aeroquilt
