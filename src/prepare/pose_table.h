#pragma once
// A CSV of frame positions and attitudes: geographic with roll, pitch, yaw, or
// projected in a given CRS with omega, phi, kappa.

#include <map>
#include <string>

namespace aeroquilt {

// A frame's pose in the flight log's terms.
struct table_pose {
  double latitude_deg = 0, longitude_deg = 0, altitude_m = 0;
  double roll_deg = 0, pitch_deg = 0, heading_deg = 0;  // the camera model's angles
};

// Reads the CSV at `path`, keyed by frame name. Its first line names the columns
// (any order, case ignored): a name column (name, image, file or filename) and either
//   latitude, longitude, altitude, roll, pitch, yaw  (degrees; the camera model's angles)
// or, with `crs` (anything GDAL's SetFromUserInput takes, e.g. EPSG:32632),
//   x, y, z, omega, phi, kappa  (map units and degrees; R = Rx(omega) Ry(phi) Rz(kappa)
//   turns camera axes x right, y up, z out of the back of the camera into map axes x,
//   y, z up), converted through GDAL with the grid-north bearing at each frame.
// A line that cannot be read is named and skipped. Throws prepare_failure when the
// file, its header or the CRS cannot be used.
std::map<std::string, table_pose> read_pose_table(const std::string& path, const std::string& crs);

}  // namespace aeroquilt
