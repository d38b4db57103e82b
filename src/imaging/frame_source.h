#pragma once
// The corrected camera frames of a run, with every correction in one order: those of
// loading (vignette of raw RGB frames; temperature, fixed-pattern removal and false
// colour of thermal frames; the lens), the +1 offset of the cache, then the display gain
// and the JET colour map, and black where the lens resampling has no data.

#include <cstdint>
#include <opencv2/core.hpp>
#include <string>

#include "imaging/image_cache.h"

namespace aeroquilt {

// What projecting an image takes from the configuration (named after its keys).
struct projection_options {
  double image_data_multiplier = 0;     // display gain of every frame
  int32_t convert_to_jet_colormap = 0;  // JET false colour after the gain
  int32_t USE_DEM = 0;                  // project onto the view DEM, not flat ground
};

class frame_source {
 public:
  // Frames come from `cache`, which must outlive the source. `no_data` (CV_8UC1, 255 where
  // a frame holds no data: the lens resampling's border) is made black in every frame,
  // the kernels' mark of a pixel that never wins.
  frame_source(image_cache& cache, const projection_options& options, cv::Mat no_data = {});

  // Starts the loader channels on the frames that come next (empty: none).
  void prefetch(const std::string& next, const std::string& after);

  // The corrected frame at `path`; empty when it could not be read. A frame that is not
  // 8-bit BGR is returned as read, for the caller to refuse. Its pixels may be the
  // cache's own: read them only.
  cv::Mat frame(const std::string& path);

  // Whether no frame can hold a black pixel, the kernels' mark of no data: cached pixels
  // carry at least 1, a gain of 1 or more keeps them so, and no lens border is marked.
  bool never_black() const { return no_data_.empty() && options_.image_data_multiplier >= 1.0; }

 private:
  image_cache& cache_;
  projection_options options_;
  cv::Mat no_data_;
};

}  // namespace aeroquilt
