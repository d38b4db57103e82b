#include "imaging/frame_source.h"

#include <opencv2/imgproc.hpp>

namespace aeroquilt {

frame_source::frame_source(image_cache& cache, const projection_options& options)
    : cache_(cache), options_(options) {}

void frame_source::prefetch(const std::string& next, const std::string& after) {
  if (next.empty()) return;
  cache_.start_loader(channel_A, next);
  if (!after.empty()) cache_.start_loader(channel_B, after);
}

cv::Mat frame_source::frame(const std::string& path) {
  cv::Mat image;
  cache_.get_image(path, image);
  if (image.type() != CV_8UC3) return image;
  image.convertTo(image, -1, options_.image_data_multiplier);
  if (options_.convert_to_jet_colormap != 0) cv::applyColorMap(image, image, cv::COLORMAP_JET);
  return image;
}

}  // namespace aeroquilt
