// Every file a survey is made of: DEM, flight log, configuration, frames and their tags,
// GeoTIFF DEM, poses and lens calibration.

#include <gdal_priv.h>
#include <ogr_spatialref.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <exiv2/exiv2.hpp>
#include <filesystem>
#include <fstream>
#include <opencv2/core/persistence.hpp>
#include <opencv2/imgcodecs.hpp>
#include <stdexcept>
#include <thread>

#include "survey/survey_internal.h"
#include "survey/synthetic_survey.h"

namespace aeroquilt::testing {

using detail::deg;
using detail::format_number;
using detail::mat3;
using detail::multiply;

namespace {

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
  const survey_design& s = truth.design;
  if (!s.xmp_positions) {
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
  }
  Exiv2::XmpProperties::registerNs("http://www.dji.com/drone-dji/1.0/", "drone-dji");
  Exiv2::XmpData& xmp = image->xmpData();
  if (s.xmp_positions) {
    // The spelling of many firmware versions.
    xmp["Xmp.drone-dji.GpsLatitude"] = format_number("%+.10f", cam.latitude_deg);
    xmp["Xmp.drone-dji.GpsLongtitude"] = format_number("%+.10f", cam.longitude_deg);
  }
  const double yaw = cam.heading_deg > 180.0 ? cam.heading_deg - 360.0 : cam.heading_deg;
  xmp["Xmp.drone-dji.GimbalRollDegree"] = format_number("%+.4f", cam.roll_deg);
  xmp["Xmp.drone-dji.GimbalPitchDegree"] = format_number("%+.4f", cam.pitch_deg - 90.0);
  xmp["Xmp.drone-dji.GimbalYawDegree"] = format_number("%+.4f", yaw);
  xmp["Xmp.drone-dji.FlightRollDegree"] = format_number("%+.4f", cam.roll_deg);
  xmp["Xmp.drone-dji.FlightPitchDegree"] = format_number("%+.4f", cam.pitch_deg);
  xmp["Xmp.drone-dji.FlightYawDegree"] = format_number("%+.4f", yaw);
  xmp["Xmp.drone-dji.AbsoluteAltitude"] = format_number("%+.3f", cam.altitude_m);
  xmp["Xmp.drone-dji.RelativeAltitude"] = format_number("%+.3f", cam.altitude_m - take_off_m);
  if (s.sensor_factor > 0) {
    // Sensor pixels; a principal point offset o from column W/2 (counted from 1) lies
    // o - 0.5 frame pixels from the frame's centre.
    const double n = s.sensor_factor;
    xmp["Xmp.drone-dji.CalibratedFocalLength"] = format_number("%.4f", s.focal_length_px * n);
    xmp["Xmp.drone-dji.CalibratedOpticalCenterX"] = format_number("%.4f", s.image_width * n / 2);
    xmp["Xmp.drone-dji.CalibratedOpticalCenterY"] = format_number("%.4f", s.image_height * n / 2);
    std::string dewarp = "2023-05-17";
    for (double value : {s.focal_length_px * n, s.focal_length_px * n,
                         (s.principal_offset_x_px - 0.5) * n, (s.principal_offset_y_px - 0.5) * n,
                         s.lens_k1, s.lens_k2, s.lens_p1, s.lens_p2, s.lens_k3})
      dewarp += (dewarp.size() == 10 ? ";" : ",") + format_number("%.12f", value);
    xmp["Xmp.drone-dji.DewarpData"] = dewarp;
  } else {
    xmp["Xmp.drone-dji.CalibratedFocalLength"] = format_number("%.4f", s.focal_length_px);
  }
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
  const std::string gap = truth.design.poses_space_separated ? " " : ",";
  std::string text = "name,x,y,z,omega,phi,kappa\n";
  if (truth.design.poses_space_separated) std::replace(text.begin(), text.end(), ',', ' ');
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
    const std::string name = truth.design.poses_names_without_extension
                                 ? cam.name.substr(0, cam.name.rfind('.'))
                                 : cam.name;
    text += name + gap + format_number("%.4f", cam.easting_m) + gap +
            format_number("%.4f", cam.northing_m) + gap + format_number("%.3f", cam.altitude_m) +
            gap + format_number("%.8f", omega / deg) + gap + format_number("%.8f", phi / deg) +
            gap + format_number("%.8f", kappa / deg) + "\n";
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

// The lens as interior parameters of the sensor: focal length in millimetres on pixels
// of 3 micrometres, principal point in OpenCV's zero-based pixels (the sensor's centre is
// (size - 1) / 2; an offset o from column W/2 counted from 1 is o - 0.5 frame pixels from it).
void write_interior_yaml(const survey_truth& truth) {
  const survey_design& s = truth.design;
  const double n = s.sensor_factor > 0 ? s.sensor_factor : 1.0, pitch_mm = 0.003;
  const double w = s.image_width * n, h = s.image_height * n;
  const auto number = [](double value) { return format_number("%.10g", value); };
  std::string text = "# interior parameters of the survey's camera\n\"synthetic FC1\":\n";
  text += "  type: brown\n  im_size: [" + number(w) + ", " + number(h) + "]\n";
  text += "  focal_len: " + number(s.focal_length_px * n * pitch_mm) + "\n";
  text += "  sensor_size: [" + number(w * pitch_mm) + ", " + number(h * pitch_mm) + "]\n";
  text += "  cx: " + number((w - 1) / 2 + (s.principal_offset_x_px - 0.5) * n) + "\n";
  text += "  cy: " + number((h - 1) / 2 + (s.principal_offset_y_px - 0.5) * n) + "\n";
  text += "  k1: " + number(s.lens_k1) + "\n  k2: " + number(s.lens_k2) + "\n";
  text += "  k3: " + number(s.lens_k3) + "\n  p1: " + number(s.lens_p1) + "\n";
  text += "  p2: " + number(s.lens_p2) + "\n";
  write_bytes(truth.files.interior_yaml, text);
}

}  // namespace

void retag_frame(const std::string& path,
                 const std::vector<std::pair<std::string, std::string>>& changes) {
  try {
    auto image = Exiv2::ImageFactory::open(path);
    image->readMetadata();
    Exiv2::XmpProperties::registerNs("http://www.dji.com/drone-dji/1.0/", "drone-dji");
    Exiv2::ExifData& exif = image->exifData();
    Exiv2::XmpData& xmp = image->xmpData();
    for (const auto& [key, value] : changes) {
      if (key.rfind("Xmp.", 0) == 0) {
        const auto found = xmp.findKey(Exiv2::XmpKey(key));
        if (value != "-")
          xmp[key] = value;
        else if (found != xmp.end())
          xmp.erase(found);
      } else {
        const auto found = exif.findKey(Exiv2::ExifKey(key));
        if (value != "-")
          exif[key] = value;
        else if (found != exif.end())
          exif.erase(found);
      }
    }
    image->writeMetadata();
  } catch (const Exiv2::AnyError& e) {
    throw std::runtime_error("cannot retag " + path + ": " + e.what());
  }
}

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
  if (design.interior_yaml) write_interior_yaml(truth);
  return truth;
}

}  // namespace aeroquilt::testing
