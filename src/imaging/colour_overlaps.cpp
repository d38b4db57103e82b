#include "imaging/colour_overlaps.h"

#include <algorithm>
#include <cmath>
#include <deque>
#include <future>
#include <limits>
#include <thread>

namespace aeroquilt {
namespace {

// A channel this bright may be clipped: it no longer follows the exposure.
constexpr float clipped_level = 250.0f;

// One frame's projection, ground point to pixel, as plain numbers for the sampling loop:
// the camera model's pixel_to_ray inverted, K0^-1 Kx [A^T | -A^T C] (K0 is its own inverse).
struct frame_camera {
  double p[12];  // 3 x 4, row-major: homogeneous local point to homogeneous (u, v)
  double x_min = 0, x_max = 0, y_min = 0, y_max = 0;  // footprint box, local metres
};

frame_camera camera_of(const image_geometry& g) {
  frame_camera cam;
  const arma::mat projection = g.pixel_axes * g.focal_matrix * g.world_to_camera.rows(0, 2);
  for (int row = 0; row < 3; ++row)
    for (int column = 0; column < 4; ++column) cam.p[4 * row + column] = projection(row, column);
  cam.x_min = cam.y_min = std::numeric_limits<double>::infinity();
  cam.x_max = cam.y_max = -std::numeric_limits<double>::infinity();
  for (arma::uword k = 0; k < g.footprint_corners.n_rows && g.footprint_corners.n_cols >= 2; ++k) {
    const double x = g.footprint_corners(k, 0), y = g.footprint_corners(k, 1);
    if (!std::isfinite(x) || !std::isfinite(y)) continue;
    cam.x_min = std::min(cam.x_min, x);
    cam.x_max = std::max(cam.x_max, x);
    cam.y_min = std::min(cam.y_min, y);
    cam.y_max = std::max(cam.y_max, y);
  }
  // Over relief the footprint's sides bulge past its corners.
  const double margin = 0.1 * std::max(cam.x_max - cam.x_min, cam.y_max - cam.y_min);
  cam.x_min -= margin;
  cam.x_max += margin;
  cam.y_min -= margin;
  cam.y_max += margin;
  return cam;
}

// The pixel (u, v counted from 1, as the camera model has it) less one; false behind the
// camera.
bool ground_to_pixel(const frame_camera& cam, double x, double y, double z, double& column,
                     double& row) {
  const double* p = cam.p;
  const double w = p[8] * x + p[9] * y + p[10] * z + p[11];
  if (!(w > 0)) return false;
  column = (p[0] * x + p[1] * y + p[2] * z + p[3]) / w - 1.0;
  row = (p[4] * x + p[5] * y + p[6] * z + p[7]) / w - 1.0;
  return true;
}

// The 3 x 3 mean about reduced pixel (x, y); false where a pixel is black (no data) or a
// channel clipped, or the box leaves the frame.
bool box_colour(const cv::Mat& reduced, int x, int y, cv::Vec3f& bgr) {
  if (x < 1 || y < 1 || x > reduced.cols - 2 || y > reduced.rows - 2) return false;
  cv::Vec3f total(0, 0, 0);
  for (int dy = -1; dy <= 1; ++dy) {
    const cv::Vec3b* row = reduced.ptr<cv::Vec3b>(y + dy);
    for (int dx = -1; dx <= 1; ++dx) {
      const cv::Vec3b p = row[x + dx];
      if (p == cv::Vec3b(0, 0, 0)) return false;
      for (int c = 0; c < 3; ++c) {
        if (p[c] >= clipped_level) return false;
        total[c] += p[c];
      }
    }
  }
  bgr = total / 9.0f;
  return true;
}

}  // namespace

sample_grid ground_sample_grid(const std::vector<image_geometry>& frames, int per_side,
                               long max_points) {
  sample_grid grid;
  double x_min = std::numeric_limits<double>::infinity(), y_min = x_min;
  double x_max = -x_min, y_max = -x_min;
  std::vector<double> areas;
  for (const image_geometry& g : frames) {
    const arma::mat& f = g.footprint_corners;
    if (f.n_rows < 4 || f.n_cols < 2 || !f.cols(0, 1).is_finite()) continue;
    double area = 0;
    for (arma::uword k = 0; k < 4; ++k) {
      const arma::uword next = (k + 1) % 4;
      area += f(k, 0) * f(next, 1) - f(next, 0) * f(k, 1);
      x_min = std::min(x_min, f(k, 0));
      x_max = std::max(x_max, f(k, 0));
      y_min = std::min(y_min, f(k, 1));
      y_max = std::max(y_max, f(k, 1));
    }
    areas.push_back(std::fabs(area) / 2.0);
  }
  if (areas.empty() || per_side < 1) return grid;
  std::nth_element(areas.begin(), areas.begin() + areas.size() / 2, areas.end());
  double spacing = std::sqrt(areas[areas.size() / 2]) / per_side;
  if (!(spacing > 0) || !std::isfinite(spacing)) return grid;
  const auto points = [&](double s) {
    return (std::floor((x_max - x_min) / s) + 1) * (std::floor((y_max - y_min) / s) + 1);
  };
  while (points(spacing) > static_cast<double>(max_points)) spacing *= 1.25;
  grid.x0_m = x_min;
  grid.y0_m = y_min;
  grid.spacing_m = spacing;
  grid.columns = static_cast<int>(std::floor((x_max - x_min) / spacing)) + 1;
  grid.rows = static_cast<int>(std::floor((y_max - y_min) / spacing)) + 1;
  return grid;
}

overlap_sums measure_overlaps(const std::vector<image_geometry>& frames, const sample_grid& grid,
                              const ground_height_fn& height, const reduced_frame_fn& read,
                              const lens_undistorter& lens) {
  const int count = static_cast<int>(frames.size());
  overlap_sums sums = empty_overlap_sums(count);
  if (count == 0 || grid.columns < 1 || grid.rows < 1) return sums;
  const std::size_t points = static_cast<std::size_t>(grid.columns) * grid.rows;
  std::vector<std::vector<frame_sample>> seen(points);
  std::vector<float> heights(points, 0.0f);
  std::vector<unsigned char> height_known(points, 0);
  const cv::Mat& no_data = lens.no_data();

  // Decoding is most of the time: frames are read ahead on every core.
  const int ahead = static_cast<int>(std::max(2u, std::thread::hardware_concurrency()));
  std::deque<std::future<cv::Mat>> reading;
  int requested = 0;
  for (int k = 0; k < count; ++k) {
    while (requested < count && requested < k + ahead)
      reading.push_back(std::async(std::launch::async, read, requested++));
    const cv::Mat reduced = reading.front().get();
    reading.pop_front();
    const image_geometry& g = frames[static_cast<std::size_t>(k)];
    const int width = static_cast<int>(g.image_width),
              frame_height = static_cast<int>(g.image_height);
    if (reduced.empty() || reduced.type() != CV_8UC3 || width < 1 || frame_height < 1) continue;
    const double scale_x = static_cast<double>(reduced.cols) / width;
    const double scale_y = static_cast<double>(reduced.rows) / frame_height;
    // A frame turned by its orientation tag is not the camera's; the views leave it out.
    if (std::fabs(scale_x - scale_y) > 0.1 * scale_x) continue;
    const frame_camera cam = camera_of(g);
    if (!(cam.x_min <= cam.x_max && cam.y_min <= cam.y_max)) continue;
    const int c0 =
        std::max(0, static_cast<int>(std::ceil((cam.x_min - grid.x0_m) / grid.spacing_m)));
    const int c1 = std::min(grid.columns - 1,
                            static_cast<int>(std::floor((cam.x_max - grid.x0_m) / grid.spacing_m)));
    const int r0 =
        std::max(0, static_cast<int>(std::ceil((cam.y_min - grid.y0_m) / grid.spacing_m)));
    const int r1 = std::min(grid.rows - 1,
                            static_cast<int>(std::floor((cam.y_max - grid.y0_m) / grid.spacing_m)));
    for (int r = r0; r <= r1; ++r) {
      for (int c = c0; c <= c1; ++c) {
        const std::size_t point = static_cast<std::size_t>(r) * grid.columns + c;
        const double x = grid.x0_m + c * grid.spacing_m, y = grid.y0_m + r * grid.spacing_m;
        if (!height_known[point]) {
          heights[point] = static_cast<float>(height(x, y));
          height_known[point] = 1;
        }
        if (!std::isfinite(heights[point])) continue;
        double column = 0, row = 0;
        if (!ground_to_pixel(cam, x, y, heights[point], column, row)) continue;
        if (!(column >= 0 && column <= width - 1 && row >= 0 && row <= frame_height - 1)) continue;
        // The pixel of the frame as read, before its lens resampling.
        double source_x = column, source_y = row;
        if (lens.active()) {
          const int ideal_x = static_cast<int>(std::lround(column));
          const int ideal_y = static_cast<int>(std::lround(row));
          if (no_data.at<uchar>(ideal_y, ideal_x) != 0) continue;
          const cv::Point2f source = lens.source_point(ideal_x, ideal_y);
          source_x = source.x;
          source_y = source.y;
        }
        const int reduced_x = static_cast<int>(std::lround((source_x + 0.5) * scale_x - 0.5));
        const int reduced_y = static_cast<int>(std::lround((source_y + 0.5) * scale_y - 0.5));
        cv::Vec3f bgr;
        if (!box_colour(reduced, reduced_x, reduced_y, bgr)) continue;
        seen[point].push_back({k, bgr, static_cast<float>(frame_position(column, width)),
                               static_cast<float>(frame_position(row, frame_height))});
      }
    }
  }
  for (const std::vector<frame_sample>& point : seen) add_ground_sample(sums, point);
  return sums;
}

}  // namespace aeroquilt
