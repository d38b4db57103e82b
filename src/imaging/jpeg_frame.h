#pragma once
// Colour JPEG frames decoded straight into blue, green, red rows by libjpeg-turbo.
// The library's generic reader decodes to red, green, blue and swaps every pixel
// afterwards, which costs as much as a third of the decoding itself.

#include <opencv2/core.hpp>
#include <string>
#include <vector>

namespace aeroquilt {

// The frame at `path` as 8-bit BGR, pixel for pixel what cv::imread(path, IMREAD_COLOR)
// gives; empty when this path does not apply (not a JPEG, four components, an EXIF
// orientation that turns the frame, any decoder warning or error, an unreadable file),
// so that the caller decodes it the usual way and reports what that reports. A `reduction`
// of 2, 4 or 8 decodes the frame that many times smaller (the DCT scaled, about block
// means), ceil(width / reduction) x ceil(height / reduction) pixels, for measuring.
cv::Mat decode_jpeg_bgr(const std::string& path, int reduction = 1);
// The same from the file's bytes, already read.
cv::Mat decode_jpeg_bgr(const std::vector<unsigned char>& bytes, int reduction = 1);

}  // namespace aeroquilt
