// Pixel-level radiometry: thermal counts and false colour, the running average of
// the thermal fixed-pattern error, the vignette gain of raw RGB frames.

#include "imaging/radiometry.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace aeroquilt {
namespace {

// Truncates toward zero into 0..255; NaN gives 0 (never UB on huge products).
uint8_t truncated_byte(double value) {
  if (!(value > 0.0)) return 0;
  if (value >= 255.0) return 255;
  return static_cast<uint8_t>(value);
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

cv::Mat add_projection_offset(cv::Mat image) {
  if (image.empty()) return cv::Mat();
  // In place when nothing else holds the pixels (a freshly loaded frame).
  cv::Mat offset = image.u != nullptr && image.u->refcount == 1 ? image : cv::Mat();
  cv::add(image, cv::Scalar(1, 1, 1, 0), offset);
  return offset;
}

}  // namespace aeroquilt
