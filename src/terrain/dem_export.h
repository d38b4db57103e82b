#pragma once
// The colour-coded image of the view DEM and where its pixels lie.

#include <opencv2/core.hpp>
#include <string>

#include "base/local_frame.h"
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

// Rows and columns of the rendered image, as floats (they may be absurd).
void dem_image_size(const view_dem& dem, float pixel_size, float& rows, float& cols);

// True when an image of that size can be made (at least 1 x 1, at most 4e8 pixels).
bool dem_image_size_usable(float rows, float cols);

}  // namespace aeroquilt
