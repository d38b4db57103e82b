#include "imaging/frame_source.h"

#include <opencv2/imgproc.hpp>
#include <utility>

namespace aeroquilt {

frame_source::frame_source(image_cache& cache, const projection_options& options, cv::Mat no_data)
    : cache_(cache), options_(options), no_data_(std::move(no_data)) {}

void frame_source::prefetch(const std::string& next, const std::string& after) {
  // Both channels stay busy: a frame already on its way is not waited for here, only
  // where it is taken.
  if (next.empty()) return;
  cache_.read_ahead(next);
  if (!after.empty()) cache_.read_ahead(after);
}

cv::Mat frame_source::frame(const std::string& path) {
  cv::Mat image;
  cache_.await(path);
  cache_.get_image(path, image);
  if (image.type() != CV_8UC3) return image;
  // The cached pixels are shared: each change goes into new pixels, and a gain of 1
  // (which would only copy them) is skipped.
  if (options_.image_data_multiplier != 1.0) {
    cv::Mat scaled;
    image.convertTo(scaled, -1, options_.image_data_multiplier);
    image = scaled;
  }
  if (options_.convert_to_jet_colormap != 0) {
    cv::Mat mapped;
    cv::applyColorMap(image, mapped, cv::COLORMAP_JET);
    image = mapped;
  }
  if (!no_data_.empty() && no_data_.size() == image.size()) {
    // Last, so that no gain or colour makes it data again.
    cv::Mat marked = image.clone();
    marked.setTo(cv::Scalar::all(0), no_data_);
    image = marked;
  }
  return image;
}

}  // namespace aeroquilt
