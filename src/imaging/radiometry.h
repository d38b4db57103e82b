#pragma once
// Pixel-level radiometry of camera frames: the vignette gain of raw RGB frames,
// the conversion and false-colour rendering of 16-bit thermal frames, and the
// running average of their fixed-pattern error. The state lives in frame_loader.

#include <opencv2/core.hpp>

namespace aeroquilt {

// Radiometric thermal counts to degrees Celsius: count * 0.04 - 273.0, evaluated
// in double and stored as 32-bit floats (same size as `counts`).
cv::Mat thermal_counts_to_celsius(const cv::Mat& counts);

// Colour (blue, green, red) of `celsius` on the display range lo_C..hi_C: black
// below, grey ramp inside, yellow-to-red ramp up to 130 degrees, red above or NaN.
cv::Vec3b temperature_colour(float celsius, double lo_C, double hi_C);

// Renders a 32-bit float temperature matrix into an 8-bit BGR image of its size.
cv::Mat render_temperatures(const cv::Mat& celsius, double lo_C, double hi_C);

// One step of the running average of mean-removed frames with weight 1/n:
// average <- average (n-1)/n + (celsius - mean_C)/n, initialised from the first
// frame. Returns false, leaving `average` untouched, when the sizes differ.
bool update_average_error(cv::Mat& average, const cv::Mat& celsius, double mean_C, double n);

// Vignette gain at normalised radius rho (0 at the frame centre, 1 at a corner),
// before the multiplier: the cubic polynomial in double, rounded to single.
float vignette_gain(double rho);

// Multiplies every pixel (column x, row y) of an 8-bit BGR frame by table(x, y),
// each channel truncated toward zero and clamped to 0..255. `table` is float,
// frame columns x frame rows.
void apply_vignette(cv::Mat& frame, const cv::Mat& table);

// The image plus 1 in each of its three channels (saturating); empty stays empty.
// Keeps projected pixels apart from the all-zero background of a view. Adds in place
// when `image` holds the only reference to its pixels.
cv::Mat add_projection_offset(cv::Mat image);

}  // namespace aeroquilt
