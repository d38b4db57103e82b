#include "prepare/camera_setup.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <opencv2/calib3d.hpp>
#include <opencv2/core.hpp>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "base/input_file.h"
#include "prepare/prepare_failure.h"

namespace aeroquilt {
namespace {

constexpr double kPi = 3.14159265358979323846;
// How far the two scales a calibration's size implies may differ: resizing rounds each
// side to whole pixels, a crop to another aspect moves them apart by far more.
constexpr double kScaleTolerance = 0.03;

// A camera as a file or the tags describe it, in the pixels of the frames it was made
// for: focal length and principal point in OpenCV's zero-based pixel coordinates (the
// centre of the first pixel is 0, the frame's centre (width - 1) / 2).
struct calibration {
  double width = 0, height = 0;
  double focal_px = 0, centre_x = 0, centre_y = 0;
  // False when the calibration gives no principal point: it is then put at the model's
  // centre, not half a pixel from it at the frame's, so that such frames stay as read.
  bool has_centre = true;
  double k1 = 0, k2 = 0, p1 = 0, p2 = 0, k3 = 0;
};

std::string number_text(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.6g", value);
  return text;
}

std::string size_text(double width, double height) {
  return number_text(width) + " x " + number_text(height);
}

// The calibration for frames of width x height: scaled by the ratio of the widths when
// the heights give the same ratio, the principal point scaled about the frame's edge
// (pixel centres at half-integers), which resizing keeps in place.
camera_setup fit_to_frames(const calibration& c, int width, int height, std::string source,
                           const std::string& refusal_advice = "") {
  double scale = 1;
  if (c.width != width || c.height != height) {
    scale = width / c.width;
    if (!(c.width > 0 && c.height > 0) ||
        !(std::abs(height / c.height / scale - 1) <= kScaleTolerance)) {
      throw prepare_failure(source + ": made for frames of " + size_text(c.width, c.height) +
                            " pixels, the frames are " + size_text(width, height) +
                            ": another aspect, so it cannot be scaled to them" + refusal_advice);
    }
    source += " for frames of " + size_text(c.width, c.height) + " pixels, scaled by " +
              number_text(scale);
  }
  camera_setup setup;
  setup.width = width;
  setup.height = height;
  setup.source = source;
  lens_options& lens = setup.lens;
  lens.focal_length_px = c.focal_px * scale;
  if (c.has_centre) {
    lens.principal_offset_x = (c.centre_x + 0.5) * scale - 0.5 - (width / 2.0 - 1.0);
    lens.principal_offset_y = (c.centre_y + 0.5) * scale - 0.5 - (height / 2.0 - 1.0);
  }
  lens.k1 = c.k1;
  lens.k2 = c.k2;
  lens.p1 = c.p1;
  lens.p2 = c.p2;
  lens.k3 = c.k3;
  check_camera(setup);
  return setup;
}

// A number of the file: false when absent; a refusal when it is there but no number.
bool file_number(const std::string& path, const cv::FileNode& node, const char* key,
                 double& value) {
  const cv::FileNode field = node[key];
  if (field.empty()) return false;
  if (!field.isReal() && !field.isInt())
    throw prepare_failure("calibration file " + path + ": " + key + " is not a number");
  value = static_cast<double>(field);
  return true;
}

double file_number_or_0(const std::string& path, const cv::FileNode& node, const char* key) {
  double value = 0;
  file_number(path, node, key, value);
  return value;
}

// Two positive numbers written as [a, b].
bool file_pair(const std::string& path, const cv::FileNode& node, const char* key, double& a,
               double& b) {
  const cv::FileNode field = node[key];
  if (field.empty()) return false;
  if (!field.isSeq() || field.size() != 2 || !(field[0].isReal() || field[0].isInt()) ||
      !(field[1].isReal() || field[1].isInt()) || !(static_cast<double>(field[0]) > 0) ||
      !(static_cast<double>(field[1]) > 0) || !std::isfinite(static_cast<double>(field[0])) ||
      !std::isfinite(static_cast<double>(field[1])))
    throw prepare_failure("calibration file " + path + ": " + key +
                          " is not two positive numbers [width, height]");
  a = field[0];
  b = field[1];
  return true;
}

// OpenSfM normalises by the larger side, with the image centre at 0.
camera_setup from_opensfm(const std::string& path, const cv::FileNode& camera, int width,
                          int height) {
  const std::string type =
      camera["projection_type"].isString() ? camera["projection_type"].string() : "";
  if (type != "brown" && type != "perspective") {
    throw prepare_failure("calibration file " + path + ": projection_type \"" + type +
                          "\" is not brown or perspective");
  }
  calibration c;
  c.width = file_number_or_0(path, camera, "width");
  c.height = file_number_or_0(path, camera, "height");
  const double size = std::max(c.width, c.height);
  if (type == "brown") {
    c.focal_px =
        0.5 *
        (file_number_or_0(path, camera, "focal_x") + file_number_or_0(path, camera, "focal_y")) *
        size;
    c.centre_x = (c.width - 1) / 2 + file_number_or_0(path, camera, "c_x") * size;
    c.centre_y = (c.height - 1) / 2 + file_number_or_0(path, camera, "c_y") * size;
    c.p1 = file_number_or_0(path, camera, "p1");
    c.p2 = file_number_or_0(path, camera, "p2");
    c.k3 = file_number_or_0(path, camera, "k3");
  } else {
    c.focal_px = file_number_or_0(path, camera, "focal") * size;
    c.centre_x = (c.width - 1) / 2;
    c.centre_y = (c.height - 1) / 2;
  }
  c.k1 = file_number_or_0(path, camera, "k1");
  c.k2 = file_number_or_0(path, camera, "k2");
  return fit_to_frames(c, width, height, "calibration file " + path + " (OpenSfM " + type + ")");
}

camera_setup from_opencv(const std::string& path, const cv::FileStorage& file, int width,
                         int height) {
  cv::Mat matrix, coefficients;
  file["camera_matrix"] >> matrix;
  file["distortion_coefficients"] >> coefficients;
  if (matrix.rows != 3 || matrix.cols != 3) {
    throw prepare_failure("calibration file " + path +
                          " holds no OpenSfM camera, interior-parameter camera or 3 x 3 "
                          "camera_matrix");
  }
  calibration c;
  if (!file_number(path, file.root(), "image_width", c.width) ||
      !file_number(path, file.root(), "image_height", c.height)) {
    throw prepare_failure("calibration file " + path +
                          " gives no image_width and image_height: its frame size is unknown");
  }
  matrix.convertTo(matrix, CV_64F);
  c.focal_px = 0.5 * (matrix.at<double>(0, 0) + matrix.at<double>(1, 1));
  c.centre_x = matrix.at<double>(0, 2);
  c.centre_y = matrix.at<double>(1, 2);
  if (!coefficients.empty()) {
    coefficients.convertTo(coefficients, CV_64F);
    const double* d = coefficients.ptr<double>();
    const std::size_t n = coefficients.total();
    double* const targets[] = {&c.k1, &c.k2, &c.p1, &c.p2, &c.k3};
    for (std::size_t k = 0; k < std::min<std::size_t>(n, 5); ++k) *targets[k] = d[k];
    for (std::size_t k = 5; k < n; ++k)
      if (d[k] != 0)
        throw prepare_failure("calibration file " + path +
                              ": distortion coefficients past k3 (the rational and thin-prism "
                              "terms) are not supported");
  }
  return fit_to_frames(c, width, height, "calibration file " + path + " (OpenCV)");
}

// Interior parameters: the principal point cx, cy is in OpenCV's zero-based pixel
// coordinates, as the coefficients are OpenCV's.
camera_setup from_interior(const std::string& path, const cv::FileNode& camera, int width,
                           int height) {
  const std::string id = camera.name();
  const std::string what = "calibration file " + path + ", camera \"" + id + "\"";
  const std::string type = camera["type"].isString() ? camera["type"].string() : "";
  if (type != "pinhole" && type != "brown" && type != "opencv")
    throw prepare_failure(what + ": type \"" + type + "\" is not pinhole, brown or opencv");
  calibration c;
  if (!file_pair(path, camera, "im_size", c.width, c.height))
    throw prepare_failure(what + " gives no im_size [width, height]");
  if (!file_number(path, camera, "focal_len", c.focal_px))
    throw prepare_failure(what + " gives no focal_len");
  double sensor_w_mm = 0, sensor_h_mm = 0;
  std::string source = what + " (" + type;
  if (file_pair(path, camera, "sensor_size", sensor_w_mm, sensor_h_mm)) {
    // focal_len is in millimetres then; the sensor's width sets the pixel pitch.
    source += ", focal length " + number_text(c.focal_px) + " mm on a sensor " +
              number_text(sensor_w_mm) + " mm wide";
    c.focal_px *= c.width / sensor_w_mm;
  }
  source += ")";
  c.has_centre = file_number(path, camera, "cx", c.centre_x);
  if (file_number(path, camera, "cy", c.centre_y) != c.has_centre)
    throw prepare_failure(what + " gives one of cx and cy: give both or neither");
  const std::vector<std::pair<const char*, double*>> terms{
      {"k1", &c.k1}, {"k2", &c.k2}, {"p1", &c.p1}, {"p2", &c.p2}, {"k3", &c.k3}};
  for (const auto& [key, target] : terms) file_number(path, camera, key, *target);
  if (type == "pinhole" && (c.k1 != 0 || c.k2 != 0 || c.p1 != 0 || c.p2 != 0 || c.k3 != 0))
    throw prepare_failure(what + ": a pinhole camera has no distortion coefficients");
  for (const char* key : {"k4", "k5", "k6", "s1", "s2", "s3", "s4", "tx", "ty"}) {
    double value = 0;
    if (file_number(path, camera, key, value) && value != 0)
      throw prepare_failure(what + ": " + key + " is not supported (k1, k2, k3, p1, p2 only)");
  }
  return fit_to_frames(c, width, height, source);
}

// The file's text as OpenCV reads it: YAML without the directive it demands gets one,
// and quoted camera ids (which its parser refuses) lose their quotes.
std::string calibration_text(const std::string& path) {
  // Only a regular file, and a small one: a device or a pipe would never end.
  constexpr std::size_t largest = 16u << 20;
  const prepare_input file = open_prepare_input("calibration file", path);
  std::string body(largest + 1, '\0');
  body.resize(std::fread(body.data(), 1, body.size(), file.get()));
  if (std::ferror(file.get()))
    throw prepare_failure("calibration file " + path + " cannot be read");
  if (body.size() > largest)
    throw prepare_failure("calibration file " + path + " is over 16 MB: not a calibration");
  const std::size_t start = body.find_first_not_of(" \t\r\n");
  if (start == std::string::npos) throw prepare_failure("calibration file " + path + " is empty");
  if (body[start] == '{' || body[start] == '<' || body.compare(start, 5, "%YAML") == 0)
    return body.substr(start);
  static const std::regex quoted_key(R"(^(['"])([^'":#\n]*)\1[ \t]*:)", std::regex::multiline);
  return "%YAML:1.0\n" + std::regex_replace(body, quoted_key, "$2:");
}

// drone-dji:DewarpData, "DATE;fx,fy,cx,cy,k1,k2,p1,p2,k3" (the date may be missing):
// focal lengths and the principal point's offset from the frame's centre in sensor
// pixels, then OpenCV's coefficients.
bool parse_dewarp(const std::string& text, double (&values)[9]) {
  std::string numbers = text.substr(text.find(';') == std::string::npos ? 0 : text.find(';') + 1);
  std::istringstream in(numbers);
  std::string item;
  int count = 0;
  while (std::getline(in, item, ',')) {
    if (count == 9) return false;
    const char* begin = item.c_str();
    char* end = nullptr;
    values[count] = std::strtod(begin, &end);
    while (*end == ' ' || *end == '\t' || *end == '\r' || *end == '\n') ++end;
    if (end == begin || *end != '\0' || !std::isfinite(values[count])) return false;
    ++count;
  }
  return count == 9;
}

const char* const kGiveCamera = "; give a calibration file with --camera";

}  // namespace

camera_setup camera_from_tags(const frame_tags& tags) {
  const bool dewarp = !tags.dewarp_data.empty();
  if (!dewarp && tags.calibrated_focal_px == 0) {
    camera_setup setup;
    setup.width = tags.width;
    setup.height = tags.height;
    if (!(tags.focal_35mm > 0)) {
      throw prepare_failure(
          "no focal length: the frames carry neither drone-dji:CalibratedFocalLength nor "
          "FocalLengthIn35mmFilm; give a calibration file with --camera");
    }
    setup.lens.focal_length_px = tags.focal_35mm / 36.0 * tags.width;
    setup.source = "EXIF FocalLengthIn35mmFilm";
    check_camera(setup);
    return setup;
  }
  calibration c;
  double offset_x = 0, offset_y = 0;
  std::string source, note;
  if (dewarp) {
    double d[9];
    if (!parse_dewarp(tags.dewarp_data, d))
      throw prepare_failure("drone-dji:DewarpData \"" + tags.dewarp_data +
                            "\" is not DATE;fx,fy,cx,cy,k1,k2,p1,p2,k3" + kGiveCamera);
    c.focal_px = d[0];
    offset_x = d[2];
    offset_y = d[3];
    c.k1 = d[4], c.k2 = d[5], c.p1 = d[6], c.p2 = d[7], c.k3 = d[8];
    source = "drone-dji:DewarpData";
    // One focal length serves both axes: fx, since the frames' pixels are square.
    if (std::abs(d[1] - d[0]) > 0.005 * std::abs(d[0]))
      note = " (its fx " + number_text(d[0]) + " and fy " + number_text(d[1]) +
             " differ by more than 0.5 %; fx used)";
  } else {
    c.focal_px = tags.calibrated_focal_px;
    source = "drone-dji:CalibratedFocalLength";
  }
  const double centre_x = tags.calibrated_centre_x_px, centre_y = tags.calibrated_centre_y_px;
  if (centre_x != 0 || centre_y != 0) {
    if (!(centre_x > 0 && centre_y > 0 && std::isfinite(centre_x) && std::isfinite(centre_y)))
      throw prepare_failure("drone-dji:CalibratedOpticalCenterX/Y are not two positive numbers" +
                            std::string(kGiveCamera));
    // The tags are in pixels of the full sensor, about whose centre the optical centre lies.
    c.width = 2 * centre_x;
    c.height = 2 * centre_y;
    source += " and CalibratedOpticalCenterX/Y";
  } else {
    // Without the sensor's size the values can only be taken for these frames; the 35 mm
    // equivalent, where written, tells frames resized since.
    c.width = tags.width;
    c.height = tags.height;
    const double focal_35mm_px = tags.focal_35mm / 36.0 * tags.width;
    if (tags.focal_35mm > 0 && c.focal_px > 0 && std::isfinite(c.focal_px) &&
        !(c.focal_px < 1.5 * focal_35mm_px && c.focal_px > focal_35mm_px / 1.5))
      throw prepare_failure(source + " gives " + number_text(c.focal_px) +
                            " pixels, FocalLengthIn35mmFilm " + number_text(tags.focal_35mm) +
                            " mm " + number_text(focal_35mm_px) +
                            " pixels: the calibration is for frames of another size, and without "
                            "CalibratedOpticalCenterX/Y it cannot be scaled" +
                            kGiveCamera);
  }
  c.centre_x = (c.width - 1) / 2 + offset_x;
  c.centre_y = (c.height - 1) / 2 + offset_y;
  c.has_centre = dewarp;
  camera_setup setup = fit_to_frames(c, tags.width, tags.height, source, kGiveCamera);
  setup.source += note;
  return setup;
}

void check_camera(const camera_setup& setup) {
  const lens_options& lens = setup.lens;
  const double w = setup.width, h = setup.height, f = lens.focal_length_px;
  const std::string what = "the camera of " + setup.source;
  if (!(f > 0) || !std::isfinite(f))
    throw prepare_failure(what + " has a focal length of " + number_text(f) +
                          " pixels: it must be a positive number");
  const double field_deg = 2 * std::atan(w / (2 * f)) * 180 / kPi;
  if (!(field_deg >= 1 && field_deg <= 170))
    throw prepare_failure(what + ": its focal length of " + number_text(f) +
                          " pixels gives a field of view of " + number_text(field_deg) +
                          " degrees across frames " + number_text(w) +
                          " pixels wide, no survey camera's");
  if (!(std::abs(lens.principal_offset_x) < w / 2) || !(std::abs(lens.principal_offset_y) < h / 2))
    throw prepare_failure(what + " puts the principal point outside the frames");
  const double terms[] = {lens.k1, lens.k2, lens.p1, lens.p2, lens.k3};
  for (double term : terms)
    if (!std::isfinite(term))
      throw prepare_failure(what + " has a distortion coefficient that is not a number");
  if (!lens.active()) return;

  // Every edge pixel's ray through OpenCV's inverse, then forward again.
  const cv::Point2d centre(w / 2 - 1 + lens.principal_offset_x,
                           h / 2 - 1 + lens.principal_offset_y);
  std::vector<cv::Point2d> edge, rays;
  for (int c = 0; c < setup.width; ++c)
    edge.insert(edge.end(), {{double(c), 0.0}, {double(c), h - 1}});
  for (int r = 0; r < setup.height; ++r)
    edge.insert(edge.end(), {{0.0, double(r)}, {w - 1, double(r)}});
  const cv::Matx33d matrix(f, 0, centre.x, 0, f, centre.y, 0, 0, 1);
  cv::undistortPoints(
      edge, rays, matrix, std::vector<double>(std::begin(terms), std::end(terms)), cv::noArray(),
      cv::noArray(), cv::TermCriteria(cv::TermCriteria::COUNT | cv::TermCriteria::EPS, 100, 1e-12));
  const std::string refusal = what + ": its distortion (k1 " + number_text(lens.k1) + ", k2 " +
                              number_text(lens.k2) + ", p1 " + number_text(lens.p1) + ", p2 " +
                              number_text(lens.p2) + ", k3 " + number_text(lens.k3) + ") ";
  double widest = 0;
  for (std::size_t i = 0; i < edge.size(); ++i) {
    const double x = rays[i].x, y = rays[i].y, r2 = x * x + y * y;
    const double radial = 1 + r2 * (lens.k1 + r2 * (lens.k2 + r2 * lens.k3));
    const double u = f * (x * radial + 2 * lens.p1 * x * y + lens.p2 * (r2 + 2 * x * x)) + centre.x;
    const double v = f * (y * radial + lens.p1 * (r2 + 2 * y * y) + 2 * lens.p2 * x * y) + centre.y;
    if (!(std::hypot(u - edge[i].x, v - edge[i].y) < 0.05))
      throw prepare_failure(refusal + "cannot be undone over the frames");
    const double seen = std::hypot(edge[i].x - centre.x, edge[i].y - centre.y) / f;
    const double ratio = std::sqrt(r2) / seen;
    if (seen > 1e-3 && !(ratio > 1.0 / 3 && ratio < 3))
      throw prepare_failure(refusal + "moves the frames' edges by more than a factor 3");
    widest = std::max(widest, std::sqrt(r2));
  }
  // The radius a ray lands at must grow with the ray's angle, or the frame folds over.
  for (int step = 1; step <= 1000; ++step) {
    const double r2 = std::pow(widest * step / 1000, 2);
    if (!(1 + r2 * (3 * lens.k1 + r2 * (5 * lens.k2 + r2 * 7 * lens.k3)) > 0))
      throw prepare_failure(refusal + "folds the frames over");
  }
}

camera_setup camera_from_calibration(const std::string& path, int width, int height) {
  cv::FileStorage file;
  try {
    file.open(calibration_text(path), cv::FileStorage::READ | cv::FileStorage::MEMORY);
  } catch (const cv::Exception& e) {
    throw prepare_failure("calibration file " + path + " cannot be read: " + e.err);
  }
  if (!file.isOpened()) throw prepare_failure("calibration file " + path + " cannot be read");
  const cv::FileNode root = file.root();
  if (root.isMap() && root["camera_matrix"].empty()) {
    // Camera ids mapping to cameras: the first one is used.
    for (auto it = root.begin(); it != root.end(); ++it) {
      const cv::FileNode camera = *it;
      if (!camera.isMap()) continue;
      if (!camera["projection_type"].empty()) return from_opensfm(path, camera, width, height);
      if (!camera["im_size"].empty() || !camera["focal_len"].empty() || !camera["type"].empty())
        return from_interior(path, camera, width, height);
      break;
    }
  }
  return from_opencv(path, file, width, height);
}

}  // namespace aeroquilt
