#pragma once
// Makes a ready survey from a folder of tagged frames, a terrain raster and,
// optionally, a lens calibration: survey.cfg, flight_log.txt, terrain.dem and frames/,
// a folder of links by which the run reads the frames.

#include <optional>
#include <string>

namespace aeroquilt {

enum class altitude_mode {
  absolute,  // EXIF GPS altitude, on the DEM's vertical datum
  relative,  // drone-dji:RelativeAltitude plus the take-off point's ground height
};

struct prepare_options {
  std::string image_dir;
  std::string dem_path;
  std::string out_dir;
  std::string camera_file;  // empty: camera from the frames' tags
  std::string poses_csv;    // empty: poses from the frames' tags (see pose_table.h)
  std::string poses_crs;    // CRS of a projected poses file
  altitude_mode altitude = altitude_mode::absolute;
  double height_offset_m = 0;  // added to every frame's altitude
  double pixel_size_m = 0;     // 0: from the frames' ground sample distance
  // Ground height of the take-off point above the DEM's datum (--altitude relative);
  // absent: the lowest DEM height near the first frame.
  std::optional<double> takeoff_height_m;
  // The run refuses an output pixel this many times finer than the frames' ground
  // sample distance (app/job_size.cpp); so does prepare.
  double finest_pixel_ratio = 20.0;
};

// Reads everything, prints what it found and writes the files and the links (made
// under temporary names first). Throws prepare_failure with the reason when the
// survey cannot be made or the run would refuse it; nothing is written then.
void prepare_survey(const prepare_options& options);

}  // namespace aeroquilt
