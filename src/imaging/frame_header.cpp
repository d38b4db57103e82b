#include "imaging/frame_header.h"

#include <cpl_error.h>
#include <gdal.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <vector>

#include "terrain/gdal_setup.h"

namespace aeroquilt {
namespace {

uint32_t big_endian(const unsigned char* b, int bytes) {
  uint32_t value = 0;
  for (int k = 0; k < bytes; ++k) value = (value << 8) | b[k];
  return value;
}

uint32_t little_endian(const unsigned char* b, int bytes) {
  uint32_t value = 0;
  for (int k = bytes - 1; k >= 0; --k) value = (value << 8) | b[k];
  return value;
}

bool read_at(std::ifstream& file, uint64_t offset, unsigned char* out, std::size_t count) {
  file.clear();
  file.seekg(static_cast<std::streamoff>(offset));
  return static_cast<bool>(
      file.read(reinterpret_cast<char*>(out), static_cast<std::streamsize>(count)));
}

frame_header sized(const char* format, uint32_t width, uint32_t height) {
  frame_header header;
  // Beyond int, the size is as good as unknown; the decoder's own limits then apply.
  if (width > 0x7fffffffu || height > 0x7fffffffu) return header;
  header.known = true;
  header.format = format;
  header.width = static_cast<int>(width);
  header.height = static_cast<int>(height);
  return header;
}

// SOFn marker segments (not DHT C4, JPG C8, DAC CC) hold height then width.
frame_header jpeg_header(std::ifstream& file) {
  uint64_t offset = 2;
  unsigned char segment[9];
  for (int markers = 0; markers < 1000; ++markers) {
    if (!read_at(file, offset, segment, 4)) return {};
    if (segment[0] != 0xFF) return {};
    const unsigned char marker = segment[1];
    if (marker == 0xFF) {  // fill byte
      ++offset;
      continue;
    }
    const uint32_t length = big_endian(segment + 2, 2);
    if (marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC) {
      if (!read_at(file, offset, segment, 9)) return {};
      return sized("JPEG", big_endian(segment + 7, 2), big_endian(segment + 5, 2));
    }
    if (length < 2) return {};
    offset += 2 + length;
  }
  return {};
}

frame_header tiff_header(std::ifstream& file, bool little) {
  const auto number = [little](const unsigned char* b, int bytes) {
    return little ? little_endian(b, bytes) : big_endian(b, bytes);
  };
  unsigned char bytes[12];
  if (!read_at(file, 4, bytes, 4)) return {};
  const uint64_t directory = number(bytes, 4);
  if (!read_at(file, directory, bytes, 2)) return {};
  const uint32_t entries = number(bytes, 2);
  uint32_t width = 0, height = 0;
  for (uint32_t k = 0; k < entries && k < 4096; ++k) {
    if (!read_at(file, directory + 2 + 12 * k, bytes, 12)) return {};
    const uint32_t tag = number(bytes, 2);
    const uint32_t type = number(bytes + 2, 2);
    const uint32_t value =
        type == 3 ? number(bytes + 8, 2) : number(bytes + 8, 4);  // SHORT or LONG
    if (tag == 256) width = value;
    if (tag == 257) height = value;
  }
  if (width == 0 || height == 0) return {};
  return sized("TIFF", width, height);
}

// Any other format the image library may read (WebP, JPEG 2000, PNM, ...): GDAL reads its
// size from the header without decoding the pixels.
frame_header library_header(const std::string& path) {
  register_gdal_drivers();
  CPLPushErrorHandler(CPLQuietErrorHandler);
  GDALDatasetH dataset = GDALOpenEx(path.c_str(), GDAL_OF_RASTER | GDAL_OF_READONLY,
                                    nullptr, nullptr, nullptr);
  CPLPopErrorHandler();
  if (dataset == nullptr) return {};
  const int width = GDALGetRasterXSize(dataset), height = GDALGetRasterYSize(dataset);
  // The driver's name lives as long as the driver, registered for the whole process.
  const char* format = GDALGetDriverShortName(GDALGetDatasetDriver(dataset));
  GDALClose(dataset);
  if (width <= 0 || height <= 0) return {};
  return sized(format, static_cast<uint32_t>(width), static_cast<uint32_t>(height));
}

}  // namespace

frame_header read_frame_header(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  unsigned char start[26] = {};
  if (!file.read(reinterpret_cast<char*>(start), sizeof start)) return library_header(path);
  if (std::memcmp(start, "\x89PNG\r\n\x1a\n", 8) == 0 && std::memcmp(start + 12, "IHDR", 4) == 0)
    return sized("PNG", big_endian(start + 16, 4), big_endian(start + 20, 4));
  if (start[0] == 0xFF && start[1] == 0xD8) return jpeg_header(file);
  if (std::memcmp(start, "II*\0", 4) == 0) return tiff_header(file, true);
  if (std::memcmp(start, "MM\0*", 4) == 0) return tiff_header(file, false);
  if (start[0] == 'B' && start[1] == 'M') {
    const int32_t height = static_cast<int32_t>(little_endian(start + 22, 4));
    return sized("BMP", little_endian(start + 18, 4),
                 static_cast<uint32_t>(height < 0 ? -static_cast<int64_t>(height) : height));
  }
  file.close();
  return library_header(path);
}

}  // namespace aeroquilt
