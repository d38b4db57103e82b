#include "prepare/camera_setup.h"

#include <algorithm>
#include <opencv2/core.hpp>

#include "prepare/prepare_failure.h"

namespace aeroquilt {
namespace {

void require_size(const std::string& path, int file_width, int file_height, int width, int height) {
  if (file_width != width || file_height != height) {
    throw prepare_failure("calibration file " + path + " is for frames of " +
                          std::to_string(file_width) + " x " + std::to_string(file_height) +
                          " pixels, the frames are " + std::to_string(width) + " x " +
                          std::to_string(height));
  }
}

double number(const cv::FileNode& node, const char* key) {
  const cv::FileNode value = node[key];
  return value.empty() ? 0.0 : static_cast<double>(value);
}

// OpenSfM normalises by the larger side, with the image centre at 0 and pixel
// centres at half-integers; the model's centre is column W/2, row H/2 counted from 1.
camera_setup from_opensfm(const std::string& path, const cv::FileNode& camera, int width,
                          int height) {
  require_size(path, static_cast<int>(number(camera, "width")),
               static_cast<int>(number(camera, "height")), width, height);
  const std::string type =
      camera["projection_type"].empty() ? "" : camera["projection_type"].string();
  if (type != "brown" && type != "perspective") {
    throw prepare_failure("calibration file " + path + ": projection_type \"" + type +
                          "\" is not brown or perspective");
  }
  const double size = std::max(width, height);
  camera_setup setup;
  setup.width = width;
  setup.height = height;
  lens_options& lens = setup.lens;
  if (type == "brown") {
    lens.focal_length_px = 0.5 * (number(camera, "focal_x") + number(camera, "focal_y")) * size;
    lens.principal_offset_x = number(camera, "c_x") * size + 0.5;
    lens.principal_offset_y = number(camera, "c_y") * size + 0.5;
    lens.p1 = number(camera, "p1");
    lens.p2 = number(camera, "p2");
    lens.k3 = number(camera, "k3");
  } else {
    lens.focal_length_px = number(camera, "focal") * size;
    lens.principal_offset_x = lens.principal_offset_y = 0.5;
  }
  lens.k1 = number(camera, "k1");
  lens.k2 = number(camera, "k2");
  setup.source = "calibration file " + path + " (OpenSfM " + type + ")";
  return setup;
}

camera_setup from_opencv(const std::string& path, const cv::FileStorage& file, int width,
                         int height) {
  cv::Mat matrix, coefficients;
  file["camera_matrix"] >> matrix;
  file["distortion_coefficients"] >> coefficients;
  if (matrix.rows != 3 || matrix.cols != 3) {
    throw prepare_failure("calibration file " + path +
                          " holds neither an OpenSfM camera nor a 3 x 3 camera_matrix");
  }
  if (file["image_width"].empty() || file["image_height"].empty()) {
    throw prepare_failure("calibration file " + path +
                          " gives no image_width and image_height: its frame size is unknown");
  }
  require_size(path, static_cast<int>(number(file.root(), "image_width")),
               static_cast<int>(number(file.root(), "image_height")), width, height);
  matrix.convertTo(matrix, CV_64F);
  camera_setup setup;
  setup.width = width;
  setup.height = height;
  lens_options& lens = setup.lens;
  lens.focal_length_px = 0.5 * (matrix.at<double>(0, 0) + matrix.at<double>(1, 1));
  lens.principal_offset_x = matrix.at<double>(0, 2) - (width / 2.0 - 1.0);
  lens.principal_offset_y = matrix.at<double>(1, 2) - (height / 2.0 - 1.0);
  if (!coefficients.empty()) {
    coefficients.convertTo(coefficients, CV_64F);
    const double* d = coefficients.ptr<double>();
    const std::size_t n = coefficients.total();
    double* const targets[] = {&lens.k1, &lens.k2, &lens.p1, &lens.p2, &lens.k3};
    for (std::size_t k = 0; k < std::min<std::size_t>(n, 5); ++k) *targets[k] = d[k];
  }
  setup.source = "calibration file " + path + " (OpenCV)";
  return setup;
}

}  // namespace

camera_setup camera_from_calibration(const std::string& path, int width, int height) {
  cv::FileStorage file;
  try {
    file.open(path, cv::FileStorage::READ);
  } catch (const cv::Exception& e) {
    throw prepare_failure("calibration file " + path + " cannot be read: " + e.err);
  }
  if (!file.isOpened()) throw prepare_failure("calibration file " + path + " cannot be read");
  const cv::FileNode root = file.root();
  if (root["camera_matrix"].empty()) {
    // cameras.json: one entry per camera, keyed by its identifier.
    for (auto it = root.begin(); it != root.end(); ++it) {
      const cv::FileNode camera = *it;
      if (camera.isMap() && !camera["projection_type"].empty()) {
        return from_opensfm(path, camera, width, height);
      }
    }
  }
  return from_opencv(path, file, width, height);
}

camera_setup camera_from_tags(const frame_tags& tags) {
  camera_setup setup;
  setup.width = tags.width;
  setup.height = tags.height;
  if (tags.calibrated_focal_px > 0) {
    setup.lens.focal_length_px = tags.calibrated_focal_px;
    setup.source = "drone-dji:CalibratedFocalLength";
  } else if (tags.focal_35mm > 0) {
    setup.lens.focal_length_px = tags.focal_35mm / 36.0 * tags.width;
    setup.source = "EXIF FocalLengthIn35mmFilm";
  } else {
    throw prepare_failure(
        "no focal length: the frames carry neither drone-dji:CalibratedFocalLength nor "
        "FocalLengthIn35mmFilm; give a calibration file with --camera");
  }
  return setup;
}

}  // namespace aeroquilt
