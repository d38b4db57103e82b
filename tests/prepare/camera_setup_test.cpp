// Calibration files: the same lens written as an OpenSfM camera (normalised by the
// larger side, centre at 0, pixel centres at half-integers) and as an OpenCV camera
// matrix (zero-based pixel centres) must give the same lens.

#include "prepare/camera_setup.h"

#include <gtest/gtest.h>

#include "prepare/prepare_failure.h"
#include "support/scratch.h"

namespace aeroquilt {
namespace {

using testing::scratch_dir;
using testing::write_text_file;

TEST(CalibrationFile, OpenSfmAndOpenCvDescriptionsOfOneLensAgree) {
  scratch_dir dir("camera_setup");
  // 160 x 120 frames: size 160, focal 500 px, principal point at zero-based (81.1, 58.2).
  write_text_file(dir.file("cameras.json"),
                  "{\"v2 test 160 120 brown 3.125\": {\"projection_type\": \"brown\", \"width\": "
                  "160, \"height\": 120, \"focal_x\": 3.125, \"focal_y\": 3.125, \"c_x\": 0.01, "
                  "\"c_y\": -0.0075, \"k1\": -0.3, \"k2\": 0.08, \"p1\": 0.001, \"p2\": -0.002, "
                  "\"k3\": 0.01}}");
  write_text_file(dir.file("camera.yaml"),
                  "%YAML:1.0\n---\nimage_width: 160\nimage_height: 120\ncamera_matrix: "
                  "!!opencv-matrix\n   rows: 3\n   cols: 3\n   dt: d\n   data: [ 500., 0., 81.1, "
                  "0., 500., 58.3, 0., 0., 1. ]\ndistortion_coefficients: !!opencv-matrix\n   "
                  "rows: 1\n   cols: 5\n   dt: d\n   data: [ -0.3, 0.08, 0.001, -0.002, 0.01 ]\n");
  const lens_options a = camera_from_calibration(dir.file("cameras.json"), 160, 120).lens;
  const lens_options b = camera_from_calibration(dir.file("camera.yaml"), 160, 120).lens;
  EXPECT_NEAR(a.focal_length_px, 500.0, 1e-9);
  EXPECT_NEAR(a.focal_length_px, b.focal_length_px, 1e-9);
  EXPECT_NEAR(a.principal_offset_x, 2.1, 1e-9);  // 81.1 - 79, the model's centre from 0
  EXPECT_NEAR(a.principal_offset_x, b.principal_offset_x, 1e-9);
  EXPECT_NEAR(a.principal_offset_y, b.principal_offset_y, 1e-9);
  for (auto k : {&lens_options::k1, &lens_options::k2, &lens_options::p1, &lens_options::p2,
                 &lens_options::k3})
    EXPECT_EQ(a.*k, b.*k);

  EXPECT_THROW(camera_from_calibration(dir.file("cameras.json"), 320, 240), prepare_failure);
}

}  // namespace
}  // namespace aeroquilt
