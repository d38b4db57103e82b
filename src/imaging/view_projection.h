#pragma once
// Projection of one image of the list into the view being built on the GPU.

#include <vector>

#include "geometry/camera_model.h"
#include "imaging/gpu_context.h"
#include "imaging/frame_source.h"
#include "terrain/dem_sampling.h"
#include "terrain/view_params.h"

namespace aeroquilt {

// The rectangle of view pixels (inclusive) covered by a footprint's bounding box.
struct footprint_window {
  int r0 = 0, r1 = -1, c0 = 0, c1 = -1;
  int rows() const { return r1 - r0 + 1; }
  int cols() const { return c1 - c0 + 1; }
};

// The window of `footprint` (5x3 local corners) in `view`, clamped to the view.
// False when the footprint misses the view.
bool view_window(const arma::mat& footprint, const view_params& view, footprint_window& window);

// Writes image `geometry`'s camera matrices into the record's first 21 floats.
void write_image_matrices(const image_geometry& geometry, view_params& view);

// Projects image `index` into the view: prefetches the next two images in the order the
// caller takes them (`step` +1 or -1), takes the corrected frame, uploads it and launches
// the kernel over its window (onto the view DEM when `use_dem`). 1 when launched, 0 when
// its footprint misses the view or it could not be loaded.
int project_view_image(int index, int step, const std::vector<image_geometry>& geometries,
                       frame_source& frames, gpu_context& gpu, view_params& view,
                       const view_dem& dem, bool use_dem, double ref_lat_deg, double ref_lon_deg);

}  // namespace aeroquilt
