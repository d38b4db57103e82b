// Reading camera frames and the corrections applied while loading: raw RGB frames
// with the vignette table, 16-bit thermal frames with the running average of their
// fixed-pattern error, and every other image file as decoded.

#include "imaging/frame_loader.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <new>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "base/console.h"
#include "imaging/frame_header.h"
#include "imaging/jpeg_frame.h"
#include "imaging/radiometry.h"

namespace aeroquilt {
namespace {

int32_t little_endian_int32(const unsigned char* bytes) {
  const uint32_t value = static_cast<uint32_t>(bytes[0]) | (static_cast<uint32_t>(bytes[1]) << 8) |
                         (static_cast<uint32_t>(bytes[2]) << 16) |
                         (static_cast<uint32_t>(bytes[3]) << 24);
  return static_cast<int32_t>(value);
}

bool names_raw_rgb_frame(const std::string& name) {
  return name.find("rgb") != std::string::npos || name.find("RGB") != std::string::npos;
}

// A raw frame that fails says why it was read as one: the rule is by name alone, and
// a folder or file name holding "rgb" sends any image to the raw reader.
void report_raw_failure(const std::string& name, const char* reason) {
  // One call, so that another thread's message cannot come between the two lines.
  console_printf(
      "failed read %s\n%s (read as a raw RGB frame because the path holds \"rgb\" or \"RGB\")\n",
      name.c_str(), reason);
}

}  // namespace

frame_loader::frame_loader(const frame_options& frame) { set_options(frame); }

void frame_loader::set_options(const frame_options& frame) {
  options = frame;
  lens = lens_undistorter(frame.lens, frame.image_width_pixels, frame.image_height_pixels);
}

cv::Mat frame_loader::load_image(const std::string& name) {
  cv::Mat frame = load_uncorrected(name);
  if (lens.active() && !frame.empty()) {
    if (frame.size() != lens.frame_size()) {
      console_printf("%s is %d x %d, the configured frame %d x %d: lens not corrected\n",
                     name.c_str(), frame.cols, frame.rows, lens.frame_size().width,
                     lens.frame_size().height);
    } else {
      frame = lens.apply(frame);
    }
  }
  const auto gains = colour_gains.find(name);
  if (gains != colour_gains.end() && !frame.empty()) apply_colour_gain(frame, gains->second);
  return frame;
}

cv::Mat frame_loader::load_reduced(const std::string& name, int reduction) {
  // The decoder's scaling skips most of the work of a full decode.
  if (reduction > 1 && !names_raw_rgb_frame(name) && options.use_16bit_image_input == 0) {
    if (!header_fits(name)) return cv::Mat();
    cv::Mat reduced = decode_jpeg_bgr(name, reduction);
    if (!reduced.empty()) return reduced;
  }
  const cv::Mat frame = load_uncorrected(name);
  if (frame.empty() || reduction <= 1) return frame;
  cv::Mat reduced;
  cv::resize(frame, reduced,
             cv::Size((frame.cols + reduction - 1) / reduction,
                      (frame.rows + reduction - 1) / reduction),
             0, 0, cv::INTER_AREA);
  return reduced;
}

bool frame_loader::header_fits(const std::string& name) const {
  const int width = options.image_width_pixels, height = options.image_height_pixels;
  if (width <= 0 || height <= 0) return true;
  const frame_header header = read_frame_header(name);
  if (!header.known) {
    // A decoder handed a file of unknown size may allocate whatever the file declares.
    console_printf("failed read %s\nno image header that gives the frame's size: not decoded\n",
                   name.c_str());
    return false;
  }
  if (header.width == width && header.height == height) return true;
  // A JPEG may be turned by its orientation tag when decoded.
  const bool turned =
      std::strcmp(header.format, "JPEG") == 0 && header.width == height && header.height == width;
  if (turned) return true;
  // Each failure in one call: frames load on three threads, and another's message must
  // not come between the two lines.
  console_printf(
      "failed read %s\n%s header gives %d x %d pixels, the camera's frame is %d x %d: "
      "not decoded\n",
      name.c_str(), header.format, header.width, header.height, width, height);
  return false;
}

cv::Mat frame_loader::load_uncorrected(const std::string& name) {
  try {
    if (names_raw_rgb_frame(name)) return load_raw_rgb(name);
    // Checked before decoding: a small file can declare a frame of gigabytes.
    if (!header_fits(name)) return cv::Mat();
    if (options.use_16bit_image_input != 0) return load_thermal(name);
    cv::Mat frame = decode_jpeg_bgr(name);
    return frame.empty() ? cv::imread(name, cv::IMREAD_COLOR) : frame;
  } catch (const cv::Exception& error) {
    // A file the decoder chokes on is one failed image, never the end of the run.
    console_printf("failed read %s\nimage decoder error: %s\n", name.c_str(), error.what());
  } catch (const std::bad_alloc&) {
    console_printf("failed read %s\nout of memory while loading the image\n", name.c_str());
  }
  return cv::Mat();
}

cv::Mat frame_loader::load_raw_rgb(const std::string& name) {
  std::ifstream file(name, std::ios::binary);
  if (!file) {
    console_printf("failed read %s\n", name.c_str());
    return cv::Mat();
  }
  unsigned char header[8];
  if (!file.read(reinterpret_cast<char*>(header), sizeof header)) {
    report_raw_failure(name, "raw frame header is incomplete");
    return cv::Mat();
  }
  const int32_t width = little_endian_int32(header);
  const int32_t height = little_endian_int32(header + 4);
  char reason[160];
  if (width <= 0 || height <= 0) {
    std::snprintf(reason, sizeof reason, "raw frame header gives an invalid size %d x %d", width,
                  height);
    report_raw_failure(name, reason);
    return cv::Mat();
  }
  // The vignette table and the GPU image buffer are sized from the configuration.
  if (width != options.image_width_pixels || height != options.image_height_pixels) {
    std::snprintf(reason, sizeof reason,
                  "raw frame is %d x %d pixels, the configured frame is %d x %d", width, height,
                  options.image_width_pixels, options.image_height_pixels);
    report_raw_failure(name, reason);
    return cv::Mat();
  }
  cv::Mat frame(height, width, CV_8UC3);
  const std::streamsize pixel_bytes = static_cast<std::streamsize>(width) * height * 3;
  file.read(reinterpret_cast<char*>(frame.data), pixel_bytes);
  if (file.gcount() != pixel_bytes) {
    char reason[160];
    std::snprintf(reason, sizeof reason, "raw frame is truncated: %lld of %lld pixel bytes",
                  static_cast<long long>(file.gcount()), static_cast<long long>(pixel_bytes));
    report_raw_failure(name, reason);
    return cv::Mat();
  }
  if (!vignette_ready) return frame;
  if (vignette_table.type() != CV_32FC1 || vignette_table.rows != width ||
      vignette_table.cols != height) {
    console_printf("vignette table %d x %d does not fit the frame, %s not corrected\n",
                   vignette_table.rows, vignette_table.cols, name.c_str());
    return frame;
  }
  apply_vignette(frame, vignette_table);
  return frame;
}

cv::Mat frame_loader::load_thermal(const std::string& name) {
  const cv::Mat counts = cv::imread(name, cv::IMREAD_ANYDEPTH);
  if (counts.rows == 0) {
    console_printf("failed read %s\n", name.c_str());
    return cv::Mat();
  }
  // 8-bit values taken as radiometric counts are all far below 0 degrees C: black.
  if (counts.depth() == CV_8U || counts.depth() == CV_8S) {
    console_printf(
        "failed read %s\nthermal frame is 8-bit, 16-bit radiometric counts expected "
        "(use_16bit_image_input is 1): left out\n",
        name.c_str());
    return cv::Mat();
  }
  cv::Mat celsius = thermal_counts_to_celsius(counts);

  const int average_length = options.do_average_image_error_removal;
  if (average_length > 0) {
    const double n = average_length;
    const double mean_C = cv::mean(celsius)[0];
    bool corrected = false;
    cv::Size average_size;
    {
      std::lock_guard<std::mutex> lock(average_mutex);
      corrected = update_average_error(average_error_frame, celsius, mean_C, n);
      if (corrected) {
        cv::subtract(celsius, average_error_frame, celsius);
      } else {
        average_size = average_error_frame.size();
      }
    }
    if (!corrected) {
      console_printf("thermal frame %s is %d x %d, the average frame %d x %d: not corrected\n",
                     name.c_str(), celsius.cols, celsius.rows, average_size.width,
                     average_size.height);
    }
  }
  return render_temperatures(celsius, options.tau_set_min_temp, options.tau_set_max_temp);
}

void compute_average_frame_error(frame_loader& loader, const std::vector<std::string>& paths,
                                 int average_length) {
  if (average_length < 1) return;
  const std::size_t count = std::min(static_cast<std::size_t>(average_length), paths.size());
  // Loaded for their contribution to the running average; the frames are not kept.
  for (std::size_t k = 0; k < count; ++k) loader.load_image(paths[k]);
}

void build_vignette_table(frame_loader& loader, double multiplier) {
  const double width = loader.options.image_width_pixels;
  const double height = loader.options.image_height_pixels;
  if (width <= 0.0 || height <= 0.0) {
    loader.vignette_table.release();
    loader.vignette_ready = true;
    return;
  }
  loader.vignette_table.create(loader.options.image_width_pixels,
                              loader.options.image_height_pixels, CV_32FC1);
  const double half_diagonal =
      std::sqrt((width * 0.5) * (width * 0.5) + (height * 0.5) * (height * 0.5));
  for (int x = 0; x < width; ++x) {
    float* row = loader.vignette_table.ptr<float>(x);
    for (int y = 0; y < height; ++y) {
      const double dx = x - width * 0.5;
      const double dy = y - height * 0.5;
      const double rho = std::sqrt(dx * dx + dy * dy) / half_diagonal;
      row[y] = static_cast<float>(static_cast<double>(vignette_gain(rho)) *
                                  multiplier);
    }
  }
  loader.vignette_ready = true;
}

}  // namespace aeroquilt
