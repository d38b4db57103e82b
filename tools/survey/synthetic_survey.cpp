// The survey maker's geometry (local frame, camera rays, ray casting) and its planning.

#include "survey/synthetic_survey.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <stdexcept>

#include "survey/survey_internal.h"

namespace aeroquilt::testing {

using detail::deg;
using detail::format_number;
using detail::hills_bounds;
using detail::mat3;
using detail::multiply;
using detail::vec3;

namespace {

// The local frame's ellipsoid: WGS84 semi-major axis and eccentricity.
constexpr double frame_a = 6378137.0;
constexpr double frame_e = 0.081819190842;

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

double reparse(const std::string& text) { return std::strtod(text.c_str(), nullptr); }

bool contains_rgb(const std::string& text) {
  return text.find("rgb") != std::string::npos || text.find("RGB") != std::string::npos;
}

}  // namespace

// --- survey_truth geometry ---------------------------------------------------

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

std::array<double, 9> camera_to_local_rotation(double roll_deg, double pitch_deg,
                                               double heading_deg) {
  return camera_rotation(roll_deg * deg, pitch_deg * deg, heading_deg * deg);
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
  files.poses_csv =
      files.folder + (design.poses_space_separated ? "poses_utm.txt" : "poses_utm.csv");
  files.interior_yaml = files.folder + "interior.yaml";
  if (design.tagged_frames && design.image_format != survey_image_format::jpeg &&
      design.image_format != survey_image_format::tiff)
    throw std::invalid_argument("survey design: tagged frames are JPEG or TIFF");
  if ((design.xmp_positions || design.sensor_factor != 0) && !design.tagged_frames)
    throw std::invalid_argument("survey design: XMP positions and sensor tags need tagged frames");
  if (!(design.sensor_factor >= 0) || design.frame_name_prefix.find('/') != std::string::npos)
    throw std::invalid_argument("survey design: bad sensor_factor or frame_name_prefix");
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
        std::snprintf(name, sizeof(name), "rgb_%03d.raw", index);
      else if (design.image_format == survey_image_format::jpeg)
        std::snprintf(name, sizeof(name), "%03d.jpg", index);
      else if (design.image_format == survey_image_format::tiff)
        std::snprintf(name, sizeof(name), "%03d.tif", index);
      else
        std::snprintf(name, sizeof(name), "%03d.png", index);
      cam.name = design.frame_name_prefix + name;

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

}  // namespace aeroquilt::testing
