#include "support/image_builder.h"

#include <cmath>
#include <opencv2/imgcodecs.hpp>
#include <stdexcept>

#include "support/scratch.h"

namespace aeroquilt::testing {

std::vector<uint8_t> raw_frame_bytes(int32_t width, int32_t height,
                                     const std::vector<uint8_t>& pixels) {
  std::vector<uint8_t> bytes;
  for (int32_t value : {width, height}) {
    const uint32_t bits = static_cast<uint32_t>(value);
    for (int shift = 0; shift < 32; shift += 8)
      bytes.push_back(static_cast<uint8_t>(bits >> shift));
  }
  bytes.insert(bytes.end(), pixels.begin(), pixels.end());
  return bytes;
}

void write_raw_frame(const std::string& path, const cv::Mat& bgr) {
  if (bgr.type() != CV_8UC3 || !bgr.isContinuous()) throw std::invalid_argument("need BGR bytes");
  const std::vector<uint8_t> pixels(bgr.data, bgr.data + bgr.total() * 3);
  const std::vector<uint8_t> bytes = raw_frame_bytes(bgr.cols, bgr.rows, pixels);
  write_binary_file(path, bytes.data(), bytes.size());
}

uint16_t thermal_count(double celsius) {
  return static_cast<uint16_t>(std::lround((celsius + 273.0) / 0.04));
}

}  // namespace aeroquilt::testing

#if defined(__SANITIZE_THREAD__)
// The image codecs initialise GDAL, whose own global mutexes are taken in both
// orders on one thread; that report is about the library, not about our threads.
extern "C" const char* __tsan_default_suppressions() { return "deadlock:libgdal.so\n"; }
#endif
