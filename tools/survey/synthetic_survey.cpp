#include "survey/synthetic_survey.h"

#include <gdal_priv.h>
#include <ogr_spatialref.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exiv2/exiv2.hpp>
#include <filesystem>
#include <fstream>
#include <limits>
#include <opencv2/calib3d.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <random>
#include <stdexcept>
#include <thread>

namespace aeroquilt::testing {

namespace {

constexpr double pi = 3.141592653589793;
constexpr double deg = pi / 180.0;

// The local frame's ellipsoid: WGS84 semi-major axis and eccentricity.
constexpr double frame_a = 6378137.0;
constexpr double frame_e = 0.081819190842;

// Fixed metres-per-degree used to lay out the texture and the hills about their
// anchor; only their shape depends on it, not the survey geometry.
constexpr double texture_m_per_deg_lat = 111132.0;
constexpr double texture_m_per_deg_lon_equator = 111319.49;

using vec3 = std::array<double, 3>;
using mat3 = std::array<double, 9>;

mat3 multiply(const mat3& p, const mat3& q) {
  mat3 out{};
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c)
      for (int k = 0; k < 3; ++k) out[3 * r + c] += p[3 * r + k] * q[3 * k + c];
  return out;
}

vec3 multiply(const mat3& m, const vec3& v) {
  return {m[0] * v[0] + m[1] * v[1] + m[2] * v[2], m[3] * v[0] + m[4] * v[1] + m[5] * v[2],
          m[6] * v[0] + m[7] * v[1] + m[8] * v[2]};
}

// Camera axes to local axes: S * Rz(heading) * Ry(pitch) * Rx(roll) * T.
mat3 camera_rotation(double roll_rad, double pitch_rad, double heading_rad) {
  const mat3 ned_to_enu{0, 1, 0, 1, 0, 0, 0, 0, -1};
  const mat3 camera_to_body{0, 1, 0, -1, 0, 0, 0, 0, 1};
  const double cr = std::cos(roll_rad), sr = std::sin(roll_rad);
  const double cp = std::cos(pitch_rad), sp = std::sin(pitch_rad);
  const double ch = std::cos(heading_rad), sh = std::sin(heading_rad);
  const mat3 rx{1, 0, 0, 0, cr, -sr, 0, sr, cr};
  const mat3 ry{cp, 0, sp, 0, 1, 0, -sp, 0, cp};
  const mat3 rz{ch, -sh, 0, sh, ch, 0, 0, 0, 1};
  return multiply(multiply(multiply(multiply(ned_to_enu, rz), ry), rx), camera_to_body);
}

void frame_radii(double latitude_deg, double& radius_east, double& radius_north) {
  const double s = std::sin(latitude_deg * deg);
  const double w = 1.0 - frame_e * frame_e * s * s;
  radius_east = frame_a / std::sqrt(w);
  radius_north = frame_a * (1.0 - frame_e * frame_e) / w;
}

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

// --- Number formatting that the flight log and configuration keep exactly ------

std::string format_number(const char* format, double value) {
  char text[64];
  std::snprintf(text, sizeof(text), format, value);
  return text;
}

double reparse(const std::string& text) { return std::strtod(text.c_str(), nullptr); }

// --- Little-endian writers for the DEM file ---------------------------------

void put_u32(std::string& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}
void put_u64(std::string& out, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}
void put_i32(std::string& out, std::int32_t v) { put_u32(out, static_cast<std::uint32_t>(v)); }
void put_f64(std::string& out, double v) {
  std::uint64_t bits;
  std::memcpy(&bits, &v, sizeof(bits));
  put_u64(out, bits);
}
void put_f32(std::string& out, float v) {
  std::uint32_t bits;
  std::memcpy(&bits, &v, sizeof(bits));
  put_u32(out, bits);
}

void write_bytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary);
  if (!out) throw std::runtime_error("cannot write " + path);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

bool contains_rgb(const std::string& text) {
  return text.find("rgb") != std::string::npos || text.find("RGB") != std::string::npos;
}

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

