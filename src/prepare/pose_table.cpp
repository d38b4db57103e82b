#include "prepare/pose_table.h"

#include <ogr_spatialref.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "base/console.h"
#include "base/input_file.h"
#include "base/local_frame.h"
#include "prepare/prepare_failure.h"

namespace aeroquilt {
namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kDeg = kPi / 180.0;

using mat3 = std::array<std::array<double, 3>, 3>;

mat3 multiply(const mat3& a, const mat3& b) {
  mat3 out{};
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c)
      for (int k = 0; k < 3; ++k) out[r][c] += a[r][k] * b[k][c];
  return out;
}

// The cells of `line`: split at `separator`, or at runs of blanks when it is ' '. A
// cell may be quoted with ' or " (a doubled quote inside stands for one); unquoted
// cells lose their surrounding blanks.
std::vector<std::string> split(const std::string& line, char separator) {
  std::vector<std::string> cells;
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
  std::size_t at = 0;
  const std::size_t end = line.size();
  while (true) {
    while (at < end && blank(line[at]) && (separator == ' ' || line[at] != separator)) ++at;
    if (separator == ' ' && at == end) break;
    std::string cell;
    if (at < end && (line[at] == '"' || line[at] == '\'')) {
      const char quote = line[at++];
      for (; at < end; ++at) {
        if (line[at] != quote) {
          cell += line[at];
        } else if (at + 1 < end && line[at + 1] == quote) {
          cell += quote;
          ++at;
        } else {
          ++at;
          break;
        }
      }
      while (at < end && line[at] != separator && !(separator == ' ' && blank(line[at]))) ++at;
    } else {
      const std::size_t first = at;
      while (at < end && line[at] != separator && !(separator == ' ' && blank(line[at]))) ++at;
      cell = line.substr(first, at - first);
      while (!cell.empty() && blank(cell.back())) cell.pop_back();
    }
    cells.push_back(cell);
    if (at >= end) break;
    ++at;  // the separator (or the first blank of a run)
  }
  return cells;
}

// Tabs, commas or semicolons when the header holds one, else runs of spaces.
char separator_of(const std::string& header) {
  for (char c : {'\t', ',', ';'})
    if (header.find(c) != std::string::npos) return c;
  return ' ';
}

std::string lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// Index of the first header column among `names`, or -1.
int column(const std::vector<std::string>& header, std::initializer_list<const char*> names) {
  for (const char* name : names)
    for (std::size_t k = 0; k < header.size(); ++k)
      if (lower(header[k]) == name) return static_cast<int>(k);
  return -1;
}

struct transform_deleter {
  void operator()(OGRCoordinateTransformation* t) const {
    OGRCoordinateTransformation::DestroyCT(t);
  }
};
using transform_ptr = std::unique_ptr<OGRCoordinateTransformation, transform_deleter>;

// Map (x, y) to geographic degrees and the bearing of grid north from true north
// (radians, clockwise), the latter from the transformation itself one metre either side.
bool to_geographic(OGRCoordinateTransformation& to_wgs84, double x, double y, double& latitude,
                   double& longitude, double& grid_bearing) {
  double xs[3] = {x, x, x}, ys[3] = {y, y - 1.0, y + 1.0};
  int ok[3] = {0, 0, 0};
  if (!to_wgs84.Transform(3, xs, ys, nullptr, ok) || !ok[0] || !ok[1] || !ok[2]) return false;
  longitude = xs[0];
  latitude = ys[0];
  double radius_east, radius_north;
  local_radii(latitude, radius_east, radius_north);
  const double east = (xs[2] - xs[1]) * kDeg * std::cos(latitude * kDeg) * radius_east;
  const double north = (ys[2] - ys[1]) * kDeg * radius_north;
  grid_bearing = std::atan2(east, north);
  return true;
}

// The camera model's roll, pitch, heading (degrees) for omega, phi, kappa in a map
// whose grid north lies `grid_bearing` clockwise of true north.
void opk_to_model(double omega, double phi, double kappa, double grid_bearing, table_pose& pose) {
  const double co = std::cos(omega * kDeg), so = std::sin(omega * kDeg);
  const double cp = std::cos(phi * kDeg), sp = std::sin(phi * kDeg);
  const double ck = std::cos(kappa * kDeg), sk = std::sin(kappa * kDeg);
  const mat3 rx{{{1, 0, 0}, {0, co, -so}, {0, so, co}}};
  const mat3 ry{{{cp, 0, sp}, {0, 1, 0}, {-sp, 0, cp}}};
  const mat3 rz{{{ck, -sk, 0}, {sk, ck, 0}, {0, 0, 1}}};
  const double cg = std::cos(grid_bearing), sg = std::sin(grid_bearing);
  const mat3 grid_to_true{{{cg, sg, 0}, {-sg, cg, 0}, {0, 0, 1}}};
  // The model's camera axes are x left, y up, z forward.
  const mat3 model_to_photo{{{-1, 0, 0}, {0, 1, 0}, {0, 0, -1}}};
  const mat3 camera_to_local =
      multiply(multiply(grid_to_true, multiply(multiply(rx, ry), rz)), model_to_photo);
  // camera_to_local = S R(roll, pitch, heading) T; S and T as in the camera model.
  const mat3 ned_to_enu{{{0, 1, 0}, {1, 0, 0}, {0, 0, -1}}};
  const mat3 body_to_camera{{{0, -1, 0}, {1, 0, 0}, {0, 0, 1}}};
  const mat3 r = multiply(multiply(ned_to_enu, camera_to_local), body_to_camera);
  pose.pitch_deg = -std::asin(std::fmax(-1.0, std::fmin(1.0, r[2][0]))) / kDeg;
  pose.roll_deg = std::atan2(r[2][1], r[2][2]) / kDeg;
  pose.heading_deg = std::atan2(r[1][0], r[0][0]) / kDeg;
}

