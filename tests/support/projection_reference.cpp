#include "support/projection_reference.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace aeroquilt {
namespace {

// The same constants and roundings as kernels/direct_registration.cl.
constexpr float earth_a = 6378137.0f;
constexpr float earth_e = 0.081819190842f;
constexpr float rad_to_deg = 57.295779513082323f;
constexpr std::size_t dem_header_bytes = 28;
constexpr std::size_t dem_node_bytes = 92;

float float_at(const unsigned char* bytes, std::size_t offset) {
  float value;
  std::memcpy(&value, bytes + offset, sizeof(value));
  return value;
}

int32_t int_at(const unsigned char* bytes, std::size_t offset) {
  int32_t value;
  std::memcpy(&value, bytes + offset, sizeof(value));
  return value;
}

// Ground height at local (x, y) from the packed view DEM; false outside its patches.
bool dem_height(float x, float y, const view_params& view, const unsigned char* dem,
                std::size_t dem_size, float ref_lat_deg, float ref_lon_deg, float& z) {
  if (dem == nullptr || dem_size < dem_header_bytes) return false;
  const float lat_start = float_at(dem, 0), lon_start = float_at(dem, 4);
  const float cell_size = float_at(dem, 16);
  const int32_t node_rows = int_at(dem, 20), node_cols = int_at(dem, 24);
  if (!(cell_size > 0.0f) || node_rows < 2 || node_cols < 2) return false;
  if (static_cast<uint64_t>(node_rows) * static_cast<uint64_t>(node_cols) * dem_node_bytes +
          dem_header_bytes >
      dem_size) {
    return false;
  }

  const float phi0 = view.ref_lat_rad;
  const float s = std::sin(phi0);
  const float e2 = earth_e * earth_e;
  const float w = 1.0f - e2 * (s * s);
  const float radius_east = earth_a / std::sqrt(w);
  const float radius_north = earth_a * (1.0f - e2) / w;

  const float lat_from_start = (ref_lat_deg - lat_start) + y / radius_north * rad_to_deg;
  const float lon_from_start =
      (ref_lon_deg - lon_start) + x / (std::cos(phi0) * radius_east) * rad_to_deg;
  const float ti = lat_from_start / cell_size;
  const float tj = lon_from_start / cell_size;
  if (!(ti >= 0.0f && tj >= 0.0f)) return false;
  const float fi = std::floor(ti), fj = std::floor(tj);
  if (fi > static_cast<float>(node_rows - 2) || fj > static_cast<float>(node_cols - 2)) {
    return false;
  }
  const float u = tj - fj, v = ti - fi;
  const std::size_t node = static_cast<std::size_t>(fi) * static_cast<std::size_t>(node_cols) +
                           static_cast<std::size_t>(fj);
  const unsigned char* coef = dem + dem_header_bytes + node * dem_node_bytes;
  auto c = [&](int k) { return float_at(coef, static_cast<std::size_t>(k) * 4); };
  float height = 0.0f, u_power = 1.0f;
  for (int m = 0; m < 4; ++m) {
    height += u_power *
              (c(4 * m) + c(4 * m + 1) * v + c(4 * m + 2) * (v * v) + c(4 * m + 3) * (v * v * v));
    u_power *= u;
  }
  z = height;
  return true;
}

}  // namespace

void project_window_reference(cv::Mat& output, int r0, int rows, int c0, int cols,
                              const view_params& view, const cv::Mat& image,
                              const unsigned char* dem_bytes, std::size_t dem_size,
                              float ref_lat_deg, float ref_lon_deg) {
  const float* e = view.camera_extrinsic;
  const float* k = view.camera_intrinsic;
  const int width = image.cols, height = image.rows;
  for (int row = std::max(r0, 0); row < r0 + rows && row < std::min(output.rows, view.height);
       ++row) {
    for (int column = std::max(c0, 0);
         column < c0 + cols && column < std::min(output.cols, view.width); ++column) {
      const float x = view.x_min + static_cast<float>(column) * view.pixel_size;
      const float y = view.y_max - static_cast<float>(row) * view.pixel_size;
      float z = 0.0f;
      if (dem_bytes != nullptr &&
          !dem_height(x, y, view, dem_bytes, dem_size, ref_lat_deg, ref_lon_deg, z)) {
        continue;
      }
      const float q0 = e[0] * x + e[1] * y + e[2] * z + e[3];
      const float q1 = e[4] * x + e[5] * y + e[6] * z + e[7];
      const float q2 = e[8] * x + e[9] * y + e[10] * z + e[11];
      if (!(q2 > 0.0f)) continue;
      const float p0 = k[0] * q0 + k[1] * q1 + k[2] * q2;
      const float p1 = k[3] * q0 + k[4] * q1 + k[5] * q2;
      const float p2 = k[6] * q0 + k[7] * q1 + k[8] * q2;
      const float fx = p0 / p2 - 1.0f;
      const float fy = p1 / p2 - 1.0f;
      if (!(fx >= 0.0f && fx <= static_cast<float>(width - 1) && fy >= 0.0f &&
            fy <= static_cast<float>(height - 1))) {
        continue;
      }
      const int x0 = static_cast<int>(fx), y0 = static_cast<int>(fy);
      const int x1 = std::min(x0 + 1, width - 1), y1 = std::min(y0 + 1, height - 1);
      const float ax = fx - static_cast<float>(x0), ay = fy - static_cast<float>(y0);
      const cv::Vec3b p00 = image.at<cv::Vec3b>(y0, x0), p01 = image.at<cv::Vec3b>(y0, x1);
      const cv::Vec3b p10 = image.at<cv::Vec3b>(y1, x0), p11 = image.at<cv::Vec3b>(y1, x1);
      // A black pixel is no data: a sample that reads one is not drawn.
      if (p00 == cv::Vec3b() || p01 == cv::Vec3b() || p10 == cv::Vec3b() || p11 == cv::Vec3b())
        continue;
      cv::Vec3b& out = output.at<cv::Vec3b>(row, column);
      for (int ch = 0; ch < 3; ++ch) {
        const float top =
            (1.0f - ax) * static_cast<float>(p00[ch]) + ax * static_cast<float>(p01[ch]);
        const float bottom =
            (1.0f - ax) * static_cast<float>(p10[ch]) + ax * static_cast<float>(p11[ch]);
        const float value = (1.0f - ay) * top + ay * bottom;
        out[ch] = static_cast<unsigned char>(std::min(255.0f, std::floor(value + 0.5f)));
      }
    }
  }
}

}  // namespace aeroquilt
