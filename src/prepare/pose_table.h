#pragma once
// A table of frame positions and attitudes as other tools write it: geographic with
// roll, pitch, yaw, or projected in a given CRS with omega, phi, kappa.

#include <map>
#include <string>

namespace aeroquilt {

// A frame's pose in the flight log's terms.
struct table_pose {
  double latitude_deg = 0, longitude_deg = 0, altitude_m = 0;
  double roll_deg = 0, pitch_deg = 0, heading_deg = 0;  // the camera model's angles
  int line = 0;                                         // in the file, from 1
};

class pose_table {
 public:
  // Reads the file at `path` (a regular file only). Its first line names the columns
  // (any order, case ignored), separated as every line is: by tabs, commas or
  // semicolons when the first line holds one (in that order of preference), else by
  // runs of spaces; a cell may be quoted with ' or " (and then hold the separator); a
  // UTF-8 byte-order mark is dropped. Columns: a name (name, image, file or filename)
  // and either
  //   latitude, longitude, altitude, roll, pitch, yaw  (degrees; the camera model's angles)
  // or, with `crs` (anything GDAL's SetFromUserInput takes, e.g. EPSG:32632),
  //   x, y, z, omega, phi, kappa  (map units and degrees; R = Rx(omega) Ry(phi) Rz(kappa)
  //   turns camera axes x right, y up, z out of the back of the camera into map axes x,
  //   y, z up), converted through GDAL with the grid-north bearing at each frame.
  // A line that cannot be read is named and skipped. Throws prepare_failure when the
  // file, its header or the CRS cannot be used, or a name appears twice.
  pose_table(const std::string& path, const std::string& crs);

  // The pose of the frame file `frame_name`, listed with or without its extension;
  // nullptr when the table has none. Throws prepare_failure when it is listed both ways.
  const table_pose* find(const std::string& frame_name) const;

  const std::string& path() const { return path_; }
  std::size_t size() const { return poses_.size(); }

 private:
  std::string path_;
  std::map<std::string, table_pose> poses_;
};

}  // namespace aeroquilt
