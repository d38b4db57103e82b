#pragma once
// The camera of a prepared survey: frame size, focal length and lens, from a
// calibration file or from the frames' tags.
//
// A calibration made for frames of another size with the same aspect (a full sensor,
// frames resized from it) is scaled to the frames: focal length by the ratio of the
// widths, principal point about the frames' centre. One of another aspect is refused.

#include <string>

#include "imaging/lens_correction.h"
#include "prepare/frame_tags.h"

namespace aeroquilt {

struct camera_setup {
  int width = 0, height = 0;  // pixels
  lens_options lens;   // focal length in pixels; principal point relative to the model's centre
  std::string source;  // where the values came from and the scale applied, for the summary
};

// Reads a calibration file for frames of width x height: an OpenSfM/ODM cameras.json
// (its first camera), an OpenCV YAML/XML/JSON file with camera_matrix and
// distortion_coefficients, or an interior-parameter YAML (camera ids mapping to type,
// im_size, focal_len, cx, cy, k1, k2, k3, p1, p2; its first camera). Throws
// prepare_failure when it cannot be read, cannot be scaled to the frames, or gives a
// camera the survey cannot use (see check_camera).
camera_setup camera_from_calibration(const std::string& path, int width, int height);

// From drone-dji:DewarpData (the lens) or CalibratedFocalLength, scaled by the sensor
// size that CalibratedOpticalCenterX/Y imply (twice their values), else from the 35 mm
// equivalent (36 mm frame width) with the principal point at the model's centre and no
// distortion. Throws prepare_failure when the tags give no focal length, cannot be
// reconciled with the frames' size, or give a camera the survey cannot use.
camera_setup camera_from_tags(const frame_tags& tags);

// Throws prepare_failure, naming setup.source, unless the focal length is finite and
// gives a field of view of 1 to 170 degrees across the frames, the principal point lies
// in the frames, and the distortion is finite, can be undone over the whole frame
// (the inverse converges and does not fold) and moves no edge pixel's ray by more than
// a factor 3 from the centre.
void check_camera(const camera_setup& setup);

}  // namespace aeroquilt
