#pragma once
// The pixel size an image file declares in its header, read without decoding (PNG, JPEG,
// TIFF and BMP here, any other format through GDAL), so that a frame of the wrong size (or
// a small file declaring an enormous one) is refused before the decoder allocates its
// pixels.

#include <string>

namespace aeroquilt {

struct frame_header {
  bool known = false;  // false: no header that gives a size
  int width = 0, height = 0;
  const char* format = "";  // "PNG", "JPEG", "TIFF", "BMP", or GDAL's driver name
};

// Reads the size from the header of the file at `path` (the first image of a TIFF,
// the first frame header of a JPEG).
frame_header read_frame_header(const std::string& path);

}  // namespace aeroquilt
