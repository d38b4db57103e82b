#pragma once
// Position, attitude and camera values a frame's EXIF and XMP tags carry.

#include <string>

namespace aeroquilt {

struct frame_tags {
  int width = 0, height = 0;  // pixels, from the image header
  bool has_position = false;
  double latitude_deg = 0, longitude_deg = 0;  // EXIF GPS
  bool has_gps_altitude = false;
  double gps_altitude_m = 0;  // EXIF GPS altitude (above the datum the receiver uses)
  bool has_relative_altitude = false;
  double relative_altitude_m = 0;  // drone-dji:RelativeAltitude, above the take-off point
  // Camera attitude in the camera model's convention (pitch 0 looks straight down).
  bool has_attitude = false;
  double roll_deg = 0, pitch_deg = 0, heading_deg = 0;
  const char* attitude_source = "";  // which tags gave it
  double calibrated_focal_px = 0;    // drone-dji:CalibratedFocalLength
  double focal_35mm = 0;             // EXIF FocalLengthIn35mmFilm, millimetres
};

// Reads the tags of the frame at `path`. False, with `error` set, when the file's
// metadata cannot be read at all.
bool read_frame_tags(const std::string& path, frame_tags& tags, std::string& error);

}  // namespace aeroquilt
