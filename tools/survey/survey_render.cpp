// The survey's ground (texture, hills, temperature) and the frames rendered from it.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>
#include <stdexcept>

#include "survey/survey_internal.h"
#include "survey/synthetic_survey.h"

namespace aeroquilt::testing {

using detail::deg;

namespace {

// Fixed metres-per-degree used to lay out the texture and the hills about their
// anchor; only their shape depends on it, not the survey geometry.
constexpr double texture_m_per_deg_lat = 111132.0;
constexpr double texture_m_per_deg_lon_equator = 111319.49;

// --- Ground texture --------------------------------------------------------

std::uint32_t hash2(std::int64_t x, std::int64_t y, std::uint32_t seed) {
  std::uint64_t h =
      static_cast<std::uint64_t>(x) * 0x9E3779B97F4A7C15ull ^
      (static_cast<std::uint64_t>(y) + 0x632BE59BD9B4E019ull) * 0xC2B2AE3D27D4EB4Full ^
      (static_cast<std::uint64_t>(seed) << 32);
  h ^= h >> 31;
  h *= 0xBF58476D1CE4E5B9ull;
  h ^= h >> 27;
  h *= 0x94D049BB133111EBull;
  h ^= h >> 33;
  return static_cast<std::uint32_t>(h);
}

double unit_hash(std::int64_t x, std::int64_t y, std::uint32_t seed) {
  return (hash2(x, y, seed) >> 8) / 16777216.0;
}

// Smooth value noise in [0, 1) on a lattice of `cell` metres.
double value_noise(double east, double north, double cell, std::uint32_t seed) {
  const double gx = east / cell, gy = north / cell;
  const double fx0 = std::floor(gx), fy0 = std::floor(gy);
  const auto ix = static_cast<std::int64_t>(fx0), iy = static_cast<std::int64_t>(fy0);
  const double fx = gx - fx0, fy = gy - fy0;
  const auto fade = [](double t) { return t * t * t * (t * (t * 6.0 - 15.0) + 10.0); };
  const double sx = fade(fx), sy = fade(fy);
  const double v00 = unit_hash(ix, iy, seed), v10 = unit_hash(ix + 1, iy, seed);
  const double v01 = unit_hash(ix, iy + 1, seed), v11 = unit_hash(ix + 1, iy + 1, seed);
  const double top = v00 + (v10 - v00) * sx;
  const double bottom = v01 + (v11 - v01) * sx;
  return top + (bottom - top) * sy;
}

// Hard-edged discs, one chance per 6 m cell: +-0.35 inside a disc, 0 elsewhere.
double blobs(double east, double north) {
  const double cell = 6.0;
  const double fx0 = std::floor(east / cell), fy0 = std::floor(north / cell);
  const auto ix = static_cast<std::int64_t>(fx0), iy = static_cast<std::int64_t>(fy0);
  if (unit_hash(ix, iy, 101) < 0.45) return 0.0;
  const double radius = 0.8 + 1.4 * unit_hash(ix, iy, 102);
  const double cx = fx0 * cell + radius + (cell - 2 * radius) * unit_hash(ix, iy, 103);
  const double cy = fy0 * cell + radius + (cell - 2 * radius) * unit_hash(ix, iy, 104);
  const double dx = east - cx, dy = north - cy;
  if (dx * dx + dy * dy > radius * radius) return 0.0;
  return unit_hash(ix, iy, 105) < 0.5 ? -0.35 : 0.35;
}

// Two families of straight sharp lines, like field edges and tracks.
double lines(double east, double north) {
  double value = 0.0;
  const double a1 = 20.0 * deg, a2 = 110.0 * deg;
  const double d1 = east * std::cos(a1) + north * std::sin(a1);
  const double d2 = east * std::cos(a2) + north * std::sin(a2);
  const double f1 = d1 / 11.0 - std::floor(d1 / 11.0);
  const double f2 = d2 / 17.0 - std::floor(d2 / 17.0);
  if (f1 < 0.1) value -= 0.3;   // 1.1 m wide dark lines every 11 m
  if (f2 < 0.05) value += 0.3;  // 0.85 m wide bright lines every 17 m
  return value;
}

double clamp01(double v) { return std::min(1.0, std::max(0.0, v)); }

struct hill {
  double east_m, north_m, height_m, sigma_m;
};

// Smooth hills about the texture anchor; heights relative to topo_height.
const hill survey_hills[] = {
    {-60.0, 40.0, 35.0, 70.0}, {70.0, -30.0, 25.0, 55.0},   {10.0, -90.0, 30.0, 80.0},
    {90.0, 80.0, -15.0, 60.0}, {-100.0, -60.0, 20.0, 90.0}, {0.0, 0.0, 8.0, 200.0},
};

// Texture anchor: the nominal centre, so the ground pattern does not move with
// the exact survey centre.
struct anchor_metres {
  double east, north;
};

anchor_metres to_anchor(const survey_design& design, double latitude_deg, double longitude_deg) {
  const double lon_scale =
      texture_m_per_deg_lon_equator * std::cos(design.centre_latitude_deg * deg);
  return {(longitude_deg - design.centre_longitude_deg) * lon_scale,
          (latitude_deg - design.centre_latitude_deg) * texture_m_per_deg_lat};
}

double hills_height(double east, double north) {
  double h = 0.0;
  for (const hill& k : survey_hills) {
    const double dx = east - k.east_m, dy = north - k.north_m;
    h += k.height_m * std::exp(-(dx * dx + dy * dy) / (2.0 * k.sigma_m * k.sigma_m));
  }
  return h;
}

// The grey level the system's thermal reader renders from one count.
std::uint8_t thermal_grey(std::uint16_t count, double low_c, double high_c) {
  const float t = 0.04f * static_cast<float>(count) - 273.0f;
  const double td = t;
  if (low_c > td) return 0;
  if (td <= high_c) {
    const float f = static_cast<float>((td - low_c) / (high_c - low_c));
    return static_cast<std::uint8_t>(std::clamp(static_cast<int>(255.0 * f), 0, 255));
  }
  return 255;  // above the range the system turns red; never produced by the survey
}

std::uint16_t thermal_count(double temperature_c) {
  return static_cast<std::uint16_t>(std::lround((temperature_c + 273.0) / 0.04));
}

}  // namespace

void detail::hills_bounds(double& low, double& high) {
  low = 0.0;
  high = 0.0;
  for (const hill& k : survey_hills) (k.height_m > 0 ? high : low) += k.height_m;
}

// --- survey_truth ground and frames ------------------------------------------

double survey_truth::terrain_height_m(double latitude_deg, double longitude_deg) const {
  if (!design.hills) return 0.0;
  const anchor_metres m = to_anchor(design, latitude_deg, longitude_deg);
  return hills_height(m.east, m.north);
}

double survey_truth::terrain_height_local_m(double x_m, double y_m) const {
  const geo_point g = local_to_geographic(x_m, y_m);
  return terrain_height_m(g.latitude_deg, g.longitude_deg);
}

cv::Vec3d survey_truth::texture_bgr(double latitude_deg, double longitude_deg) const {
  const anchor_metres m = to_anchor(design, latitude_deg, longitude_deg);
  const double e = m.east, n = m.north;
  const double grey = 0.15 * value_noise(e, n, 1.0, 11) + 0.25 * value_noise(e, n, 2.0, 12) +
                      0.25 * value_noise(e, n, 4.0, 13) + 0.2 * value_noise(e, n, 8.0, 14) +
                      0.15 * value_noise(e, n, 16.0, 15) + blobs(e, n) + lines(e, n);
  const double tint_b = value_noise(e, n, 6.0, 21), tint_g = value_noise(e, n, 9.0, 22),
               tint_r = value_noise(e, n, 5.0, 23);
  const auto level = [&](double tint) { return 10.0 + 235.0 * clamp01(0.7 * grey + 0.3 * tint); };
  return {level(tint_b), level(tint_g), level(tint_r)};
}

double survey_truth::ground_temperature_c(double latitude_deg, double longitude_deg) const {
  const cv::Vec3d bgr = texture_bgr(latitude_deg, longitude_deg);
  const double luminance = 0.114 * bgr[0] + 0.587 * bgr[1] + 0.299 * bgr[2];
  const double span = design.thermal_max_c - design.thermal_min_c;
  return design.thermal_min_c + span * (0.05 + 0.9 * luminance / 255.0);
}

cv::Vec3b flat_frame_bgr(int index) {
  const int i = index % 64;
  return cv::Vec3b(static_cast<uchar>(40 + 60 * (i % 4)),
                   static_cast<uchar>(40 + 60 * ((i / 4) % 4)),
                   static_cast<uchar>(40 + 60 * (i / 16)));
}

cv::Mat survey_truth::render_image(int camera) const {
  const int w = design.image_width, h = design.image_height, n = std::max(1, design.supersampling);
  const bool thermal = design.image_format == survey_image_format::thermal16;
  if (design.flat_colour_frames && !thermal)
    return cv::Mat(h, w, CV_8UC3, cv::Scalar(flat_frame_bgr(camera)));
  const double gain = 1.0 + design.exposure_step * ((3 * camera) % 5 - 2) / 2.0;
  cv::Mat image = thermal ? cv::Mat(h, w, CV_16UC1) : cv::Mat(h, w, CV_8UC3);
  // A distorted frame's sample at (u, v) sees the ray of the ideal pixel that OpenCV's
  // inverse distortion gives; ideal pixels have their principal point at (W/2, H/2).
  const double f = design.focal_length_px;
  const cv::Matx33d lens_matrix(f, 0, w / 2.0 - 1.0 + design.principal_offset_x_px, 0, f,
                                h / 2.0 - 1.0 + design.principal_offset_y_px, 0, 0, 1);
  const std::vector<double> lens_coefficients{design.lens_k1, design.lens_k2, design.lens_p1,
                                              design.lens_p2, design.lens_k3};
  std::vector<cv::Point2d> samples, rays;
  for (int r = 0; r < h; ++r) {
    if (lens_distorted()) {
      samples.clear();
      for (int c = 0; c < w; ++c)
        for (int sy = 0; sy < n; ++sy)
          for (int sx = 0; sx < n; ++sx)
            samples.emplace_back(c + (sx + 0.5) / n - 0.5, r + (sy + 0.5) / n - 0.5);
      cv::undistortPoints(
          samples, rays, lens_matrix, lens_coefficients, cv::noArray(), cv::noArray(),
          cv::TermCriteria(cv::TermCriteria::COUNT | cv::TermCriteria::EPS, 100, 1e-14));
    }
    for (int c = 0; c < w; ++c) {
      cv::Vec3d colour(0, 0, 0);
      double temperature = 0.0;
      for (int sy = 0; sy < n; ++sy) {
        for (int sx = 0; sx < n; ++sx) {
          double u = c + 1 + (sx + 0.5) / n - 0.5, v = r + 1 + (sy + 0.5) / n - 0.5;
          if (lens_distorted()) {
            const cv::Point2d& ray = rays[(static_cast<std::size_t>(c) * n + sy) * n + sx];
            u = w / 2.0 + ray.x * f;
            v = h / 2.0 + ray.y * f;
          }
          local_point ground;
          if (!pixel_ground_point(camera, u, v, ground))
            throw std::runtime_error("survey camera ray misses the ground: " +
                                     cameras[camera].name);
          const geo_point g = local_to_geographic(ground.x_m, ground.y_m);
          if (thermal) {
            temperature += ground_temperature_c(g.latitude_deg, g.longitude_deg);
            continue;
          }
          double light = 1.0;
          if (design.view_angle_brightness != 0.0) {
            const std::array<double, 3> d = pixel_direction(camera, u, v);
            light += design.view_angle_brightness * d[0] /
                     std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
          }
          colour += texture_bgr(g.latitude_deg, g.longitude_deg) * light;
        }
      }
      const double samples = n * n;
      if (thermal) {
        image.at<std::uint16_t>(r, c) = thermal_count(temperature / samples);
      } else {
        cv::Vec3b& px = image.at<cv::Vec3b>(r, c);
        for (int k = 0; k < 3; ++k)
          px[k] = cv::saturate_cast<std::uint8_t>(std::lround(colour[k] / samples * gain));
      }
    }
  }
  return image;
}

bool survey_truth::lens_distorted() const {
  return design.lens_k1 != 0 || design.lens_k2 != 0 || design.lens_p1 != 0 || design.lens_p2 != 0 ||
         design.lens_k3 != 0 || design.principal_offset_x_px != 0 ||
         design.principal_offset_y_px != 0;
}

cv::Vec3b survey_truth::recorded_bgr(double x_m, double y_m, double footprint_m) const {
  const bool thermal = design.image_format == survey_image_format::thermal16;
  cv::Vec3d colour(0, 0, 0);
  double temperature = 0.0;
  for (int sy = 0; sy < 2; ++sy) {
    for (int sx = 0; sx < 2; ++sx) {
      const double x = x_m + (sx - 0.5) * footprint_m / 2.0,
                   y = y_m + (sy - 0.5) * footprint_m / 2.0;
      const geo_point g = local_to_geographic(x, y);
      if (thermal)
        temperature += ground_temperature_c(g.latitude_deg, g.longitude_deg);
      else
        colour += texture_bgr(g.latitude_deg, g.longitude_deg);
    }
  }
  if (thermal) {
    const std::uint8_t grey =
        thermal_grey(thermal_count(temperature / 4.0), design.thermal_min_c, design.thermal_max_c);
    return {grey, grey, grey};
  }
  cv::Vec3b out;
  for (int k = 0; k < 3; ++k)
    out[k] = cv::saturate_cast<std::uint8_t>(std::lround(colour[k] / 4.0));
  return out;
}

cv::Vec3b survey_truth::expected_bgr(double x_m, double y_m, double footprint_m) const {
  cv::Mat one(1, 1, CV_8UC3, cv::Scalar::all(0));
  one.at<cv::Vec3b>(0, 0) = recorded_bgr(x_m, y_m, footprint_m);
  apply_projection_values(design, one);
  return one.at<cv::Vec3b>(0, 0);
}

void apply_projection_values(const survey_design& design, cv::Mat& bgr) {
  cv::add(bgr, cv::Scalar(1, 1, 1), bgr);
  bgr.convertTo(bgr, CV_8UC3, design.image_data_multiplier);
  if (design.jet_colormap) cv::applyColorMap(bgr, bgr, cv::COLORMAP_JET);
}

}  // namespace aeroquilt::testing
