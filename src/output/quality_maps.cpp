#include "output/quality_maps.h"

#include <algorithm>
#include <cassert>
#include <opencv2/core.hpp>

#include "output/checked_write.h"

namespace aeroquilt {

bool stage_quality_maps(staged_file_set& files, const std::string& image_path, int width,
                        int height, const std::vector<uint32_t>& source,
                        const std::vector<float>& angle_deg,
                        const raster_georeference& georeference, bool source_map, bool angle_map,
                        bool wide_source) {
  [[maybe_unused]] const std::size_t pixels =
      static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
  // The renderer reads the source plane back for either map, the angles for their own.
  assert(source.size() == pixels && (!angle_map || angle_deg.size() == pixels));
  if (source_map) {
    // 16 bits while every line of the log fits, so that each map of a mosaic has one type.
    const bool wide = wide_source || (!source.empty() &&
                                      *std::max_element(source.begin(), source.end()) > 65535);
    cv::Mat map;
    cv::Mat(height, width, CV_32SC1, const_cast<uint32_t*>(source.data()))
        .convertTo(map, wide ? CV_32S : CV_16U);
    if (!files.stage_image(quality_map_path(image_path, "_source"), map, {}, &georeference))
      return false;
  }
  if (angle_map) {
    // Written from the plane itself: a copy would be a second plane of the view's size.
    const cv::Mat map(height, width, CV_32FC1, const_cast<float*>(angle_deg.data()));
    if (!files.stage_image(quality_map_path(image_path, "_view_angle"), map, {}, &georeference))
      return false;
  }
  return true;
}

}  // namespace aeroquilt
