#pragma once
// A host copy of the per-pixel mapping of the kernels "project_image" and
// "project_image_dem", with the same single-precision operations, so that the
// device's output can be checked pixel by pixel.

#include <cstddef>
#include <opencv2/core.hpp>

#include "terrain/view_params.h"

namespace aeroquilt {

// Writes the kernels' result into rows r0..r0+rows-1 and columns c0..c0+cols-1 of
// `output` (a height x width CV_8UC3 view) as one launch would, leaving the pixels the
// kernel leaves. `image` is 8-bit BGR, already raised by 1, seen through the camera
// matrices in `view`. With `dem_bytes` (a packed dem_buffer of `dem_size` bytes) the
// ground height comes from the DEM about the reference point (degrees, single
// precision); without it the ground is z = 0.
void project_window_reference(cv::Mat& output, int r0, int rows, int c0, int cols,
                              const view_params& view, const cv::Mat& image,
                              const unsigned char* dem_bytes = nullptr, std::size_t dem_size = 0,
                              float ref_lat_deg = 0.0f, float ref_lon_deg = 0.0f);

}  // namespace aeroquilt
