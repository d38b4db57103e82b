#pragma once
// Builders for camera frames on disk: raw RGB frames (8-byte header, BGR bytes) and
// the counts of thermal frames.

#include <cstdint>
#include <opencv2/core.hpp>
#include <string>
#include <vector>

#include "imaging/frame_loader.h"

namespace aeroquilt::testing {

// Loader options for frames of `width` x `height` pixels.
inline frame_options frames_of_size(int width, int height) {
  frame_options options;
  options.image_width_pixels = width;
  options.image_height_pixels = height;
  return options;
}

// The bytes of a raw RGB frame file: W and H (little-endian int32) then `pixels`.
std::vector<uint8_t> raw_frame_bytes(int32_t width, int32_t height,
                                     const std::vector<uint8_t>& pixels);

// Writes an 8-bit BGR image as a raw RGB frame file with a matching header.
void write_raw_frame(const std::string& path, const cv::Mat& bgr);

// Counts of a thermal frame at `celsius` degrees: (celsius + 273) / 0.04, rounded.
uint16_t thermal_count(double celsius);

}  // namespace aeroquilt::testing
