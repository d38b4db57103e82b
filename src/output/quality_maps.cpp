#include "output/quality_maps.h"

#include <algorithm>
#include <cassert>
#include <opencv2/core.hpp>

#include "output/checked_write.h"

namespace aeroquilt {

bool stage_quality_maps(staged_file_set& files, const std::string& image_path, int width,
                        int height, const uint32_t* source, const float* angle_deg,
                        const raster_georeference& georeference, bool source_map, bool angle_map,
                        bool wide_source) {
  const std::size_t pixels = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
  // The renderer maps the source plane for either map, the angles for their own.
  assert(source != nullptr && (!angle_map || angle_deg != nullptr));
  if (source_map) {
    // 16 bits while every line of the log fits, so that each map of a mosaic has one type.
    const bool wide =
        wide_source || (pixels > 0 && *std::max_element(source, source + pixels) > 65535);
    cv::Mat map;
    cv::Mat(height, width, CV_32SC1, const_cast<uint32_t*>(source))
        .convertTo(map, wide ? CV_32S : CV_16U);
    if (!files.stage_image(quality_map_path(image_path, "_source"), map, {}, &georeference))
      return false;
  }
  if (angle_map) {
    // Written from the plane itself: a copy would be a second plane of the view's size.
    const cv::Mat map(height, width, CV_32FC1, const_cast<float*>(angle_deg));
    if (!files.stage_image(quality_map_path(image_path, "_view_angle"), map, {}, &georeference))
      return false;
  }
  return true;
}

}  // namespace aeroquilt