// One line of `file` without its end-of-line; false at the end.
bool read_line(std::FILE* file, std::string& line) {
  line.clear();
  int c;
  while ((c = std::fgetc(file)) != EOF && c != '\n') line += static_cast<char>(c);
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return c != EOF || !line.empty();
}

}  // namespace

pose_table::pose_table(const std::string& path, const std::string& crs) : path_(path) {
  const prepare_input file = open_prepare_input("poses file", path);
  std::string line;
  if (!read_line(file.get(), line)) throw prepare_failure("poses file " + path + " is empty");
  if (line.rfind("\xEF\xBB\xBF", 0) == 0) line.erase(0, 3);
  const char separator = separator_of(line);
  const std::vector<std::string> header = split(line, separator);
  const int name = column(header, {"name", "image", "file", "filename"});
  const std::array<int, 6> geographic = {
      column(header, {"latitude", "lat"}), column(header, {"longitude", "lon"}),
      column(header, {"altitude", "alt"}), column(header, {"roll"}),
      column(header, {"pitch"}),           column(header, {"yaw", "heading"})};
  const std::array<int, 6> projected = {column(header, {"x", "easting"}),
                                        column(header, {"y", "northing"}),
                                        column(header, {"z"}),
                                        column(header, {"omega"}),
                                        column(header, {"phi"}),
                                        column(header, {"kappa"})};
  const auto complete = [](const std::array<int, 6>& c) {
    for (int k : c)
      if (k < 0) return false;
    return true;
  };
  const bool is_projected = complete(projected);
  if (name < 0 || !(is_projected || complete(geographic))) {
    throw prepare_failure("poses file " + path +
                          ": the first line must name the columns: name, latitude, longitude, "
                          "altitude, roll, pitch, yaw; or name, x, y, z, omega, phi, kappa");
  }
  if (is_projected == crs.empty()) {
    throw prepare_failure(is_projected
                              ? "poses file " + path + " gives x, y, z: give their CRS with --crs"
                              : "--crs applies to x, y, z columns; poses file " + path +
                                    " gives latitude and longitude");
  }
  transform_ptr to_wgs84;
  if (is_projected) {
    OGRSpatialReference source, wgs84;
    CPLPushErrorHandler(CPLQuietErrorHandler);
    const OGRErr read = source.SetFromUserInput(crs.c_str());
    CPLPopErrorHandler();
    if (read != OGRERR_NONE) throw prepare_failure("GDAL cannot read the CRS " + crs);
    source.SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
    wgs84.SetWellKnownGeogCS("WGS84");
    wgs84.SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
    to_wgs84.reset(OGRCreateCoordinateTransformation(&source, &wgs84));
    if (!to_wgs84) throw prepare_failure("GDAL cannot convert the CRS " + crs + " to WGS 84");
  }

  const std::array<int, 6>& columns = is_projected ? projected : geographic;
  for (int line_number = 2; read_line(file.get(), line); ++line_number) {
    if (line.find_first_not_of(" \t") == std::string::npos) continue;
    const std::vector<std::string> fields = split(line, separator);
    double values[6];
    bool readable = static_cast<int>(fields.size()) > name;
    for (int k = 0; k < 6 && readable; ++k) {
      readable = columns[k] < static_cast<int>(fields.size());
      if (!readable) break;
      const char* text = fields[columns[k]].c_str();
      char* end = nullptr;
      values[k] = std::strtod(text, &end);
      readable = end != text && *end == '\0' && std::isfinite(values[k]);
    }
    table_pose pose;
    if (readable && is_projected) {
      double grid_bearing = 0;
      readable = to_geographic(*to_wgs84, values[0], values[1], pose.latitude_deg,
                               pose.longitude_deg, grid_bearing);
      if (readable) opk_to_model(values[3], values[4], values[5], grid_bearing, pose);
    } else if (readable) {
      pose.latitude_deg = values[0];
      pose.longitude_deg = values[1];
      pose.roll_deg = values[3];
      pose.pitch_deg = values[4];
      pose.heading_deg = values[5];
    }
    if (!readable) {
      console_printf("poses file %s line %d cannot be read: line left out\n", path.c_str(),
                     line_number);
      continue;
    }
    pose.altitude_m = values[2];
    pose.line = line_number;
    const auto [entry, added] = poses_.emplace(fields[name], pose);
    if (!added) {
      throw prepare_failure("poses file " + path + " lists " + fields[name] + " twice (lines " +
                            std::to_string(entry->second.line) + " and " +
                            std::to_string(line_number) + ")");
    }
  }
}

const table_pose* pose_table::find(const std::string& frame_name) const {
  const auto exact = poses_.find(frame_name);
  const std::size_t dot = frame_name.rfind('.');
  const auto stem =
      dot == 0 || dot == std::string::npos ? poses_.end() : poses_.find(frame_name.substr(0, dot));
  if (exact != poses_.end() && stem != poses_.end()) {
    throw prepare_failure("poses file " + path_ + " lists frame " + frame_name + " twice: as " +
                          exact->first + " (line " + std::to_string(exact->second.line) +
                          ") and as " + stem->first + " (line " +
                          std::to_string(stem->second.line) + ")");
  }
  if (exact != poses_.end()) return &exact->second;
  return stem != poses_.end() ? &stem->second : nullptr;
}

}  // namespace aeroquilt
