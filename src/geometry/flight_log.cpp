#include "geometry/flight_log.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <limits>
#include <memory>
#include <system_error>

#include "base/console.h"
#include "base/field_parsers.h"
#include "base/input_file.h"
#include "terrain/map_projection.h"

namespace aeroquilt {
namespace {

constexpr int kLineBufferSize = 1000;           // pieces of at most 999 characters
constexpr double kDefaultAngleLimitDeg = 80.0;  // used when the configured limit is 0
constexpr double kLargestLongitudeDeg = 180.0;  // beyond it, a position is UTM

struct file_closer {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using file_handle = std::unique_ptr<std::FILE, file_closer>;

// Where field `field` (from 1) starts: field - 1 comma searches, each starting
// over at 0 when the line runs out, so a missing field reads from wherever it lands.
size_t field_start(const char* line, int field) {
  const size_t length = strnlen(line, kLineBufferSize);
  size_t position = 0;
  for (int i = 1; i < field; ++i) {
    const void* comma = std::memchr(line + position, ',', length - position);
    position = comma ? static_cast<const char*>(comma) - line + 1 : 0;
  }
  return position;
}

// Fewer fields than name to heading: the comma search would wrap to the line's start
// and read the name's digits as altitude or attitude.
constexpr int kRequiredFields = 7;

// A piece that does not end its line (over 999 characters) is followed by the rest
// of that line; only the first piece of a line is a record. The line feed is looked
// for in the whole buffer, cleared before each read, so that a zero byte inside the
// line does not hide it.
bool ends_line(const char* piece, std::FILE* file) {
  return std::memchr(piece, '\n', kLineBufferSize) != nullptr || std::feof(file);
}

// True when the piece holds a zero byte before its line feed (the text after it would
// be lost to every field parser).
bool holds_zero_byte(const char* piece) {
  const void* line_feed = std::memchr(piece, '\n', kLineBufferSize);
  const size_t length = strnlen(piece, kLineBufferSize);
  return line_feed != nullptr &&
         length < static_cast<size_t>(static_cast<const char*>(line_feed) - piece);
}

// Reads the next piece into a cleared buffer.
char* read_piece(char* buffer, std::FILE* file) {
  std::memset(buffer, 0, kLineBufferSize);
  return std::fgets(buffer, kLineBufferSize, file);
}

// The UTF-8 byte-order mark some editors put at the start of a text file.
constexpr char kByteOrderMark[] = "\xEF\xBB\xBF";

// Reads pieces as the record pass does and counts the non-empty first pieces of lines.
int count_pieces(std::FILE* file) {
  int count = 0;
  char buffer[kLineBufferSize];
  if (std::feof(file)) return 0;
  bool line_start = true;
  while (read_piece(buffer, file) != nullptr) {
    if ((buffer[0] != '\0' || holds_zero_byte(buffer)) && line_start) ++count;
    line_start = ends_line(buffer, file);
    if (std::feof(file)) break;
  }
  return count;
}

int field_count(const char* line) {
  const size_t length = strnlen(line, kLineBufferSize);
  return 1 + static_cast<int>(std::count(line, line + length, ','));
}

// Position and attitude a camera can have: finite, latitude within the poles and
// longitude within one turn (after a UTM conversion, whose garbage lands outside).
bool record_in_range(const FPO_record& record) {
  for (double value : {record.latitude, record.longitude, record.altitude, record.roll,
                       record.pitch, record.heading}) {
    if (!std::isfinite(value)) return false;
  }
  return std::fabs(record.latitude) <= 90.0 && std::fabs(record.longitude) <= kLargestLongitudeDeg;
}

// The number parser skips to the next digit it sees, so a field holding text ("N/A",
// "unknown") or nothing would read the following field's number. Returns the first of the
// required number fields that is not a number, with its text, or 0.
int field_not_a_number(const char* line, std::string& text) {
  for (int k = 2; k <= kRequiredFields; ++k) {
    const char* start = line + field_start(line, k);
    text.assign(start, std::strcspn(start, ",\r\n"));
    const std::size_t first = text.find_first_not_of(" \t");
    text.erase(0, first == std::string::npos ? text.size() : first);
    text.erase(text.find_last_not_of(" \t") + 1);
    // What the number parser reads as a number: digits, sign, point, lowercase exponent.
    if (text.find_first_of("0123456789") == std::string::npos ||
        text.find_first_not_of("0123456789+-.e") != std::string::npos)
      return k;
  }
  return 0;
}

void fill_record(const char* line, FPO_record& record) {
  parse_text_field(line, 1, record.name);
  double* const numbers[] = {&record.latitude, &record.longitude, &record.altitude, &record.roll,
                             &record.pitch,    &record.heading,   &record.aux_8,    &record.aux_9};
  for (int k = 2; k <= 9; ++k) *numbers[k - 2] = parse_number(line + field_start(line, k));
}

// Opened and closed again: a FIFO, a device or a folder is no image (`reason` says what).
bool is_readable_file(const std::string& path, std::string& reason, bool& wrong_kind) {
  const int fd = open_regular_file(path, reason, &wrong_kind);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

}  // namespace

bool read_FPO_line(const char* line, int line_number, const std::string& path,
                   const flight_log_options& options, const std::string& image_dir,
                   FPO_record& record) {
  // The field parsers read a zero-filled line of at most 999 characters.
  char buffer[kLineBufferSize] = {};
  std::strncpy(buffer, line, kLineBufferSize - 1);
  const int fields = field_count(buffer);
  if (fields < kRequiredFields) {
    console_printf(
        "FPO file %s line %d has %d fields, 7 expected (name, latitude, longitude, altitude, "
        "roll, pitch, heading): line left out\n",
        path.c_str(), line_number, fields);
    return false;
  }
  std::string text;
  if (const int field = field_not_a_number(buffer, text)) {
    static const char* const kNames[] = {"latitude", "longitude", "altitude",
                                         "roll",     "pitch",     "heading"};
    console_printf("FPO file %s line %d: %s \"%s\" is not a number: line left out\n",
                   path.c_str(), line_number, kNames[field - 2], text.c_str());
    return false;
  }
  record = FPO_record{};
  fill_record(buffer, record);
  record.line_number = line_number;

  // Steep images are dropped on the logged angles, before scale and offset.
  const double angle_limit = options.projection_angle_limit == 0.0 ? kDefaultAngleLimitDeg
                                                                   : options.projection_angle_limit;
  if (std::fabs(record.roll) > angle_limit || std::fabs(record.pitch) > angle_limit) return false;

  if (std::fabs(record.longitude) > kLargestLongitudeDeg) {
    const double easting = record.latitude;
    const double northing = record.longitude;
    utm_to_geographic(easting, northing, utm_central_meridian(options.meridian_longitude),
                      record.latitude, record.longitude);
  }
  if (!record_in_range(record)) {
    console_printf(
        "FPO file %s line %d: position or attitude out of range (latitude %g, longitude %g, "
        "altitude %g, roll %g, pitch %g, heading %g): line left out\n",
        path.c_str(), line_number, record.latitude, record.longitude, record.altitude, record.roll,
        record.pitch, record.heading);
    return false;
  }
  record.path = image_dir + record.name;
  return true;
}

int read_flight_log(image_list& list, const std::string& path, const flight_log_options& options) {
  std::string reason;
  bool wrong_kind = false;
  file_handle file(fopen_regular_file(path, "r", reason, &wrong_kind));
  if (!file) {
    if (wrong_kind) {
      console_printf("FPO file %s is %s, not a regular file: refused\n", path.c_str(),
                     reason.c_str());
    } else {
      console_printf("FPO file not found \n%s\n", path.c_str());
    }
    return 0;
  }

  list.count = count_pieces(file.get());
  console_printf("%d lines in FPO file\n", list.count);

  std::rewind(file.get());
  list.records.assign(list.count, FPO_record{});

  char buffer[kLineBufferSize];
  int slot = 0;
  int line_number = 0;
  bool line_start = true;
  while (slot < list.count) {
    if (read_piece(buffer, file.get()) == nullptr) break;
    const bool continued = !line_start;
    line_start = ends_line(buffer, file.get());
    if (continued) continue;  // the rest of an over-long line, reported below
    ++line_number;
    if (line_number == 1 && std::strncmp(buffer, kByteOrderMark, 3) == 0) {
      // Left in place it would become part of the first image's name, unseen.
      console_printf("FPO file %s starts with a UTF-8 byte-order mark: skipped\n", path.c_str());
      std::memmove(buffer, buffer + 3, kLineBufferSize - 3);
      std::memset(buffer + kLineBufferSize - 3, 0, 3);
    }
    if (holds_zero_byte(buffer)) {
      console_printf("FPO file %s line %d holds a zero byte: line left out\n", path.c_str(),
                     line_number);
      list.records[slot].name.clear();
      --list.count;
      continue;
    }
    if (!line_start) {
      console_printf("FPO file %s line %d is longer than 999 characters: the rest is ignored\n",
                     path.c_str(), line_number);
    }
    if (buffer[0] == '\0') continue;  // not counted either
    FPO_record& record = list.records[slot];
    if (!read_FPO_line(buffer, line_number, path, options, list.image_dir, record)) {
      record.name.clear();
      --list.count;
      continue;
    }
    ++slot;
  }
  file.reset();

  check_images_exist(list);
  compact_image_list(list);
  console_printf("%d images found\n", list.count);
  pause_ms(1000);
  compute_survey_centre(list);
  return 1;
}

void check_images_exist(image_list& list) {
  for (int i = 0; i < list.count; ++i) {
    FPO_record& record = list.records[i];
    std::string reason;
    bool wrong_kind = false;
    record.found = is_readable_file(record.path, reason, wrong_kind) ? 1 : 0;
    if (record.found) continue;
    if (wrong_kind) {
      console_printf("image %s is %s, not a regular file: left out\n", record.path.c_str(),
                     reason.c_str());
    } else if (reason != "not found") {
      console_printf("image %s cannot be read: %s: left out\n", record.path.c_str(),
                     reason.c_str());
    } else {
      console_printf("image not found %s\n", record.path.c_str());
    }
  }
}

void compact_image_list(image_list& list) {
  int kept = 0;
  for (int i = 0; i < list.count; ++i) {
    if (!list.records[i].found) continue;
    if (kept != i) list.records[kept] = list.records[i];
    ++kept;
  }
  list.count = kept;
}

void compute_survey_centre(image_list& list) {
  if (list.count <= 0) {
    list.centre_lat = 0.0;
    list.centre_lon = 0.0;
    return;
  }
  double min_lat = std::numeric_limits<double>::infinity(), max_lat = -min_lat;
  double min_lon = min_lat, max_lon = -min_lat;
  for (int i = 0; i < list.count; ++i) {
    const FPO_record& record = list.records[i];
    min_lat = std::fmin(min_lat, record.latitude);
    max_lat = std::fmax(max_lat, record.latitude);
    min_lon = std::fmin(min_lon, record.longitude);
    max_lon = std::fmax(max_lon, record.longitude);
  }
  list.centre_lat = (max_lat - min_lat) * 0.5 + min_lat;
  list.centre_lon = (max_lon - min_lon) * 0.5 + min_lon;
}

}  // namespace aeroquilt
