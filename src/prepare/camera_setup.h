#pragma once
// The camera of a prepared survey: frame size, focal length and lens, from a
// calibration file or from the frames' tags.

#include <string>

#include "imaging/lens_correction.h"
#include "prepare/frame_tags.h"

namespace aeroquilt {

struct camera_setup {
  int width = 0, height = 0;  // pixels
  lens_options lens;   // focal length in pixels; principal point relative to the model's centre
  std::string source;  // where the values came from, for the summary
};

// Reads a calibration file for frames of width x height: an OpenSfM/ODM cameras.json
// (its first camera) or an OpenCV YAML/XML/JSON file with camera_matrix and
// distortion_coefficients. Throws prepare_failure when it cannot be read, or gives
// another frame size.
camera_setup camera_from_calibration(const std::string& path, int width, int height);

// Focal length from drone-dji:CalibratedFocalLength, else from the 35 mm equivalent
// (36 mm frame width); principal point at the model's centre, no distortion. Throws
// prepare_failure when the tags give neither.
camera_setup camera_from_tags(const frame_tags& tags);

}  // namespace aeroquilt
