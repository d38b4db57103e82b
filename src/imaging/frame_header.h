#pragma once
// The pixel size a PNG, JPEG, TIFF or BMP file declares in its header, read without
// decoding, so that a frame of the wrong size (or a small file declaring an enormous
// one) is refused before the decoder allocates its pixels.

#include <string>

namespace aeroquilt {

struct frame_header {
  bool known = false;  // false: not one of the four formats, or a header cut short
  int width = 0, height = 0;
  const char* format = "";  // "PNG", "JPEG", "TIFF", "BMP"
};

// Reads the size from the header of the file at `path` (the first image of a TIFF,
// the first frame header of a JPEG).
frame_header read_frame_header(const std::string& path);

}  // namespace aeroquilt
