#include "imaging/jpeg_frame.h"

#include <unistd.h>

#include <csetjmp>
#include <cstdio>
#include <exiv2/exiv2.hpp>
#include <vector>

// jpeglib.h expects size_t and FILE declared before it.
#include <jpeglib.h>

#include "base/input_file.h"

namespace aeroquilt {
namespace {

struct jpeg_error_state {
  jpeg_error_mgr manager;
  std::jmp_buf jump;
};

[[noreturn]] void jump_out(j_common_ptr info) {
  std::longjmp(reinterpret_cast<jpeg_error_state*>(info->err)->jump, 1);
}

// Warnings are counted, not printed: a frame with any is handed to the generic
// reader, which prints them as it always did.
void keep_quiet(j_common_ptr) {}

// The whole file, when it starts as a JPEG does; other files are left after two bytes.
bool read_jpeg_file(const std::string& path, std::vector<unsigned char>& bytes) {
  std::string reason;
  const int fd = open_regular_file(path, reason);
  if (fd < 0) return false;
  bytes.clear();
  unsigned char chunk[1 << 16];
  bool ok = true;
  for (std::size_t want = 2;; want = sizeof chunk) {
    const ssize_t got = ::read(fd, chunk, want);
    if (got < 0) {
      ok = false;
      break;
    }
    if (got == 0) break;
    bytes.insert(bytes.end(), chunk, chunk + got);
    if (bytes.size() >= 2 && (bytes[0] != 0xFF || bytes[1] != 0xD8)) {
      ok = false;
      break;
    }
  }
  ::close(fd);
  return ok && bytes.size() > 2;
}

// The generic reader turns a frame whose EXIF orientation is 2 to 8; those frames
// go to it.
bool orientation_turns(const jpeg_decompress_struct& info) {
  for (jpeg_saved_marker_ptr m = info.marker_list; m != nullptr; m = m->next) {
    if (m->marker != JPEG_APP0 + 1 || m->data_length < 6 ||
        std::char_traits<char>::compare(reinterpret_cast<const char*>(m->data), "Exif\0\0", 6) != 0)
      continue;
    try {
      Exiv2::ExifData exif;
      Exiv2::ExifParser::decode(exif, m->data + 6, m->data_length - 6);
      const auto tag = exif.findKey(Exiv2::ExifKey("Exif.Image.Orientation"));
      if (tag != exif.end() && tag->count() > 0) {
        const long value = tag->toLong(0);
        if (value >= 2 && value <= 8) return true;
      }
    } catch (...) {
      return true;  // unreadable tags: let the generic reader decide
    }
  }
  return false;
}

struct jpeg_decoder {
  jpeg_decompress_struct info;
  jpeg_error_state error;
};

// Decodes into `image` (allocated here); false on any error, warning or case the
// generic reader treats otherwise. The decoder's state lives in the caller, so that
// nothing of this function is indeterminate after a jump back to its setjmp.
bool decode(jpeg_decoder& d, const std::vector<unsigned char>& bytes, int reduction,
            cv::Mat& image) {
  jpeg_decompress_struct& info = d.info;
  info.err = jpeg_std_error(&d.error.manager);
  d.error.manager.error_exit = jump_out;
  d.error.manager.output_message = keep_quiet;
  jpeg_create_decompress(&info);
  if (setjmp(d.error.jump) != 0) {
    jpeg_destroy_decompress(&info);
    return false;
  }
  jpeg_mem_src(&info, bytes.data(), static_cast<unsigned long>(bytes.size()));
  jpeg_save_markers(&info, JPEG_APP0 + 1, 0xFFFF);
  jpeg_read_header(&info, TRUE);
  if (info.num_components == 4 || orientation_turns(info)) {
    jpeg_destroy_decompress(&info);
    return false;
  }
  info.out_color_space = JCS_EXT_BGR;
  info.scale_num = 1;
  info.scale_denom = static_cast<unsigned int>(reduction);
  jpeg_start_decompress(&info);
  if (info.output_components != 3 || info.output_width > 0x7fffffffu ||
      info.output_height > 0x7fffffffu) {
    jpeg_destroy_decompress(&info);
    return false;
  }
  image.create(static_cast<int>(info.output_height), static_cast<int>(info.output_width), CV_8UC3);
  while (info.output_scanline < info.output_height) {
    JSAMPROW row = image.ptr<unsigned char>(static_cast<int>(info.output_scanline));
    jpeg_read_scanlines(&info, &row, 1);
  }
  jpeg_finish_decompress(&info);
  const bool clean = d.error.manager.num_warnings == 0;
  jpeg_destroy_decompress(&info);
  return clean;
}

}  // namespace

cv::Mat decode_jpeg_bgr(const std::string& path, int reduction) {
  std::vector<unsigned char> bytes;
  if (!read_jpeg_file(path, bytes)) return cv::Mat();
  return decode_jpeg_bgr(bytes, reduction);
}

cv::Mat decode_jpeg_bgr(const std::vector<unsigned char>& bytes, int reduction) {
  if (reduction != 1 && reduction != 2 && reduction != 4 && reduction != 8) return cv::Mat();
  jpeg_decoder decoder;
  cv::Mat image;
  if (!decode(decoder, bytes, reduction, image)) return cv::Mat();
  return image;
}

}  // namespace aeroquilt
