#pragma once
// The colour-coded image of the view DEM with a KML GroundOverlay that places it.

#include <opencv2/core.hpp>
#include <string>

#include "app/output_files.h"
#include "terrain/dem_sampling.h"

namespace aeroquilt {

// Renders the built view DEM north-up at `pixel_size` metres per pixel (0: one pixel
// per DEM cell; the sign is ignored) as an 8-bit BGR image coloured with the jet map,
// scaled between the lowest and highest heights inside (0, 10000) m.
// Throws fatal_error "DEM not initialized" when no view DEM is built.
cv::Mat render_dem_image(const view_dem& dem, float pixel_size);

// Where the pixel centres of the rendered image lie: row r at lat_end - r * step,
// column k at lon_start + k * step, step in degrees as render_dem_image uses it.
raster_georeference dem_image_georeference(const view_dem& dem, float pixel_size);

// Writes the rendered image to `path` (format from its extension) and a KML beside it,
// named by replacing the first of .JPG .jpg .bmp .tif .png .PNG found in the path with
// .kml. Throws fatal_error "extension not found\n" (after the image is written) when
// the path holds none of them. Every file goes through a temporary name; beside the
// image also its conventional world file and .prj (a ".tif" is a GeoTIFF). An image of
// more than 4e8 pixels is not made: false after a message naming it.
bool export_dem_image(const view_dem& dem, const std::string& path, float pixel_size);

}  // namespace aeroquilt
