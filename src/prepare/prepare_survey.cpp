#include "prepare/prepare_survey.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <vector>

#include "base/console.h"
#include "base/local_frame.h"
#include "geometry/camera_model.h"
#include "geometry/flight_log.h"
#include "geometry/footprints.h"
#include "prepare/camera_setup.h"
#include "prepare/frame_tags.h"
#include "prepare/pose_table.h"
#include "prepare/prepare_failure.h"
#include "prepare/terrain_import.h"

namespace aeroquilt {
namespace {

namespace fs = std::filesystem;

constexpr double kMetresPerDegreeLat = 111320.0;
constexpr double kMinMarginM = 200.0;

struct frame_pose {
  std::string name;
  frame_tags tags;
  double altitude_m = 0;
  double ground_m = 0;  // DEM height below the camera
};

std::string lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

bool is_frame_file(const fs::path& path) {
  const std::string extension = lower(path.extension().string());
  return extension == ".jpg" || extension == ".jpeg" || extension == ".tif" || extension == ".tiff";
}

bool names_raw_frame(const std::string& text) {
  return text.find("rgb") != std::string::npos || text.find("RGB") != std::string::npos;
}

std::string folder_text(const std::string& folder) {
  std::string text = fs::absolute(folder).lexically_normal().string();
  if (text.empty() || text.back() != '/') text += '/';
  return text;
}

// Frames in name order, each with its tags and altitude; the others named and left out.
std::vector<frame_pose> read_frames(const prepare_options& options, int& left_out) {
  std::error_code error;
  if (!fs::is_directory(options.image_dir, error)) {
    throw prepare_failure("the image folder " + options.image_dir + " is not a folder");
  }
  std::vector<std::string> names;
  for (const fs::directory_entry& entry : fs::directory_iterator(options.image_dir, error)) {
    if (entry.is_regular_file() && is_frame_file(entry.path()))
      names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  if (names.empty()) {
    throw prepare_failure("the image folder " + options.image_dir + " holds no JPEG or TIFF frame");
  }

  std::map<std::string, table_pose> table;
  if (!options.poses_csv.empty()) {
    if (options.altitude == altitude_mode::relative)
      throw prepare_failure(
          "--altitude relative reads the frames' tags; a poses file gives absolute altitudes");
    table = read_pose_table(options.poses_csv, options.poses_crs);
  }
  std::vector<frame_pose> frames;
  left_out = 0;
  const auto leave_out = [&](const std::string& name, const std::string& why) {
    console_printf("frame %s left out: %s\n", name.c_str(), why.c_str());
    ++left_out;
  };
  const bool relative = options.altitude == altitude_mode::relative;
  for (const std::string& name : names) {
    frame_pose frame;
    frame.name = name;
    std::string reason;
    if (name.find(',') != std::string::npos) {
      leave_out(name, "its name holds a comma, which the flight log cannot carry");
      continue;
    }
    if (names_raw_frame(name)) {
      leave_out(name, "its name holds \"rgb\", which marks raw frames");
      continue;
    }
    if (!read_frame_tags(options.image_dir + "/" + name, frame.tags, reason)) {
      leave_out(name, "its tags cannot be read (" + reason + ")");
      continue;
    }
    frame_tags& tags = frame.tags;
    if (!options.poses_csv.empty()) {
      const auto pose = table.find(name);
      if (pose == table.end()) {
        leave_out(name, "no line in the poses file " + options.poses_csv);
        continue;
      }
      tags.has_position = tags.has_attitude = tags.has_gps_altitude = true;
      tags.latitude_deg = pose->second.latitude_deg;
      tags.longitude_deg = pose->second.longitude_deg;
      tags.gps_altitude_m = pose->second.altitude_m;
      tags.roll_deg = pose->second.roll_deg;
      tags.pitch_deg = pose->second.pitch_deg;
      tags.heading_deg = pose->second.heading_deg;
    }
    if (!tags.has_position) {
      leave_out(name, "no GPS position (EXIF GPSLatitude and GPSLongitude)");
      continue;
    }
    if (!tags.has_attitude) {
      leave_out(name,
                "no camera attitude (XMP drone-dji:GimbalRollDegree, GimbalPitchDegree, "
                "GimbalYawDegree or Camera:Roll, Pitch, Yaw)");
      continue;
    }
    if (relative ? !tags.has_relative_altitude : !tags.has_gps_altitude) {
      leave_out(name, relative ? "no XMP drone-dji:RelativeAltitude (--altitude relative)"
                               : "no EXIF GPSAltitude (--altitude absolute)");
      continue;
    }
    if (!frames.empty() &&
        (tags.width != frames[0].tags.width || tags.height != frames[0].tags.height)) {
      leave_out(name, "it is " + std::to_string(tags.width) + " x " + std::to_string(tags.height) +
                          " pixels, the first frame " + std::to_string(frames[0].tags.width) +
                          " x " + std::to_string(frames[0].tags.height));
      continue;
    }
    frame.altitude_m =
        (relative ? tags.relative_altitude_m : tags.gps_altitude_m) + options.height_offset_m;
    frames.push_back(frame);
  }
  if (frames.empty()) {
    throw prepare_failure("no frame has a position, an attitude and an altitude");
  }
  return frames;
}

double round_significant(double value, int digits) {
  const double scale = std::pow(10.0, digits - 1 - std::floor(std::log10(value)));
  return std::round(value * scale) / scale;
}

std::string number_text(const char* format, double value) {
  char text[64];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

// The bytes of a DEM file (see terrain/dem_file.h), heights relative to topo_height.
std::string dem_file_bytes(const geographic_dem& dem, double topo_height_m) {
  std::string bytes;
  const auto put = [&bytes](const void* value, std::size_t size) {
    bytes.append(static_cast<const char*>(value), size);  // little-endian hosts only
  };
  const int32_t columns = dem.columns, rows = dem.rows;
  put(&columns, 4);
  put(&rows, 4);
  put(&dem.west_lon, 8);
  put(&dem.south_lat, 8);
  put(&dem.cell_deg, 8);
  for (float height : dem.heights_m) {
    const float relative = static_cast<float>(height - topo_height_m);
    put(&relative, 4);
  }
  return bytes;
}

// Writes every file under a temporary name, then renames them all; on a failure the
// temporaries go and nothing is left.
void write_files(const std::string& folder,
                 const std::vector<std::pair<std::string, std::string>>& files) {
  std::error_code error;
  fs::create_directories(folder, error);
  if (error) throw prepare_failure("cannot create the folder " + folder + ": " + error.message());
  std::vector<std::string> written;
  const auto discard = [&] {
    for (const std::string& path : written) fs::remove(path + ".part", error);
  };
  for (const auto& [name, bytes] : files) {
    const std::string path = folder + name;
    std::ofstream out(path + ".part", std::ios::binary);
    written.push_back(path);
    if (!out.write(bytes.data(), static_cast<std::streamsize>(bytes.size())) ||
        !(out.close(), out)) {
      discard();
      throw prepare_failure("cannot write " + path);
    }
  }
  for (const std::string& path : written) fs::rename(path + ".part", path, error);
  if (error) {
    discard();
    throw prepare_failure("cannot rename the files in " + folder + ": " + error.message());
  }
}

}  // namespace

void prepare_survey(const prepare_options& options) {
  const std::string image_dir = folder_text(options.image_dir);
  if (names_raw_frame(image_dir)) {
    throw prepare_failure("the image folder " + image_dir +
                          " holds \"rgb\" in its path: the run would read every frame as a raw "
                          "frame; rename or link the folder");
  }
  int left_out = 0;
  std::vector<frame_pose> frames = read_frames(options, left_out);
  const int width = frames[0].tags.width, height = frames[0].tags.height;

  const camera_setup camera = options.camera_file.empty()
                                  ? camera_from_tags(frames[0].tags)
                                  : camera_from_calibration(options.camera_file, width, height);
  double focal_px = camera.lens.focal_length_px;
  if (camera.lens.active()) {
    const lens_undistorter undistorter(camera.lens, width, height);
    if (!undistorter.active())
      throw prepare_failure("the lens of " + camera.source + " cannot be corrected");
    focal_px = undistorter.ideal_focal_px();
  }

  const terrain_raster terrain(options.dem_path);
  if (options.altitude == altitude_mode::relative) {
    double take_off_m = 0;
    const frame_tags& first = frames[0].tags;
    if (!terrain.height_at(first.latitude_deg, first.longitude_deg, take_off_m)) {
      throw prepare_failure("the DEM " + options.dem_path +
                            " has no height below the first frame " + frames[0].name +
                            ", the take-off point of --altitude relative");
    }
    for (frame_pose& frame : frames) frame.altitude_m += take_off_m;
  }
  double lowest_ground_m = std::numeric_limits<double>::infinity();
  std::vector<double> sample_distances;
  for (frame_pose& frame : frames) {
    if (!terrain.covers(frame.tags.latitude_deg, frame.tags.longitude_deg)) {
      throw prepare_failure("the DEM " + options.dem_path + " does not cover the survey: frame " +
                            frame.name + " lies outside it");
    }
    if (!terrain.height_at(frame.tags.latitude_deg, frame.tags.longitude_deg, frame.ground_m))
      continue;
    lowest_ground_m = std::min(lowest_ground_m, frame.ground_m);
    sample_distances.push_back((frame.altitude_m - frame.ground_m) / focal_px);
  }
  if (sample_distances.empty()) {
    throw prepare_failure("the DEM " + options.dem_path + " has no height below any frame");
  }

  // Footprints on flat ground at the lowest height below a camera bound the DEM.
  image_list list;
  for (const frame_pose& frame : frames) {
    FPO_record record;
    record.name = frame.name;
    record.latitude = frame.tags.latitude_deg;
    record.longitude = frame.tags.longitude_deg;
    record.altitude = frame.altitude_m;
    record.roll = frame.tags.roll_deg;
    record.pitch = frame.tags.pitch_deg;
    record.heading = frame.tags.heading_deg;
    list.records.push_back(record);
  }
  list.count = static_cast<int>(list.records.size());
  compute_survey_centre(list);
  camera_options model;
  model.image_width_pixels = width;
  model.image_height_pixels = height;
  model.image_kx = focal_px;
  model.RPH_scale[0] = model.RPH_scale[1] = model.RPH_scale[2] = 1.0;
  model.topo_height = lowest_ground_m;
  const local_frame frame = make_local_frame(list.centre_lat, list.centre_lon);
  double x_lo = 1e300, x_hi = -1e300, y_lo = 1e300, y_hi = -1e300;
  for (int i = 0; i < list.count; ++i) {
    image_geometry geometry;
    build_camera_model(geometry, model, list, i);
    if (project_footprint_flat(geometry) == 0) {
      throw prepare_failure("frame " + frames[i].name +
                            " looks at or above the horizon: its attitude cannot be right");
    }
    for (int row = 0; row < 4; ++row) {
      x_lo = std::min(x_lo, geometry.footprint_corners(row, 0));
      x_hi = std::max(x_hi, geometry.footprint_corners(row, 0));
      y_lo = std::min(y_lo, geometry.footprint_corners(row, 1));
      y_hi = std::max(y_hi, geometry.footprint_corners(row, 1));
    }
  }
  const auto box = [&](double margin_m) {
    geo_box b;
    local_to_geographic(x_lo - margin_m, y_lo - margin_m, frame, b.south, b.west);
    local_to_geographic(x_hi + margin_m, y_hi + margin_m, frame, b.north, b.east);
    return b;
  };
  const double margin_m = std::max(kMinMarginM, 0.25 * std::max(x_hi - x_lo, y_hi - y_lo));
  const double cell_deg = terrain.cell_m() / kMetresPerDegreeLat;
  const geographic_dem dem = terrain.to_geographic(box(0.0), box(margin_m), cell_deg);
  const double topo_height_m =
      std::floor(*std::min_element(dem.heights_m.begin(), dem.heights_m.end()));

  std::nth_element(sample_distances.begin(), sample_distances.begin() + sample_distances.size() / 2,
                   sample_distances.end());
  const double pixel_size_m =
      options.pixel_size_m > 0
          ? options.pixel_size_m
          : round_significant(sample_distances[sample_distances.size() / 2], 3);

  const std::string out_dir = folder_text(options.out_dir);
  std::string log;
  for (const frame_pose& f : frames) {
    log += f.name + "," + number_text("%.10f", f.tags.latitude_deg) + "," +
           number_text("%.10f", f.tags.longitude_deg) + "," + number_text("%.4f", f.altitude_m) +
           "," + number_text("%.6f", f.tags.roll_deg) + "," +
           number_text("%.6f", f.tags.pitch_deg) + "," + number_text("%.6f", f.tags.heading_deg) +
           ",0,0\n";
  }
  std::string config = "# survey made by aeroquilt prepare\n";
  const auto key = [&config](const char* name, const std::string& value) {
    config += std::string(name) + "," + value + "\n";
  };
  key("image_width_pixels", std::to_string(width));
  key("image_height_pixels", std::to_string(height));
  key("image_channels", "3");
  key("image_kx", number_text("%.6f", camera.lens.focal_length_px));
  if (camera.lens.active()) {
    key("lens_principal_offset_x", number_text("%.6f", camera.lens.principal_offset_x));
    key("lens_principal_offset_y", number_text("%.6f", camera.lens.principal_offset_y));
    key("lens_k1", number_text("%.10g", camera.lens.k1));
    key("lens_k2", number_text("%.10g", camera.lens.k2));
    key("lens_p1", number_text("%.10g", camera.lens.p1));
    key("lens_p2", number_text("%.10g", camera.lens.p2));
    key("lens_k3", number_text("%.10g", camera.lens.k3));
  }
  for (const char* name : {"RPH_scale[0]", "RPH_scale[1]", "RPH_scale[2]"}) key(name, "1");
  for (const char* name : {"RPH_offset[0]", "RPH_offset[1]", "RPH_offset[2]"}) key(name, "0");
  key("topo_height", number_text("%.1f", topo_height_m));
  key("meridian_longitude", number_text("%.6f", list.centre_lon));
  key("DEM_filename", out_dir + "terrain.dem");
  key("USE_DEM", "1");
  key("image_dir", image_dir);
  key("FPO_file", out_dir + "flight_log.txt");
  key("output_dir", out_dir + "out/");
  key("output_filename", "mosaic.png");
  key("output_pixel_size", number_text("%.6g", pixel_size_m));
  key("output_tile_size_pixels", "0");
  key("image_data_multiplier", "1");
  for (const std::string& path : {out_dir + "terrain.dem", out_dir + "flight_log.txt", image_dir}) {
    if (path.find(',') != std::string::npos)
      throw prepare_failure("the path " + path +
                            " holds a comma, which the configuration cannot carry");
  }

  console_printf("frames: %d used, %d left out\n", static_cast<int>(frames.size()), left_out);
  console_printf("camera: %d x %d pixels, focal length %.3f pixels from %s", width, height,
                 camera.lens.focal_length_px, camera.source.c_str());
  if (camera.lens.active()) {
    console_printf(
        "; principal point offset %.3f %.3f pixels, k1 %g k2 %g p1 %g p2 %g k3 %g (frames "
        "resampled to focal length %.3f pixels)",
        camera.lens.principal_offset_x, camera.lens.principal_offset_y, camera.lens.k1,
        camera.lens.k2, camera.lens.p1, camera.lens.p2, camera.lens.k3, focal_px);
  }
  console_printf("\n");
  console_printf(
      "DEM: %s (%s, cell %.3g m) resampled to %d x %d cells of %.3g degrees over "
      "latitude %.6f to %.6f, longitude %.6f to %.6f; topo_height %.1f m\n",
      options.dem_path.c_str(), terrain.crs_name().c_str(), terrain.cell_m(), dem.columns, dem.rows,
      dem.cell_deg, dem.south_lat + dem.cell_deg, dem.south_lat + dem.rows * dem.cell_deg,
      dem.west_lon, dem.west_lon + (dem.columns - 1) * dem.cell_deg, topo_height_m);
  console_printf("pixel size: %g m (%s)\n", pixel_size_m,
                 options.pixel_size_m > 0 ? "given" : "median ground sample distance");

  write_files(out_dir, {{"terrain.dem", dem_file_bytes(dem, topo_height_m)},
                        {"flight_log.txt", log},
                        {"survey.cfg", config}});
  console_printf("survey ready: %ssurvey.cfg\n", out_dir.c_str());
}

}  // namespace aeroquilt
