#pragma once
// Position, attitude and camera values a frame's EXIF and XMP tags carry.

#include <map>
#include <string>

namespace aeroquilt {

struct frame_tags {
  int width = 0, height = 0;  // pixels, from the image header
  // Position from EXIF GPS, else from XMP drone-dji:GpsLatitude and GpsLongitude (or the
  // misspelt GpsLongtitude). The first source present decides: one holding a value that
  // is no coordinate leaves the frame without a position, and `position_problem` says why.
  bool has_position = false;
  double latitude_deg = 0, longitude_deg = 0;
  const char* position_source = "";  // which tags gave it, for the summary
  std::string position_problem;      // why there is none, for the frame's line
  bool has_gps_altitude = false;
  // EXIF GPS altitude, else XMP drone-dji:AbsoluteAltitude (above the datum the receiver uses).
  double gps_altitude_m = 0;
  bool has_relative_altitude = false;
  double relative_altitude_m = 0;  // drone-dji:RelativeAltitude, above the take-off point
  // Camera attitude in the camera model's convention (pitch 0 looks straight down).
  bool has_attitude = false;
  double roll_deg = 0, pitch_deg = 0, heading_deg = 0;
  const char* attitude_source = "";  // which tags gave it
  // drone-dji calibration, in pixels of the full sensor (the frames may have been resized);
  // 0 when absent, NaN when the tag holds no number.
  double calibrated_focal_px = 0;                                 // CalibratedFocalLength
  double calibrated_centre_x_px = 0, calibrated_centre_y_px = 0;  // CalibratedOpticalCenterX/Y
  std::string dewarp_data;  // DewarpData as written: "DATE;fx,fy,cx,cy,k1,k2,p1,p2,k3"
  double focal_35mm = 0;    // EXIF FocalLengthIn35mmFilm, millimetres
};

// Reads the tags of the frame at `path`. False, with `error` set, when the file's
// metadata cannot be read at all.
bool read_frame_tags(const std::string& path, frame_tags& tags, std::string& error);

// Counts the frames by the tags that gave their position, for the summary.
class position_sources {
 public:
  void add(const frame_tags& tags);
  std::string text() const;  // "EXIF GPS 12, XMP drone-dji 3"

 private:
  std::map<std::string, int> counts_;
};

}  // namespace aeroquilt
