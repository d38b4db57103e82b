#include "prepare/prepare_survey.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <vector>

#include "base/console.h"
#include "base/local_frame.h"
#include "geometry/camera_model.h"
#include "geometry/flight_log.h"
#include "geometry/footprints.h"
#include "prepare/camera_setup.h"
#include "prepare/frame_tags.h"
#include "prepare/prepare_failure.h"
#include "prepare/survey_frames.h"
#include "prepare/survey_output.h"
#include "prepare/terrain_import.h"

namespace aeroquilt {
namespace {

namespace fs = std::filesystem;

constexpr double kMinMarginM = 200.0;
// The take-off ground is the DEM's lowest ground this close to the first frame: on a
// surface model the cell below it may be a roof or a tree.
constexpr double kTakeOffRadiusM = 30.0;
// The DEM grid's most nodes: the run packs 92 bytes per node of a view.
constexpr double kMaxDemNodes = 4e6;

bool names_raw_frame(const std::string& text) {
  return text.find("rgb") != std::string::npos || text.find("RGB") != std::string::npos;
}

std::string folder_text(const std::string& folder) {
  std::string text = fs::absolute(folder).lexically_normal().string();
  if (text.empty() || text.back() != '/') text += '/';
  return text;
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

// The frames' footprints on flat ground at `ground_m`, in the local frame about the
// survey centre.
struct footprint_extent {
  local_frame frame;
  double centre_lon = 0;
  double x_lo = 1e300, x_hi = -1e300, y_lo = 1e300, y_hi = -1e300;

  geo_box box(double margin_m) const {
    geo_box b;
    local_to_geographic(x_lo - margin_m, y_lo - margin_m, frame, b.south, b.west);
    local_to_geographic(x_hi + margin_m, y_hi + margin_m, frame, b.north, b.east);
    return b;
  }
};

footprint_extent survey_footprints(const std::vector<survey_frame>& frames, int width, int height,
                                   double focal_px, double ground_m) {
  image_list list;
  for (const survey_frame& frame : frames) {
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
  model.topo_height = ground_m;
  footprint_extent extent;
  extent.frame = make_local_frame(list.centre_lat, list.centre_lon);
  extent.centre_lon = list.centre_lon;
  for (int i = 0; i < list.count; ++i) {
    image_geometry geometry;
    build_camera_model(geometry, model, list, i);
    if (project_footprint_flat(geometry) == 0) {
      throw prepare_failure("frame " + frames[i].name +
                            " looks at or above the horizon: its attitude cannot be right");
    }
    for (int row = 0; row < 4; ++row) {
      extent.x_lo = std::min(extent.x_lo, geometry.footprint_corners(row, 0));
      extent.x_hi = std::max(extent.x_hi, geometry.footprint_corners(row, 0));
      extent.y_lo = std::min(extent.y_lo, geometry.footprint_corners(row, 1));
      extent.y_hi = std::max(extent.y_hi, geometry.footprint_corners(row, 1));
    }
  }
  return extent;
}

std::string flight_log_text(const std::vector<survey_frame>& frames) {
  std::string log;
  for (const survey_frame& f : frames) {
    log += f.link_name + "," + number_text("%.10f", f.tags.latitude_deg) + "," +
           number_text("%.10f", f.tags.longitude_deg) + "," + number_text("%.4f", f.altitude_m) +
           "," + number_text("%.6f", f.tags.roll_deg) + "," +
           number_text("%.6f", f.tags.pitch_deg) + "," + number_text("%.6f", f.tags.heading_deg) +
           ",0,0\n";
  }
  return log;
}

std::string config_text(const survey_frames& found, const camera_setup& camera,
                        double topo_height_m, double meridian_deg, const std::string& out_dir,
                        double pixel_size_m) {
  std::string config = "# survey made by aeroquilt prepare\n";
  const auto key = [&config](const char* name, const std::string& value) {
    config += std::string(name) + "," + value + "\n";
  };
  key("image_width_pixels", std::to_string(found.width));
  key("image_height_pixels", std::to_string(found.height));
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
  key("meridian_longitude", number_text("%.6f", meridian_deg));
  key("DEM_filename", out_dir + "terrain.dem");
  key("USE_DEM", "1");
  key("image_dir", out_dir + kFramesFolder + "/");
  key("FPO_file", out_dir + "flight_log.txt");
  key("output_dir", out_dir + "out/");
  key("output_filename", "mosaic.png");
  key("output_pixel_size", number_text("%.6g", pixel_size_m));
  key("output_tile_size_pixels", "0");
  key("image_data_multiplier", "1");
  return config;
}

}  // namespace

void prepare_survey(const prepare_options& options) {
  // The run reads the frames through OUT_DIR/frames/: a path holding "rgb" would make
  // every one a raw frame, and a comma would end the configuration's value.
  const std::string out_dir = folder_text(options.out_dir);
  if (names_raw_frame(out_dir)) {
    throw prepare_failure("the output folder " + out_dir +
                          " holds \"rgb\" in its path: the run would read every frame through it "
                          "as a raw frame; give another OUT_DIR");
  }
  if (out_dir.find(',') != std::string::npos) {
    throw prepare_failure("the output folder " + out_dir +
                          " holds a comma, which the configuration cannot carry");
  }
  check_frames_folder(out_dir);
  survey_frames found = read_survey_frames(options);
  std::vector<survey_frame>& frames = found.frames;
  const int width = found.width, height = found.height;

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
  std::string take_off_text;
  if (options.altitude == altitude_mode::relative) {
    double take_off_m = 0;
    const frame_tags& first = frames[0].tags;
    if (options.takeoff_height_m) {
      take_off_m = *options.takeoff_height_m;
      take_off_text = "given with --takeoff-height";
    } else if (terrain.ground_height_near(first.latitude_deg, first.longitude_deg, kTakeOffRadiusM,
                                          take_off_m)) {
      take_off_text = "the DEM's lowest ground within " + number_text("%g", kTakeOffRadiusM) +
                      " m of the first frame " + frames[0].name;
    } else {
      throw prepare_failure("the DEM " + options.dem_path + " has no height near the first frame " +
                            frames[0].name +
                            ", the take-off point of --altitude relative: give --takeoff-height");
    }
    take_off_text = number_text("%.2f m, ", take_off_m) + take_off_text;
    for (survey_frame& frame : frames) frame.altitude_m += take_off_m;
  }
  double lowest_ground_m = std::numeric_limits<double>::infinity();
  std::vector<double> sample_distances;
  std::vector<survey_frame> above;
  for (survey_frame& frame : frames) {
    if (!terrain.covers(frame.tags.latitude_deg, frame.tags.longitude_deg)) {
      throw prepare_failure("the DEM " + options.dem_path + " does not cover the survey: frame " +
                            frame.name + " lies outside it");
    }
    if (terrain.height_at(frame.tags.latitude_deg, frame.tags.longitude_deg, frame.ground_m)) {
      if (!(frame.altitude_m > frame.ground_m)) {
        console_printf(
            "frame %s left out: its camera is %.1f m, the DEM ground below it %.1f m (another "
            "vertical datum? see --altitude and --height-offset)\n",
            frame.name.c_str(), frame.altitude_m, frame.ground_m);
        ++found.left_out;
        continue;
      }
      lowest_ground_m = std::min(lowest_ground_m, frame.ground_m);
      sample_distances.push_back((frame.altitude_m - frame.ground_m) / focal_px);
    }
    above.push_back(frame);
  }
  frames.swap(above);
  if (sample_distances.empty()) {
    throw prepare_failure("the DEM " + options.dem_path +
                          " has no height below any frame, or every camera is below it");
  }
  const int count = static_cast<int>(frames.size());
  for (int k = 0; k < count; ++k)
    frames[k].link_name = frame_link_name(k, count, frames[k].name, frames[k].format);

  // The pixel size, refused where the run would refuse it.
  const double finest_m = *std::min_element(sample_distances.begin(), sample_distances.end());
  std::nth_element(sample_distances.begin(), sample_distances.begin() + sample_distances.size() / 2,
                   sample_distances.end());
  const double pixel_size_m =
      options.pixel_size_m > 0
          ? options.pixel_size_m
          : round_significant(sample_distances[sample_distances.size() / 2], 3);
  if (!(pixel_size_m * options.finest_pixel_ratio >= finest_m)) {
    throw prepare_failure("--pixel-size " + number_text("%g", pixel_size_m) + " m is more than " +
                          number_text("%g", options.finest_pixel_ratio) +
                          " times finer than the frames' ground sample distance (" +
                          number_text("%.3g", finest_m) + " m at best): the run would refuse it");
  }

  // The DEM over the footprints on flat ground at the lowest height below a camera, and
  // a margin.
  const footprint_extent extent =
      survey_footprints(frames, width, height, focal_px, lowest_ground_m);
  const double margin_m =
      std::max(kMinMarginM, 0.25 * std::max(extent.x_hi - extent.x_lo, extent.y_hi - extent.y_lo));
  const dem_cell_choice cell = choose_dem_cell(extent.box(margin_m), terrain.cell_m(), pixel_size_m,
                                               margin_m / 4, kMaxDemNodes);
  const geographic_dem dem =
      terrain.to_geographic(extent.box(0.0), extent.box(margin_m), cell.cell_deg);
  const double topo_height_m =
      std::floor(*std::min_element(dem.heights_m.begin(), dem.heights_m.end()));

  const std::string config =
      config_text(found, camera, topo_height_m, extent.centre_lon, out_dir, pixel_size_m);

  console_printf("frames: %d used, %d left out\n", count, found.left_out);
  position_sources sources;
  for (const survey_frame& f : frames) sources.add(f.tags);
  console_printf("positions: %s\n", sources.text().c_str());
  console_printf("frames read through %s%s/ as:\n", out_dir.c_str(), kFramesFolder);
  for (const survey_frame& f : frames)
    console_printf("  %s  %s\n", f.link_name.c_str(), f.name.c_str());
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
  if (!take_off_text.empty()) console_printf("take-off ground: %s\n", take_off_text.c_str());
  console_printf(
      "DEM: %s (%s, cell %.3g m) resampled to %d x %d cells of %.9g degrees over latitude %.6f "
      "to %.6f, longitude %.6f to %.6f; topo_height %.1f m\n",
      options.dem_path.c_str(), terrain.crs_name().c_str(), terrain.cell_m(), dem.columns, dem.rows,
      dem.cell_deg, dem.south_lat + dem.cell_deg, dem.south_lat + dem.rows * dem.cell_deg,
      dem.west_lon, dem.west_lon + (dem.columns - 1) * dem.cell_deg, topo_height_m);
  console_printf(
      "DEM cell: %.3g m from %s, rounded up to %d times the single-precision spacing of %.3g "
      "degrees there, so that the run's nodes fall on the grid",
      cell.wanted_m, cell.limit,
      static_cast<int>(std::lround(cell.cell_deg / cell.float_spacing_deg)),
      cell.float_spacing_deg);
  if (dem.source_step > 1)
    console_printf("; the source read averaged over %d x %d cells", dem.source_step,
                   dem.source_step);
  console_printf("\n");
  console_printf("pixel size: %g m (%s)\n", pixel_size_m,
                 options.pixel_size_m > 0 ? "given" : "median ground sample distance");

  std::vector<std::pair<std::string, std::string>> links;
  for (const survey_frame& f : frames) links.emplace_back(f.link_name, f.target);
  write_survey(out_dir,
               {{"terrain.dem", dem_file_bytes(dem, topo_height_m)},
                {"flight_log.txt", flight_log_text(frames)},
                {"survey.cfg", config}},
               links);
  console_printf("survey ready: %ssurvey.cfg\n", out_dir.c_str());
}

}  // namespace aeroquilt
