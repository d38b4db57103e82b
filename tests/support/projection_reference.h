#pragma once
// A host copy of the per-pixel mapping of the kernels "project_image" and
// "project_image_dem", with the same single-precision operations, so that the
// device's output can be checked pixel by pixel.

#include <cstddef>
#include <cstdint>
#include <opencv2/core.hpp>

#include "terrain/view_params.h"

namespace aeroquilt {

struct projected_pixel {
  bool written = false;  // false: the kernel leaves the output pixel as it was
  unsigned char bgr[3] = {0, 0, 0};
};

// The kernels' result for view pixel (row, column) of `view` with the camera
// matrices in the record and `image` (8-bit BGR, already raised by 1). With
// `dem_bytes` (a packed dem_buffer of `dem_size` bytes) the ground height comes
// from the DEM about the reference point (degrees, single precision); without it
// the ground is z = 0.
projected_pixel project_pixel_reference(int row, int column, const view_params& view,
                                        const cv::Mat& image,
                                        const unsigned char* dem_bytes = nullptr,
                                        std::size_t dem_size = 0, float ref_lat_deg = 0.0f,
                                        float ref_lon_deg = 0.0f);

// Applies project_pixel_reference over rows r0..r0+rows-1 and columns c0..c0+cols-1
// of `output` (a height x width CV_8UC3 view), as one launch would.
void project_window_reference(cv::Mat& output, int r0, int rows, int c0, int cols,
                              const view_params& view, const cv::Mat& image,
                              const unsigned char* dem_bytes = nullptr, std::size_t dem_size = 0,
                              float ref_lat_deg = 0.0f, float ref_lon_deg = 0.0f);

}  // namespace aeroquilt