void hills_bounds(double& low, double& high) {
  low = 0.0;
  high = 0.0;
  for (const hill& k : survey_hills) (k.height_m > 0 ? high : low) += k.height_m;
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

// --- survey_truth ------------------------------------------------------------

geo_point survey_truth::local_to_geographic(double x_m, double y_m) const {
  geo_point p;
  p.longitude_deg =
      centre_longitude_deg + x_m / (radius_east_m * std::cos(centre_latitude_deg * deg)) / deg;
  p.latitude_deg = centre_latitude_deg + y_m / radius_north_m / deg;
  return p;
}

local_point survey_truth::geographic_to_local(double latitude_deg, double longitude_deg) const {
  local_point p;
  p.x_m = std::cos(centre_latitude_deg * deg) * (longitude_deg - centre_longitude_deg) * deg *
          radius_east_m;
  p.y_m = (latitude_deg - centre_latitude_deg) * deg * radius_north_m;
  return p;
}

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

std::array<double, 3> survey_truth::pixel_direction(int camera, double u, double v) const {
  const survey_camera& cam = cameras.at(static_cast<std::size_t>(camera));
  const double kx = design.focal_length_px;
  const vec3 in_camera{(design.image_width / 2.0 - u) / kx, (design.image_height / 2.0 - v) / kx,
                       1.0};
  return multiply(cam.camera_to_local, in_camera);
}

bool survey_truth::cast_ray(const std::array<double, 3>& origin,
                            const std::array<double, 3>& direction, local_point& ground) const {
  if (!(direction[2] < -1e-9)) return false;
  const auto at = [&](double t) {
    return local_point{origin[0] + t * direction[0], origin[1] + t * direction[1],
                       origin[2] + t * direction[2]};
  };
  if (!design.hills) {
    ground = at(-origin[2] / direction[2]);
    ground.z_m = 0.0;
    return true;
  }
  const auto above = [&](double t) {
    const local_point p = at(t);
    return p.z_m - terrain_height_local_m(p.x_m, p.y_m);
  };
  const double length = std::sqrt(direction[0] * direction[0] + direction[1] * direction[1] +
                                  direction[2] * direction[2]);
  // Near-vertical rays over gentle hills: the fixed point of "the ray's height
  // equals the ground height" contracts by slope * tan(off-nadir angle), a few
  // per cent here, so it converges in a handful of steps. Accept it only when the
  // ray is still above the ground a centimetre before it.
  double t = -origin[2] / direction[2];
  for (int i = 0; i < 50; ++i) {
    const local_point p = at(t);
    const double next = (origin[2] - terrain_height_local_m(p.x_m, p.y_m)) / -direction[2];
    const bool done = std::abs(next - t) * length < 1e-4;
    t = next;
    if (done) {
      if (t > 0.0 && above(t - 0.01 / length) > 0.0) {
        ground = at(t);
        return true;
      }
      break;
    }
  }
  // Otherwise march from above the highest possible ground.
  double low, high;
  hills_bounds(low, high);
  // Start just above the highest possible ground and march down in steps of about
  // 2 m along the ray; the hills are far too smooth to be crossed twice in a step.
  double t0 = std::max(0.0, (origin[2] - (high + 1.0)) / -direction[2]);
  const double t_end = (origin[2] - (low - 1.0)) / -direction[2];
  const double step = 2.0 / length;
  if (above(t0) <= 0.0) return false;  // camera under the ground
  double t1 = t0;
  while (true) {
    t1 = std::min(t0 + step, t_end);
    if (above(t1) <= 0.0) break;
    if (t1 >= t_end) return false;
    t0 = t1;
  }
  while ((t1 - t0) * length > 0.005) {  // half a centimetre along the ray
    const double mid = 0.5 * (t0 + t1);
    (above(mid) > 0.0 ? t0 : t1) = mid;
  }
  ground = at(0.5 * (t0 + t1));
  return true;
}

bool survey_truth::pixel_ground_point(int camera, double u, double v, local_point& ground) const {
  const survey_camera& cam = cameras.at(static_cast<std::size_t>(camera));
  return cast_ray(cam.position_m, pixel_direction(camera, u, v), ground);
}

bool survey_truth::local_to_pixel(int camera, const local_point& point, double& u,
                                  double& v) const {
  const survey_camera& cam = cameras.at(static_cast<std::size_t>(camera));
  const mat3& a = cam.camera_to_local;
  const vec3 rel{point.x_m - cam.position_m[0], point.y_m - cam.position_m[1],
                 point.z_m - cam.position_m[2]};
  // q = A^T (X - C)
  const vec3 q{a[0] * rel[0] + a[3] * rel[1] + a[6] * rel[2],
               a[1] * rel[0] + a[4] * rel[1] + a[7] * rel[2],
               a[2] * rel[0] + a[5] * rel[1] + a[8] * rel[2]};
  if (!(q[2] > 0.0)) return false;
  u = design.image_width / 2.0 - design.focal_length_px * q[0] / q[2];
  v = design.image_height / 2.0 - design.focal_length_px * q[1] / q[2];
  return true;
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
          if (thermal)
            temperature += ground_temperature_c(g.latitude_deg, g.longitude_deg);
          else
            colour += texture_bgr(g.latitude_deg, g.longitude_deg);
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

std::array<double, 9> camera_to_local_rotation(double roll_deg, double pitch_deg,
                                               double heading_deg) {
  return camera_rotation(roll_deg * deg, pitch_deg * deg, heading_deg * deg);
}

// --- Transverse Mercator -----------------------------------------------------

namespace {

struct krueger {
  double a_rect;  // rectifying radius A
  double e;       // first eccentricity
  double alpha[5], beta[5];
};

const krueger& wgs84_krueger() {
  static const krueger k = [] {
    krueger out{};
    const double a = 6378137.0, f = 1.0 / 298.257223563;
    const double n = f / (2.0 - f), n2 = n * n, n3 = n2 * n, n4 = n3 * n;
    out.a_rect = a / (1.0 + n) * (1.0 + n2 / 4.0 + n4 / 64.0);
    out.e = std::sqrt(f * (2.0 - f));
    out.alpha[1] = n / 2.0 - 2.0 * n2 / 3.0 + 5.0 * n3 / 16.0 + 41.0 * n4 / 180.0;
    out.alpha[2] = 13.0 * n2 / 48.0 - 3.0 * n3 / 5.0 + 557.0 * n4 / 1440.0;
    out.alpha[3] = 61.0 * n3 / 240.0 - 103.0 * n4 / 140.0;
    out.alpha[4] = 49561.0 * n4 / 161280.0;
    out.beta[1] = n / 2.0 - 2.0 * n2 / 3.0 + 37.0 * n3 / 96.0 - n4 / 360.0;
    out.beta[2] = n2 / 48.0 + n3 / 15.0 - 437.0 * n4 / 1440.0;
    out.beta[3] = 17.0 * n3 / 480.0 - 37.0 * n4 / 840.0;
    out.beta[4] = 4397.0 * n4 / 161280.0;
    return out;
  }();
  return k;
}

// Conformal latitude as tan: sinh(atanh(sin phi) - e atanh(e sin phi)).
double conformal_tan(double phi, double e) {
  const double s = std::sin(phi);
  return std::sinh(std::atanh(s) - e * std::atanh(e * s));
}

constexpr double utm_k0 = 0.9996;
constexpr double utm_false_easting = 500000.0;

}  // namespace

double utm_zone_central_meridian(double meridian_longitude_deg) {
  const int zone = static_cast<int>((meridian_longitude_deg + 180.0) / 6.0 + 1.0);
  return 6.0 * zone - 183.0;
}

void geographic_to_utm(double latitude_deg, double longitude_deg, double central_meridian_deg,
                       double& easting_m, double& northing_m) {
  const krueger& k = wgs84_krueger();
  const double t = conformal_tan(latitude_deg * deg, k.e);
  const double dl = (longitude_deg - central_meridian_deg) * deg;
  const double xi = std::atan2(t, std::cos(dl));
  const double eta = std::atanh(std::sin(dl) / std::sqrt(1.0 + t * t));
  double x = eta, y = xi;
  for (int j = 1; j <= 4; ++j) {
    x += k.alpha[j] * std::cos(2 * j * xi) * std::sinh(2 * j * eta);
    y += k.alpha[j] * std::sin(2 * j * xi) * std::cosh(2 * j * eta);
  }
  easting_m = utm_false_easting + utm_k0 * k.a_rect * x;
  northing_m = utm_k0 * k.a_rect * y;
}

void utm_to_geographic_exact(double easting_m, double northing_m, double central_meridian_deg,
                             double& latitude_deg, double& longitude_deg) {
  const krueger& k = wgs84_krueger();
  const double xi = northing_m / (utm_k0 * k.a_rect);
  const double eta = (easting_m - utm_false_easting) / (utm_k0 * k.a_rect);
  double xi1 = xi, eta1 = eta;
  for (int j = 1; j <= 4; ++j) {
    xi1 -= k.beta[j] * std::sin(2 * j * xi) * std::cosh(2 * j * eta);
    eta1 -= k.beta[j] * std::cos(2 * j * xi) * std::sinh(2 * j * eta);
  }
  const double chi = std::asin(std::sin(xi1) / std::cosh(eta1));
  // Invert the conformal latitude by fixed-point iteration (contraction ~e^2).
  double phi = chi;
  const double target = std::tan(chi);
  for (int i = 0; i < 20; ++i) phi += std::atan(target) - std::atan(conformal_tan(phi, k.e));
  latitude_deg = phi / deg;
  longitude_deg = central_meridian_deg + std::atan2(std::sinh(eta1), std::cos(xi1)) / deg;
}

// --- Planning ----------------------------------------------------------------

survey_truth plan_survey(const survey_design& design, const std::string& folder) {
  if (design.image_width <= 0 || design.image_height <= 0 || design.focal_length_px <= 0.0 ||
      design.line_count <= 0 || design.images_per_line <= 0 || design.output_pixel_size_m <= 0.0 ||
      design.dem_cell_deg <= 0.0)
    throw std::invalid_argument("survey design: sizes must be positive");

  survey_truth truth;
  truth.design = design;

  std::string root = folder;
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  survey_files& files = truth.files;
  files.folder = root + "/";
  files.image_dir = files.folder + "images/";
  files.flight_log = files.folder + "flight_log.txt";
  files.dem = files.folder + "terrain.dem";
  files.config = files.folder + "survey.cfg";
  files.output_dir = files.folder + "out/";
  files.mosaic = files.output_dir + design.output_filename;
  const std::size_t dot = design.output_filename.rfind('.');
  files.geotiff_dem = files.folder + "terrain_utm.tif";
  files.calibration = files.folder + "camera.yaml";
  files.poses_csv = files.folder + "poses_utm.csv";
  if (design.tagged_frames && design.image_format != survey_image_format::jpeg &&
      design.image_format != survey_image_format::tiff)
    throw std::invalid_argument("survey design: tagged frames are JPEG or TIFF");
  files.world_file =
      files.output_dir +
      (dot == std::string::npos ? design.output_filename : design.output_filename.substr(0, dot)) +
      ".tfw";
  if (design.image_format != survey_image_format::raw_rgb && contains_rgb(files.image_dir))
    throw std::invalid_argument(
        "survey folder must not contain \"rgb\": the system would read its images as raw frames");

  // Plan positions in a nominal frame about the requested centre.
  double nominal_east, nominal_north;
  frame_radii(design.centre_latitude_deg, nominal_east, nominal_north);
  const double cos_lat = std::cos(design.centre_latitude_deg * deg);
  const double central_meridian = utm_zone_central_meridian(design.meridian_longitude_deg);

  std::mt19937 random(design.seed);
  std::uniform_real_distribution<double> unit(-1.0, 1.0);
  const int digits_deg = 10;  // 1e-10 degree, about 10 micrometres
  const std::string deg_format = "%." + std::to_string(digits_deg) + "f";

  for (int line = 0; line < design.line_count; ++line) {
    const bool reverse = (line % 2) == 1;
    const double heading = design.heading_deg * deg;
    const double fwd_e = std::sin(heading), fwd_n = std::cos(heading);
    const double right_e = std::cos(heading), right_n = -std::sin(heading);
    const double across = (line - (design.line_count - 1) / 2.0) * design.line_spacing_m;
    for (int k = 0; k < design.images_per_line; ++k) {
      const int step = reverse ? design.images_per_line - 1 - k : k;
      const double along = (step - (design.images_per_line - 1) / 2.0) * design.image_spacing_m;
      const double east = across * right_e + along * fwd_e;
      const double north = across * right_n + along * fwd_n;

      survey_camera cam;
      char name[64];
      const int index = static_cast<int>(truth.cameras.size());
      if (design.image_format == survey_image_format::raw_rgb)
        std::snprintf(name, sizeof(name), "img_rgb_%03d.raw", index);
      else if (design.image_format == survey_image_format::jpeg)
        std::snprintf(name, sizeof(name), "img_%03d.jpg", index);
      else if (design.image_format == survey_image_format::tiff)
        std::snprintf(name, sizeof(name), "img_%03d.tif", index);
      else
        std::snprintf(name, sizeof(name), "img_%03d.png", index);
      cam.name = name;

      const double lat = design.centre_latitude_deg + north / nominal_north / deg;
      const double lon = design.centre_longitude_deg + east / (nominal_east * cos_lat) / deg;
      double heading_deg =
          design.heading_deg + (reverse ? 180.0 : 0.0) + design.heading_jitter_deg * unit(random);
      heading_deg = std::fmod(heading_deg + 360.0, 360.0);
      cam.roll_deg = reparse(format_number("%.4f", design.attitude_jitter_deg * unit(random)));
      const double tilt = (k % 2 == 0 ? 1.0 : -1.0) * design.tilt_deg;
      cam.pitch_deg =
          reparse(format_number("%.4f", tilt + design.attitude_jitter_deg * unit(random)));
      cam.heading_deg = reparse(format_number("%.4f", heading_deg));
      cam.altitude_m =
          reparse(format_number("%.3f", design.topo_height_m + design.flight_height_m));
      if (design.utm_positions) {
        double e, n;
        geographic_to_utm(lat, lon, central_meridian, e, n);
        cam.easting_m = reparse(format_number("%.4f", e));
        cam.northing_m = reparse(format_number("%.4f", n));
        utm_to_geographic_exact(cam.easting_m, cam.northing_m, central_meridian, cam.latitude_deg,
                                cam.longitude_deg);
      } else {
        cam.latitude_deg = reparse(format_number(deg_format.c_str(), lat));
        cam.longitude_deg = reparse(format_number(deg_format.c_str(), lon));
        geographic_to_utm(cam.latitude_deg, cam.longitude_deg, central_meridian, cam.easting_m,
                          cam.northing_m);
      }
      truth.cameras.push_back(cam);
    }
  }

  // The survey centre is the middle of the logged extremes.
  double lat_lo = 1000, lat_hi = -1000, lon_lo = 1000, lon_hi = -1000;
  for (const survey_camera& cam : truth.cameras) {
    lat_lo = std::min(lat_lo, cam.latitude_deg);
    lat_hi = std::max(lat_hi, cam.latitude_deg);
    lon_lo = std::min(lon_lo, cam.longitude_deg);
    lon_hi = std::max(lon_hi, cam.longitude_deg);
  }
  truth.centre_latitude_deg = (lat_hi - lat_lo) * 0.5 + lat_lo;
  truth.centre_longitude_deg = (lon_hi - lon_lo) * 0.5 + lon_lo;
  frame_radii(truth.centre_latitude_deg, truth.radius_east_m, truth.radius_north_m);

  for (survey_camera& cam : truth.cameras) {
    const double phi0 = truth.centre_latitude_deg * deg;
    cam.position_m = {std::cos(phi0) *
                          (cam.longitude_deg * deg - truth.centre_longitude_deg * deg) *
                          truth.radius_east_m,
                      (cam.latitude_deg * deg - phi0) * truth.radius_north_m,
                      cam.altitude_m - design.topo_height_m};
    cam.camera_to_local = camera_to_local_rotation(cam.roll_deg, cam.pitch_deg, cam.heading_deg);
  }

  // DEM extent: the footprints on the terrain and on flat ground, plus the margin.
  double x_lo = 1e30, x_hi = -1e30, y_lo = 1e30, y_hi = -1e30;
  const double corners[4][2] = {{1.0, 1.0},
                                {double(design.image_width), 1.0},
                                {double(design.image_width), double(design.image_height)},
                                {1.0, double(design.image_height)}};
  for (int i = 0; i < static_cast<int>(truth.cameras.size()); ++i) {
    for (const auto& corner : corners) {
      const std::array<double, 3> d = truth.pixel_direction(i, corner[0], corner[1]);
      const std::array<double, 3>& c = truth.cameras[i].position_m;
      if (!(d[2] < 0.0))
        throw std::invalid_argument("survey design: a corner ray does not point down");
      local_point ground;
      std::vector<local_point> points{{c[0] - c[2] / d[2] * d[0], c[1] - c[2] / d[2] * d[1], 0.0}};
      if (truth.pixel_ground_point(i, corner[0], corner[1], ground)) points.push_back(ground);
      for (const local_point& p : points) {
        x_lo = std::min(x_lo, p.x_m);
        x_hi = std::max(x_hi, p.x_m);
        y_lo = std::min(y_lo, p.y_m);
        y_hi = std::max(y_hi, p.y_m);
      }
    }
  }
  const geo_point south_west =
      truth.local_to_geographic(x_lo - design.dem_margin_m, y_lo - design.dem_margin_m);
  const geo_point north_east =
      truth.local_to_geographic(x_hi + design.dem_margin_m, y_hi + design.dem_margin_m);
  const double cell = design.dem_cell_deg;
  truth.dem.cell_size = cell;
  truth.dem.west_longitude = std::floor(south_west.longitude_deg / cell) * cell;
  truth.dem.south_latitude = std::floor(south_west.latitude_deg / cell) * cell;
  truth.dem.column_count =
      static_cast<int>(std::ceil((north_east.longitude_deg - truth.dem.west_longitude) / cell)) + 1;
  truth.dem.row_count =
      static_cast<int>(std::ceil((north_east.latitude_deg - truth.dem.south_latitude) / cell)) + 1;
  return truth;
}

// --- Writing -----------------------------------------------------------------

namespace {

void write_dem(const survey_truth& truth) {
  const survey_dem_grid& g = truth.dem;
  std::string bytes;
  bytes.reserve(32 + 4 * static_cast<std::size_t>(g.column_count) * g.row_count);
  put_i32(bytes, g.column_count);
  put_i32(bytes, g.row_count);
  put_f64(bytes, g.west_longitude);
  put_f64(bytes, g.south_latitude);
  put_f64(bytes, g.cell_size);
  for (int j = 0; j < g.column_count; ++j) {
    const double lon = g.west_longitude + j * g.cell_size;
    for (int i = 0; i < g.row_count; ++i) {
      const double lat = g.south_latitude + (g.row_count - i) * g.cell_size;
      put_f32(bytes,
              static_cast<float>(truth.design.dem_relief_scale * truth.terrain_height_m(lat, lon) +
                                 truth.design.dem_height_offset_m));
    }
  }
  write_bytes(truth.files.dem, bytes);
}

void write_flight_log(const survey_truth& truth) {
  std::string text;
  for (const survey_camera& cam : truth.cameras) {
    const std::string position =
        truth.design.utm_positions
            ? format_number("%.4f", cam.easting_m) + "," + format_number("%.4f", cam.northing_m)
            : format_number("%.10f", cam.latitude_deg) + "," +
                  format_number("%.10f", cam.longitude_deg);
    text += cam.name + "," + position + "," + format_number("%.3f", cam.altitude_m) + "," +
            format_number("%.4f", cam.roll_deg) + "," + format_number("%.4f", cam.pitch_deg) + "," +
            format_number("%.4f", cam.heading_deg) + ",0,0\n";
  }
  write_bytes(truth.files.flight_log, text);
}

void write_config(const survey_truth& truth) {
  const survey_design& s = truth.design;
  std::string text = "# synthetic survey made by make_survey\n";
  const auto key = [&](const std::string& name, const std::string& value) {
    text += name + "," + value + "\n";
  };
  const auto number = [&](const std::string& name, double value) {
    key(name, format_number("%.10g", value));
  };
  number("image_width_pixels", s.image_width);
  number("image_height_pixels", s.image_height);
  if (s.focal_from_sensor) {
    // camera_f in millimetres and the sensor width that gives the same kx.
    const double f_mm = 8.0;
    number("camera_f", f_mm);
    number("camera_sensor_width", s.image_width * f_mm / s.focal_length_px);
  } else {
    number("image_kx", s.focal_length_px);
  }
  if (truth.lens_distorted()) {
    number("lens_principal_offset_x", s.principal_offset_x_px);
    number("lens_principal_offset_y", s.principal_offset_y_px);
    number("lens_k1", s.lens_k1);
    number("lens_k2", s.lens_k2);
    number("lens_p1", s.lens_p1);
    number("lens_p2", s.lens_p2);
    number("lens_k3", s.lens_k3);
  }
  for (int i = 0; i < 3; ++i) {
    number("RPH_scale[" + std::to_string(i) + "]", 1.0);
    number("RPH_offset[" + std::to_string(i) + "]", 0.0);
    number("Lever_Arm[" + std::to_string(i) + "]", 0.0);
  }
  number("topo_height", s.topo_height_m);
  number("meridian_longitude", s.meridian_longitude_deg);
  number("image_channels", 3);
  // Before DEM_filename: its key text also occurs inside output_DEM_filename.
  key("output_DEM_filename", s.output_dem_filename);
  key("DEM_filename", truth.files.dem);
  key("image_dir", truth.files.image_dir);
  key("FPO_file", truth.files.flight_log);
  key("output_dir", truth.files.output_dir);
  key("output_filename", s.output_filename);
  number("output_pixel_size", s.output_pixel_size_m);
  number("output_tile_size_pixels", s.output_tile_size_pixels);
  number("generate_DEM_image", s.generate_dem_image ? 1 : 0);
  number("do_average_image_error_removal", 0);
  number("image_data_multiplier", s.image_data_multiplier);
  number("USE_DEM", s.use_dem ? 1 : 0);
  number("project_subview_only", s.project_subview_only ? 1 : 0);
  if (s.project_subview_only) {
    key("subview_min_lon", format_number("%.10f", s.subview_min_lon));
    key("subview_max_lon", format_number("%.10f", s.subview_max_lon));
    key("subview_min_lat", format_number("%.10f", s.subview_min_lat));
    key("subview_max_lat", format_number("%.10f", s.subview_max_lat));
  }
  number("projection_angle_limit", 0);
  number("convert_to_jet_colormap", s.jet_colormap ? 1 : 0);
  number("vingette_removal_multiplier", 0);
  number("use_16bit_image_input", s.image_format == survey_image_format::thermal16 ? 1 : 0);
  number("tau_set_min_temp", s.thermal_min_c);
  number("tau_set_max_temp", s.thermal_max_c);
  text += s.extra_config;
  write_bytes(truth.files.config, text);
}

void write_image(const survey_truth& truth, int index) {
  const cv::Mat image = truth.render_image(index);
  const std::string path = truth.files.image_dir + truth.cameras[index].name;
  if (truth.design.image_format == survey_image_format::raw_rgb) {
    std::string bytes;
    put_i32(bytes, image.cols);
    put_i32(bytes, image.rows);
    bytes.append(reinterpret_cast<const char*>(image.data), image.total() * image.elemSize());
    write_bytes(path, bytes);
  } else if (!cv::imwrite(path, image)) {
    throw std::runtime_error("cannot write " + path);
  }
}

// Degrees as the three EXIF rationals (degrees, minutes, microseconds of arc).
std::string exif_dms(double degrees) {
  const double a = std::abs(degrees);
  std::uint64_t micro = static_cast<std::uint64_t>(std::llround(a * 3600.0e6));
  const std::uint64_t d = micro / 3600000000ull;
  micro -= d * 3600000000ull;
  const std::uint64_t m = micro / 60000000ull;
  micro -= m * 60000000ull;
  return std::to_string(d) + "/1 " + std::to_string(m) + "/1 " + std::to_string(micro) + "/1000000";
}

// EXIF GPS and the XMP a multirotor drone writes: gimbal pitch -90 looks straight down,
// gimbal yaw is the heading in (-180, 180], relative altitude is above the first frame's ground.
void tag_frame(const survey_truth& truth, int index) {
  const survey_camera& cam = truth.cameras[static_cast<std::size_t>(index)];
  const survey_camera& first = truth.cameras.front();
  const double take_off_m =
      truth.design.topo_height_m + truth.terrain_height_m(first.latitude_deg, first.longitude_deg);
  const std::string path = truth.files.image_dir + cam.name;
  auto image = Exiv2::ImageFactory::open(path);
  image->readMetadata();
  Exiv2::ExifData& exif = image->exifData();
  exif["Exif.GPSInfo.GPSVersionID"] = "2 3 0 0";
  const auto rationals = [&exif](const char* key, const std::string& text) {
    Exiv2::URationalValue value;
    value.read(text);
    exif.add(Exiv2::ExifKey(key), &value);
  };
  exif["Exif.GPSInfo.GPSLatitudeRef"] = cam.latitude_deg < 0 ? "S" : "N";
  rationals("Exif.GPSInfo.GPSLatitude", exif_dms(cam.latitude_deg));
  exif["Exif.GPSInfo.GPSLongitudeRef"] = cam.longitude_deg < 0 ? "W" : "E";
  rationals("Exif.GPSInfo.GPSLongitude", exif_dms(cam.longitude_deg));
  Exiv2::DataValue above(Exiv2::unsignedByte);
  above.read("0");
  exif.add(Exiv2::ExifKey("Exif.GPSInfo.GPSAltitudeRef"), &above);
  rationals("Exif.GPSInfo.GPSAltitude",
            std::to_string(std::llround(cam.altitude_m * 1000.0)) + "/1000");
  Exiv2::XmpProperties::registerNs("http://www.dji.com/drone-dji/1.0/", "drone-dji");
  Exiv2::XmpData& xmp = image->xmpData();
  const double yaw = cam.heading_deg > 180.0 ? cam.heading_deg - 360.0 : cam.heading_deg;
  xmp["Xmp.drone-dji.GimbalRollDegree"] = format_number("%+.4f", cam.roll_deg);
  xmp["Xmp.drone-dji.GimbalPitchDegree"] = format_number("%+.4f", cam.pitch_deg - 90.0);
  xmp["Xmp.drone-dji.GimbalYawDegree"] = format_number("%+.4f", yaw);
  xmp["Xmp.drone-dji.FlightRollDegree"] = format_number("%+.4f", cam.roll_deg);
  xmp["Xmp.drone-dji.FlightPitchDegree"] = format_number("%+.4f", cam.pitch_deg);
  xmp["Xmp.drone-dji.FlightYawDegree"] = format_number("%+.4f", yaw);
  xmp["Xmp.drone-dji.AbsoluteAltitude"] = format_number("%+.3f", cam.altitude_m);
  xmp["Xmp.drone-dji.RelativeAltitude"] = format_number("%+.3f", cam.altitude_m - take_off_m);
  xmp["Xmp.drone-dji.CalibratedFocalLength"] = format_number("%.4f", truth.design.focal_length_px);
  image->writeMetadata();
}

// The terrain as a crew's DEM: heights above the datum (topo_height plus the hills) at
// cell centres of a north-up UTM grid covering the DEM file's extent.
void write_geotiff_dem(const survey_truth& truth) {
  const survey_dem_grid& g = truth.dem;
  const double central_meridian = utm_zone_central_meridian(truth.design.meridian_longitude_deg);
  const int zone = static_cast<int>(std::lround((central_meridian + 183.0) / 6.0));
  const bool south = truth.centre_latitude_deg < 0;
  const double false_northing = south ? 10000000.0 : 0.0;
  double e_lo = 1e300, e_hi = -1e300, n_lo = 1e300, n_hi = -1e300;
  const double lat_n = g.south_latitude + g.row_count * g.cell_size;
  const double lon_e = g.west_longitude + (g.column_count - 1) * g.cell_size;
  for (double lat : {g.south_latitude, 0.5 * (g.south_latitude + lat_n), lat_n}) {
    for (double lon : {g.west_longitude, 0.5 * (g.west_longitude + lon_e), lon_e}) {
      double e, n;
      geographic_to_utm(lat, lon, central_meridian, e, n);
      e_lo = std::min(e_lo, e), e_hi = std::max(e_hi, e);
      n_lo = std::min(n_lo, n), n_hi = std::max(n_hi, n);
    }
  }
  const double cell = truth.design.geotiff_cell_m;
  e_lo = std::floor(e_lo / cell) * cell;
  n_hi = std::ceil(n_hi / cell) * cell;
  const int columns = static_cast<int>(std::ceil((e_hi - e_lo) / cell));
  const int rows = static_cast<int>(std::ceil((n_hi - n_lo) / cell));

  GDALAllRegister();
  GDALDriver* driver = GetGDALDriverManager()->GetDriverByName("GTiff");
  GDALDatasetUniquePtr dataset(
      driver->Create(truth.files.geotiff_dem.c_str(), columns, rows, 1, GDT_Float32, nullptr));
  if (!dataset) throw std::runtime_error("cannot write " + truth.files.geotiff_dem);
  double geo_transform[6] = {e_lo, cell, 0, n_hi + false_northing, 0, -cell};
  dataset->SetGeoTransform(geo_transform);
  OGRSpatialReference srs;
  srs.importFromEPSG((south ? 32700 : 32600) + zone);
  dataset->SetSpatialRef(&srs);
  std::vector<float> row(static_cast<std::size_t>(columns));
  for (int i = 0; i < rows; ++i) {
    for (int j = 0; j < columns; ++j) {
      double lat, lon;
      utm_to_geographic_exact(e_lo + (j + 0.5) * cell, n_hi - (i + 0.5) * cell, central_meridian,
                              lat, lon);
      row[j] = static_cast<float>(truth.design.topo_height_m + truth.terrain_height_m(lat, lon));
    }
    if (dataset->GetRasterBand(1)->RasterIO(GF_Write, 0, i, columns, 1, row.data(), columns, 1,
                                            GDT_Float32, 0, 0) != CE_None)
      throw std::runtime_error("cannot write " + truth.files.geotiff_dem);
  }
}

// Photogrammetric poses in UTM: R = Rx(omega) Ry(phi) Rz(kappa) turns camera axes (x
// right, y up, z out of the back) into grid east, grid north, up. Grid north lies
// clockwise of true north by the meridian convergence, measured here on the maker's
// own transverse Mercator one metre either side of the camera.
void write_utm_poses(const survey_truth& truth) {
  const double central_meridian = utm_zone_central_meridian(truth.design.meridian_longitude_deg);
  std::string text = "name,x,y,z,omega,phi,kappa\n";
  for (const survey_camera& cam : truth.cameras) {
    const double step_deg = 1.0 / truth.radius_north_m / deg;
    double e0, n0, e1, n1;
    geographic_to_utm(cam.latitude_deg - step_deg, cam.longitude_deg, central_meridian, e0, n0);
    geographic_to_utm(cam.latitude_deg + step_deg, cam.longitude_deg, central_meridian, e1, n1);
    const double convergence = -std::atan2(e1 - e0, n1 - n0);
    const double cg = std::cos(convergence), sg = std::sin(convergence);
    const mat3 true_to_grid{cg, -sg, 0, sg, cg, 0, 0, 0, 1};
    const mat3 model_to_photo{-1, 0, 0, 0, 1, 0, 0, 0, -1};
    const mat3 r = multiply(multiply(true_to_grid, cam.camera_to_local), model_to_photo);
    const double phi = std::asin(std::clamp(r[2], -1.0, 1.0));
    const double omega = std::atan2(-r[5], r[8]);
    const double kappa = std::atan2(-r[1], r[0]);
    text += cam.name + "," + format_number("%.4f", cam.easting_m) + "," +
            format_number("%.4f", cam.northing_m) + "," + format_number("%.3f", cam.altitude_m) +
            "," + format_number("%.8f", omega / deg) + "," + format_number("%.8f", phi / deg) +
            "," + format_number("%.8f", kappa / deg) + "\n";
  }
  write_bytes(truth.files.poses_csv, text);
}

void write_calibration(const survey_truth& truth) {
  const survey_design& s = truth.design;
  cv::FileStorage file(truth.files.calibration, cv::FileStorage::WRITE);
  file << "image_width" << s.image_width << "image_height" << s.image_height;
  file << "camera_matrix"
       << cv::Mat(cv::Matx33d(
              s.focal_length_px, 0, s.image_width / 2.0 - 1.0 + s.principal_offset_x_px, 0,
              s.focal_length_px, s.image_height / 2.0 - 1.0 + s.principal_offset_y_px, 0, 0, 1));
  file << "distortion_coefficients"
       << cv::Mat(cv::Matx<double, 1, 5>(s.lens_k1, s.lens_k2, s.lens_p1, s.lens_p2, s.lens_k3));
}

}  // namespace

survey_truth make_survey(const survey_design& design, const std::string& folder) {
  survey_truth truth = plan_survey(design, folder);
  std::filesystem::create_directories(truth.files.image_dir);
  write_dem(truth);
  write_flight_log(truth);
  write_config(truth);

  // Images are independent: render them on a few threads.
  const int count = static_cast<int>(truth.cameras.size());
  const int workers = std::max(
      1, std::min<int>(count, std::min(4u, std::max(1u, std::thread::hardware_concurrency()))));
  std::atomic<int> next{0};
  std::vector<std::string> errors(workers);
  std::vector<std::thread> threads;
  for (int w = 0; w < workers; ++w) {
    threads.emplace_back([&, w] {
      try {
        for (int i = next++; i < count; i = next++) write_image(truth, i);
      } catch (const std::exception& e) {
        errors[w] = e.what();
      }
    });
  }
  for (std::thread& t : threads) t.join();
  for (const std::string& e : errors)
    if (!e.empty()) throw std::runtime_error(e);
  try {
    if (design.tagged_frames)
      for (int i = 0; i < count; ++i) tag_frame(truth, i);
  } catch (const Exiv2::AnyError& e) {
    throw std::runtime_error(std::string("cannot tag the frames: ") + e.what());
  }
  if (design.geotiff_dem) write_geotiff_dem(truth);
  if (design.utm_poses_csv) write_utm_poses(truth);
  if (truth.lens_distorted() || design.tagged_frames || design.utm_poses_csv)
    write_calibration(truth);
  return truth;
}

}  // namespace aeroquilt::testing
