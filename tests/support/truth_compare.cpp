#include "support/truth_compare.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <limits>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <stdexcept>
#include <vector>

namespace aeroquilt::testing {

namespace {

constexpr double pi = 3.141592653589793;
constexpr int block_size = 32;
constexpr int block_step = 16;
constexpr int block_pad = 8;  // pixels around a block for sub-pixel moves
constexpr double block_blur_px = 1.0;
constexpr double block_min_valid = 0.98;   // share of a block that must be covered
constexpr double block_min_texture = 6.0;  // grey-level standard deviation of the truth block

double percentile(std::vector<double> values, double fraction) {
  if (values.empty()) return std::numeric_limits<double>::quiet_NaN();
  std::sort(values.begin(), values.end());
  const auto rank = static_cast<std::size_t>(std::ceil(fraction * values.size()));
  return values[std::min(values.size() - 1, rank == 0 ? 0 : rank - 1)];
}

cv::Mat to_grey(const cv::Mat& bgr) {
  cv::Mat grey, out;
  cv::cvtColor(bgr, grey, cv::COLOR_BGR2GRAY);
  grey.convertTo(out, CV_64F);
  return out;
}

// Cubic convolution weights (Keys, a = -0.5) for a fraction t in [0, 1).
void cubic_weights(double t, double w[4]) {
  const auto near = [](double x) { return (1.5 * x - 2.5) * x * x + 1.0; };          // |x| <= 1
  const auto far = [](double x) { return ((-0.5 * x + 2.5) * x - 4.0) * x + 2.0; };  // 1 < |x| < 2
  w[0] = far(1.0 + t);
  w[1] = near(t);
  w[2] = near(1.0 - t);
  w[3] = far(2.0 - t);
}

// out(r, c) = src(r + y0, c + x0) by cubic convolution, edges clamped. Written out
// because warpAffine rounds positions to 1/32 pixel, too coarse for the refinement.
cv::Mat sample_moved(const cv::Mat& src, double x0, double y0, cv::Size size) {
  const double fx0 = std::floor(x0), fy0 = std::floor(y0);
  double wx[4], wy[4];
  cubic_weights(x0 - fx0, wx);
  cubic_weights(y0 - fy0, wy);
  const auto clamp_to = [](int v, int n) { return std::min(n - 1, std::max(0, v)); };
  cv::Mat out(size, CV_64F);
  for (int r = 0; r < size.height; ++r) {
    for (int c = 0; c < size.width; ++c) {
      double sum = 0.0;
      for (int j = 0; j < 4; ++j) {
        const int sr = clamp_to(r + static_cast<int>(fy0) - 1 + j, src.rows);
        double row = 0.0;
        for (int i = 0; i < 4; ++i)
          row += wx[i] * src.at<double>(sr, clamp_to(c + static_cast<int>(fx0) - 1 + i, src.cols));
        sum += wy[j] * row;
      }
      out.at<double>(r, c) = sum;
    }
  }
  return out;
}

// Gauss-Newton refinement of the offset of `mosaic` (a padded block whose block
// starts at `origin`) relative to `truth`: phase correlation's own sub-pixel
// estimate is pulled towards whole pixels. Keeps `start` when it does not converge.
cv::Point2d refine_shift(const cv::Mat& truth, const cv::Mat& mosaic, cv::Point origin,
                         const cv::Mat& weight, cv::Point2d start) {
  const auto sobel = [](const cv::Mat& m, int dx, cv::Mat& out) {
    cv::Sobel(m, out, CV_64F, dx, 1 - dx, 3, 1.0 / 8.0, 0, cv::BORDER_REFLECT);
  };
  cv::Mat truth_dx, truth_dy;
  sobel(truth, 1, truth_dx);
  sobel(truth, 0, truth_dy);
  cv::Point2d shift = start;
  for (int round = 0; round < 20; ++round) {
    if (std::hypot(shift.x, shift.y) > block_pad - 2) return start;
    // moved(p) = mosaic(p + shift): the mosaic block brought back onto the truth.
    cv::Mat moved = sample_moved(mosaic, origin.x + shift.x, origin.y + shift.y, truth.size()),
            moved_dx, moved_dy;
    sobel(moved, 1, moved_dx);
    sobel(moved, 0, moved_dy);
    const cv::Mat gx = 0.5 * (truth_dx + moved_dx), gy = 0.5 * (truth_dy + moved_dy);
    const cv::Mat e = moved - truth;
    const auto dot = [&](const cv::Mat& a, const cv::Mat& b) {
      return cv::sum(weight.mul(a.mul(b)))[0];
    };
    const double gxx = dot(gx, gx), gxy = dot(gx, gy), gyy = dot(gy, gy), bx = dot(gx, e),
                 by = dot(gy, e);
    const double det = gxx * gyy - gxy * gxy;
    if (!(det > 1e-12 * (gxx + gyy) * (gxx + gyy))) return start;
    const cv::Point2d step(-(gyy * bx - gxy * by) / det, -(gxx * by - gxy * bx) / det);
    shift += step;
    if (std::hypot(step.x, step.y) < 1e-3) return shift;
  }
  return start;
}

}  // namespace

cv::Mat render_truth(const survey_truth& truth, double x_min_m, double y_max_m, double pixel_size_m,
                     int width, int height) {
  cv::Mat image(height, width, CV_8UC3);
  cv::parallel_for_(cv::Range(0, height), [&](const cv::Range& rows) {
    for (int r = rows.start; r < rows.end; ++r) {
      for (int c = 0; c < width; ++c)
        image.at<cv::Vec3b>(r, c) = truth.recorded_bgr(x_min_m + c * pixel_size_m,
                                                       y_max_m - r * pixel_size_m, pixel_size_m);
    }
  });
  apply_projection_values(truth.design, image);
  return image;
}

cv::Mat expected_coverage_mask(const survey_truth& truth, double x_min_m, double y_max_m,
                               double pixel_size_m, int width, int height, double margin_px,
                               int min_cameras) {
  cv::Mat mask(height, width, CV_8UC1, cv::Scalar(0));
  const double u_lo = 1.0 + margin_px, u_hi = truth.design.image_width - margin_px;
  const double v_lo = 1.0 + margin_px, v_hi = truth.design.image_height - margin_px;
  const int cameras = static_cast<int>(truth.cameras.size());
  cv::parallel_for_(cv::Range(0, height), [&](const cv::Range& rows) {
    for (int r = rows.start; r < rows.end; ++r) {
      for (int c = 0; c < width; ++c) {
        local_point p{x_min_m + c * pixel_size_m, y_max_m - r * pixel_size_m, 0.0};
        if (truth.design.use_dem) p.z_m = truth.terrain_height_local_m(p.x_m, p.y_m);
        int seen = 0;
        for (int i = 0; i < cameras; ++i) {
          double u, v;
          if (truth.local_to_pixel(i, p, u, v) && u >= u_lo && u <= u_hi && v >= v_lo &&
              v <= v_hi && ++seen >= min_cameras) {
            mask.at<std::uint8_t>(r, c) = 255;
            break;
          }
        }
      }
    }
  });
  return mask;
}

cv::Mat mosaic_coverage(const cv::Mat& mosaic) {
  if (mosaic.type() == CV_8UC4) {
    cv::Mat alpha;
    cv::extractChannel(mosaic, alpha, 3);
    return alpha > 0;
  }
  if (mosaic.type() != CV_8UC3)
    throw std::invalid_argument("mosaic_coverage: expected 8-bit BGR or BGRA");
  cv::Mat any;
  cv::transform(mosaic, any, cv::Matx13f(1, 1, 1));  // sum of channels, saturating
  return any > 0;
}

truth_stats compare_to_truth(const cv::Mat& mosaic, const cv::Mat& truth, const cv::Mat& mask) {
  CV_Assert(truth.type() == CV_8UC3 && mosaic.size() == truth.size());
  CV_Assert(mask.empty() || (mask.size() == truth.size() && mask.type() == CV_8UC1));

  cv::Mat bgr = mosaic;
  if (mosaic.type() == CV_8UC4) cv::cvtColor(mosaic, bgr, cv::COLOR_BGRA2BGR);
  const cv::Mat region =
      mask.empty() ? cv::Mat(truth.size(), CV_8UC1, cv::Scalar(255)) : (mask != 0);
  const cv::Mat valid = mosaic_coverage(mosaic) & region;

  truth_stats stats;
  const int region_pixels = cv::countNonZero(region);
  const int valid_pixels = cv::countNonZero(valid);
  stats.covered_fraction =
      region_pixels > 0 ? static_cast<double>(valid_pixels) / region_pixels : 0.0;

  // NCC with per-channel means, summed over the channels.
  cv::Mat a, b;
  bgr.convertTo(a, CV_64FC3);
  truth.convertTo(b, CV_64FC3);
  cv::subtract(a, cv::mean(a, valid), a);
  cv::subtract(b, cv::mean(b, valid), b);
  const auto total = [&](const cv::Mat& m) {
    const cv::Scalar mean = cv::mean(m, valid);
    return mean[0] + mean[1] + mean[2];
  };
  const double ab = total(a.mul(b)), aa = total(a.mul(a)), bb = total(b.mul(b));
  stats.ncc = (aa > 0 && bb > 0) ? ab / std::sqrt(aa * bb) : 0.0;

  // Block-wise registration.
  const cv::Mat grey_mosaic = to_grey(bgr), grey_truth = to_grey(truth);
  cv::Mat window;
  cv::createHanningWindow(window, cv::Size(block_size, block_size), CV_64F);
  std::vector<double> lengths, dxs, dys;
  for (int y = 0; y + block_size <= truth.rows; y += block_step) {
    for (int x = 0; x + block_size <= truth.cols; x += block_step) {
      const cv::Rect box(x, y, block_size, block_size);
      const cv::Mat block_valid = valid(box);
      const int n = cv::countNonZero(block_valid);
      if (n < block_min_valid * block_size * block_size) continue;
      cv::Scalar mean, deviation;
      cv::meanStdDev(grey_truth(box), mean, deviation);
      if (deviation[0] < block_min_texture) continue;
      // The block with a border, so that it can be moved by fractions of a pixel.
      const cv::Rect padded_box = cv::Rect(x - block_pad, y - block_pad, block_size + 2 * block_pad,
                                           block_size + 2 * block_pad) &
                                  cv::Rect(0, 0, truth.cols, truth.rows);
      cv::Mat padded_mosaic = grey_mosaic(padded_box).clone(), padded_truth;
      // Holes would dominate the block: fill them with the block's own mean. A light
      // blur keeps aliasing of sharp edges from steering the sub-pixel estimate.
      padded_mosaic.setTo(cv::mean(grey_mosaic(box), block_valid)[0], valid(padded_box) == 0);
      cv::GaussianBlur(padded_mosaic, padded_mosaic, cv::Size(0, 0), block_blur_px, 0,
                       cv::BORDER_REFLECT);
      cv::GaussianBlur(grey_truth(padded_box), padded_truth, cv::Size(0, 0), block_blur_px, 0,
                       cv::BORDER_REFLECT);
      const cv::Rect inner(x - padded_box.x, y - padded_box.y, block_size, block_size);
      const cv::Mat a = padded_truth(inner).clone();
      // phaseCorrelate windows its inputs in place: hand it copies.
      cv::Point2d shift = cv::phaseCorrelate(a.clone(), padded_mosaic(inner).clone(), window);
      shift = refine_shift(a, padded_mosaic, inner.tl(), window, shift);
      dxs.push_back(shift.x);
      dys.push_back(shift.y);
      lengths.push_back(std::hypot(shift.x, shift.y));
    }
  }
  stats.blocks = static_cast<int>(lengths.size());
  stats.median_offset_px = percentile(lengths, 0.5);
  stats.p95_offset_px = percentile(lengths, 0.95);
  stats.median_dx_px = percentile(dxs, 0.5);
  stats.median_dy_px = percentile(dys, 0.5);
  return stats;
}

std::array<double, 6> read_world_file(const std::string& path) {
  std::ifstream in(path);
  std::array<double, 6> w;
  for (double& value : w)
    if (!(in >> value)) throw std::runtime_error("world file " + path + " unreadable or short");
  return w;
}

std::string describe(const truth_stats& stats) {
  char text[256];
  std::snprintf(
      text, sizeof(text),
      "covered %.4f, ncc %.4f, offset median %.3f px p95 %.3f px (dx %.3f, dy %.3f) over %d blocks",
      stats.covered_fraction, stats.ncc, stats.median_offset_px, stats.p95_offset_px,
      stats.median_dx_px, stats.median_dy_px, stats.blocks);
  return text;
}

void view_origin(const survey_truth& truth, const std::string& world_path, double& x_min,
                 double& y_max) {
  const double p = truth.design.output_pixel_size_m, deg = pi / 180.0;
  const std::array<double, 6> world = read_world_file(world_path);
  const double x = (world[4] - truth.centre_longitude_deg) * deg *
                   std::cos(truth.centre_latitude_deg * deg) * truth.radius_east_m;
  const double y = (world[5] - truth.centre_latitude_deg) * deg * truth.radius_north_m;
  x_min = std::round(x / p) * p;
  y_max = std::round(y / p) * p;
}

truth_stats compare_view(const survey_truth& truth, const std::string& image_path,
                         const std::string& world_path, cv::Mat* mosaic_out, int min_cameras) {
  const cv::Mat mosaic = cv::imread(image_path, cv::IMREAD_UNCHANGED);
  EXPECT_FALSE(mosaic.empty()) << image_path;
  if (mosaic_out) *mosaic_out = mosaic;
  if (mosaic.empty()) return {};
  const double p = truth.design.output_pixel_size_m;
  double x_min = 0, y_max = 0;
  view_origin(truth, world_path, x_min, y_max);
  return compare_to_truth(
      mosaic, render_truth(truth, x_min, y_max, p, mosaic.cols, mosaic.rows),
      expected_coverage_mask(truth, x_min, y_max, p, mosaic.cols, mosaic.rows, 2.0, min_cameras));
}

void expect_registered(const truth_stats& stats, const std::string& label) {
  EXPECT_GT(stats.blocks, 10) << label << ": " << describe(stats);
  EXPECT_GT(stats.covered_fraction, 0.97) << label << ": " << describe(stats);
  EXPECT_LT(stats.median_offset_px, 0.25) << label << ": " << describe(stats);
  EXPECT_LT(stats.p95_offset_px, 0.5) << label << ": " << describe(stats);
  EXPECT_GT(stats.ncc, 0.9) << label << ": " << describe(stats);
}

std::vector<tile_file> tile_files(const std::string& out_dir) {
  std::vector<tile_file> tiles;
  const auto name = [&](int i, int j) {
    return out_dir + "mosaic_" + std::to_string(i) + "_" + std::to_string(j);
  };
  for (int i = 0; std::filesystem::exists(name(i, 0) + ".png"); ++i)
    for (int j = 0; std::filesystem::exists(name(i, j) + ".png"); ++j)
      tiles.push_back({name(i, j), i, j});
  return tiles;
}

}  // namespace aeroquilt::testing
