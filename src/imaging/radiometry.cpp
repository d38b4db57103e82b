// Image loading and the radiometric corrections of image_cache: raw RGB frames
// with the vignette table, 16-bit thermal frames with the running average of
// their fixed-pattern error, and every other image file as decoded.

#include "imaging/radiometry.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <new>
#include <opencv2/imgcodecs.hpp>

#include "base/config.h"
#include "base/console.h"
#include "imaging/image_cache.h"

namespace aeroquilt {
namespace {

// Truncates toward zero into 0..255; NaN gives 0 (never UB on huge products).
uint8_t truncated_byte(double value) {
  if (!(value > 0.0)) return 0;
  if (value >= 255.0) return 255;
  return static_cast<uint8_t>(value);
}

int32_t little_endian_int32(const unsigned char* bytes) {
  const uint32_t value = static_cast<uint32_t>(bytes[0]) | (static_cast<uint32_t>(bytes[1]) << 8) |
                         (static_cast<uint32_t>(bytes[2]) << 16) |
                         (static_cast<uint32_t>(bytes[3]) << 24);
  return static_cast<int32_t>(value);
}

bool names_raw_rgb_frame(const std::string& name) {
  return name.find("rgb") != std::string::npos || name.find("RGB") != std::string::npos;
}

}  // namespace

cv::Mat thermal_counts_to_celsius(const cv::Mat& counts) {
  cv::Mat celsius_double;
  counts.convertTo(celsius_double, CV_64F, 0.04, -273.0);
  cv::Mat celsius;
  celsius_double.convertTo(celsius, CV_32F);
  return celsius;
}

cv::Vec3b temperature_colour(float celsius, double lo_C, double hi_C) {
  const double t = celsius;
  if (lo_C > t) return cv::Vec3b(0, 0, 0);
  if (lo_C <= t && t <= hi_C) {
    const float f = static_cast<float>((t - lo_C) / (hi_C - lo_C));
    const uint8_t g = truncated_byte(255.0 * f);
    return cv::Vec3b(g, g, g);
  }
  if (t > hi_C && celsius < 130.0f) {
    const float v = static_cast<float>((t - hi_C) / (130.0 - hi_C));
    return cv::Vec3b(0, truncated_byte(255.0 * (1.0 - v)), 255);
  }
  return cv::Vec3b(0, 0, 255);
}

cv::Mat render_temperatures(const cv::Mat& celsius, double lo_C, double hi_C) {
  CV_Assert(celsius.type() == CV_32FC1);
  cv::Mat image(celsius.rows, celsius.cols, CV_8UC3);
  for (int row = 0; row < celsius.rows; ++row) {
    const float* in = celsius.ptr<float>(row);
    cv::Vec3b* out = image.ptr<cv::Vec3b>(row);
    for (int column = 0; column < celsius.cols; ++column) {
      out[column] = temperature_colour(in[column], lo_C, hi_C);
    }
  }
  return image;
}

bool update_average_error(cv::Mat& average, const cv::Mat& celsius, double mean_C, double n) {
  if (average.empty()) cv::subtract(celsius, cv::Scalar(mean_C), average, cv::noArray(), CV_32F);
  if (average.size() != celsius.size() || average.type() != celsius.type()) return false;
  cv::addWeighted(average, (n - 1.0) / n, celsius, 1.0 / n, -mean_C / n, average, CV_32F);
  return true;
}

float vignette_gain(double rho) {
  return static_cast<float>(1.15005456534306 - 0.308798699686044 * rho + 0.3 * rho * rho +
                            0.710853636415256 * rho * rho * rho);
}

void apply_vignette(cv::Mat& frame, const cv::Mat& table) {
  CV_Assert(frame.type() == CV_8UC3 && table.type() == CV_32FC1);
  CV_Assert(table.rows == frame.cols && table.cols == frame.rows);
  for (int y = 0; y < frame.rows; ++y) {
    uint8_t* pixel = frame.ptr<uint8_t>(y);
    for (int x = 0; x < frame.cols; ++x, pixel += 3) {
      const float gain = table.at<float>(x, y);
      for (int c = 0; c < 3; ++c) pixel[c] = truncated_byte(static_cast<float>(pixel[c]) * gain);
    }
  }
}

cv::Mat add_projection_offset(const cv::Mat& image) {
  if (image.empty()) return cv::Mat();
  cv::Mat offset;
  cv::add(image, cv::Scalar(1, 1, 1, 0), offset);
  return offset;
}

cv::Mat image_cache::load_image(const std::string& name) {
  try {
    if (names_raw_rgb_frame(name)) return load_raw_rgb(name);
    if (g_config.use_16bit_image_input != 0) return load_thermal(name);
    return cv::imread(name, cv::IMREAD_COLOR);
  } catch (const cv::Exception& error) {
    // A file the decoder chokes on is one failed image, never the end of the run.
    console_printf("failed read %s\n", name.c_str());
    console_printf("image decoder error: %s\n", error.what());
  } catch (const std::bad_alloc&) {
    console_printf("failed read %s\n", name.c_str());
    console_printf("out of memory while loading the image\n");
  }
  return cv::Mat();
}

cv::Mat image_cache::load_raw_rgb(const std::string& name) {
  std::ifstream file(name, std::ios::binary);
  if (!file) {
    console_printf("failed read %s\n", name.c_str());
    return cv::Mat();
  }
  unsigned char header[8];
  if (!file.read(reinterpret_cast<char*>(header), sizeof header)) {
    console_printf("failed read %s\n", name.c_str());
    console_printf("raw frame header is incomplete\n");
    return cv::Mat();
  }
  const int32_t width = little_endian_int32(header);
  const int32_t height = little_endian_int32(header + 4);
  if (width <= 0 || height <= 0) {
    console_printf("failed read %s\n", name.c_str());
    console_printf("raw frame header gives an invalid size %d x %d\n", width, height);
    return cv::Mat();
  }
  // The vignette table and the GPU image buffer are sized from the configuration.
  if (width != g_config.image_width_pixels || height != g_config.image_height_pixels) {
    console_printf("failed read %s\n", name.c_str());
    console_printf("raw frame is %d x %d pixels, the configured frame is %d x %d\n", width, height,
                   g_config.image_width_pixels, g_config.image_height_pixels);
    return cv::Mat();
  }
  cv::Mat frame(height, width, CV_8UC3);
  const std::streamsize pixel_bytes = static_cast<std::streamsize>(width) * height * 3;
  file.read(reinterpret_cast<char*>(frame.data), pixel_bytes);
  if (file.gcount() != pixel_bytes) {
    console_printf("failed read %s\n", name.c_str());
    console_printf("raw frame is truncated: %lld of %lld pixel bytes\n",
                   static_cast<long long>(file.gcount()), static_cast<long long>(pixel_bytes));
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

cv::Mat image_cache::load_thermal(const std::string& name) {
  const cv::Mat counts = cv::imread(name, cv::IMREAD_ANYDEPTH);
  if (counts.rows == 0) {
    console_printf("failed read %s\n", name.c_str());
    return cv::Mat();
  }
  cv::Mat celsius = thermal_counts_to_celsius(counts);

  const int average_length = g_config.do_average_image_error_removal;
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
  return render_temperatures(celsius, g_config.tau_set_min_temp, g_config.tau_set_max_temp);
}

void compute_average_frame_error(image_cache& cache, const std::vector<std::string>& paths,
                                 int average_length) {
  if (average_length < 1) return;
  const std::size_t count = std::min(static_cast<std::size_t>(average_length), paths.size());
  for (std::size_t k = 0; k < count; ++k) {
    cache.current_image = add_projection_offset(cache.load_image(paths[k]));
  }
}

void build_vignette_table(image_cache& cache, config_params config) {
  const double width = config.image_width_pixels;
  const double height = config.image_height_pixels;
  if (width <= 0.0 || height <= 0.0) {
    cache.vignette_table.release();
    cache.vignette_ready = true;
    return;
  }
  cache.vignette_table.create(config.image_width_pixels, config.image_height_pixels, CV_32FC1);
  const double half_diagonal =
      std::sqrt((width * 0.5) * (width * 0.5) + (height * 0.5) * (height * 0.5));
  for (int x = 0; x < width; ++x) {
    float* row = cache.vignette_table.ptr<float>(x);
    for (int y = 0; y < height; ++y) {
      const double dx = x - width * 0.5;
      const double dy = y - height * 0.5;
      const double rho = std::sqrt(dx * dx + dy * dy) / half_diagonal;
      row[y] = static_cast<float>(static_cast<double>(vignette_gain(rho)) *
                                  config.vingette_removal_multiplier);
    }
  }
  cache.vignette_ready = true;
}

}  // namespace aeroquilt
