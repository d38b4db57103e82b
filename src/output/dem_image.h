#pragma once
// The DEM image file of a survey with its KML GroundOverlay and georeferencing.

#include <string>

#include "terrain/dem_export.h"

namespace aeroquilt {

// Writes the rendered image to `path` (format from its extension) and a KML beside it,
// named by replacing the first of .JPG .jpg .bmp .tif .png .PNG found in the path with
// .kml. Throws fatal_error "extension not found\n" (after the image is written) when
// the path holds none of them. Every file goes through a temporary name; beside the
// image also its conventional world file and .prj (a ".tif" is a GeoTIFF). An image of
// more than 4e8 pixels is not made: false after a message naming it.
bool export_dem_image(const view_dem& dem, const std::string& path, float pixel_size);

}  // namespace aeroquilt
