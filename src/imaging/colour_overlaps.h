#pragma once
// The overlaps of a survey's frames measured on the ground: every frame read once, reduced,
// and its colour taken at a grid of ground points wherever it sees them.

#include <functional>
#include <opencv2/core.hpp>
#include <vector>

#include "geometry/camera_model.h"
#include "imaging/colour_balance.h"
#include "imaging/lens_correction.h"

namespace aeroquilt {

// The ground samples: a grid of columns x rows points `spacing_m` apart from (x0_m, y0_m),
// local metres, x east and y north.
struct sample_grid {
  double x0_m = 0, y0_m = 0, spacing_m = 0;
  int columns = 0, rows = 0;
};

// The grid over the frames' footprints, spaced so that a median footprint holds about
// `per_side` x `per_side` samples, coarser when the grid would pass `max_points`.
sample_grid ground_sample_grid(const std::vector<image_geometry>& frames, int per_side = 40,
                               long max_points = 250000);

// The ground height (local z, metres) at local (x, y); NaN where there is none.
using ground_height_fn = std::function<double(double x_m, double y_m)>;

// Frame `index` for measuring: 8-bit BGR before the lens resampling, each pixel the mean
// of a block of the configured frame (any whole reduction); empty when it cannot be read.
// Called from several threads at once.
using reduced_frame_fn = std::function<cv::Mat(int index)>;

// Reads every frame once and measures, at each sample of `grid` on the ground, the colour
// of every frame that sees it (inside its pixels, not in the lens resampling's border,
// neither black nor clipped; a 3 x 3 mean of the reduced frame). Frames are read in order,
// as many ahead as there are cores.
overlap_sums measure_overlaps(const std::vector<image_geometry>& frames, const sample_grid& grid,
                              const ground_height_fn& height, const reduced_frame_fn& read,
                              const lens_undistorter& lens);

}  // namespace aeroquilt
