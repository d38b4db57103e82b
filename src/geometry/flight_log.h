#pragma once
// The flight log (FPO file): one image per line with its position and attitude.

#include <cstdint>
#include <string>
#include <vector>

namespace aeroquilt {

struct FPO_record {
  std::string name;     // field 1
  double latitude = 0;  // degrees (after a UTM conversion, the converted latitude)
  double longitude = 0;
  double altitude = 0;  // metres
  double roll = 0;      // degrees as logged
  double pitch = 0;
  double heading = 0;
  double aux_8 = 0;
  double aux_9 = 0;
  std::string path;  // image folder text followed by name
  uint8_t found = 0;
  int line_number = 0;  // 1-based line of the flight log
};

struct image_list {
  int32_t count = 0;
  std::vector<FPO_record> records;  // allocated once for the number of lines
  double centre_lat = 0;            // degrees
  double centre_lon = 0;
  std::string image_dir;
};

// What the reader takes from the configuration.
struct flight_log_options {
  double projection_angle_limit =
      0;                          // degrees of roll or pitch beyond which a line is dropped; 0: 80
  double meridian_longitude = 0;  // degrees; selects the UTM zone of logged UTM positions
};

// One line of the flight log at `path` (its text up to the line end; only the first 999
// characters count) as a record whose image is in `image_dir`. False when the line is
// left out: too few fields or a position out of range (the reason printed), or a steep
// image (silently).
bool read_FPO_line(const char* line, int line_number, const std::string& path,
                   const flight_log_options& options, const std::string& image_dir,
                   FPO_record& record);

// Reads the flight log into `list` (whose image_dir is set). 1 when the file opened.
int read_flight_log(image_list& list, const std::string& path, const flight_log_options& options);

// Sets `found` for each record and reports the missing ones.
void check_images_exist(image_list& list);

// Moves the found records to the front, in order, and sets `count`.
void compact_image_list(image_list& list);

// Sets the survey centre to the middle of the positions' bounding box.
void compute_survey_centre(image_list& list);

}  // namespace aeroquilt
