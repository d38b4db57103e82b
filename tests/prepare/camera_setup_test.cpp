// One lens for 160 x 120 frames (focal length 500 px, principal point at zero-based
// (81.1, 58.3), Brown coefficients) described as each calibration file and as the tags of
// a drone, some for a larger sensor the frames were resized from: all must give it.

#include "prepare/camera_setup.h"

#include <gtest/gtest.h>

#include "support/scratch.h"

namespace aeroquilt {
namespace {

using testing::scratch_dir;
using testing::write_text_file;

TEST(CameraSetup, EveryDescriptionOfOneLensGivesIt) {
  scratch_dir dir("camera_setup");
  const std::string coefficients = "k1: -0.3\n  k2: 0.08\n  p1: 0.001\n  p2: -0.002\n  k3: 0.01\n";
  const std::pair<const char*, std::string> files[] = {
      // Normalised by the larger side, centre at 0: c_x = (81.1 - 79.5) / 160.
      {"cameras.json",
       "{\"v2 test 160 120 brown 3.125\": {\"projection_type\": \"brown\", \"width\": 160, "
       "\"height\": 120, \"focal_x\": 3.125, \"focal_y\": 3.125, \"c_x\": 0.01, \"c_y\": "
       "-0.0075, \"k1\": -0.3, \"k2\": 0.08, \"p1\": 0.001, \"p2\": -0.002, \"k3\": 0.01}}"},
      {"opencv.yaml",
       "%YAML:1.0\n---\nimage_width: 160\nimage_height: 120\ncamera_matrix: !!opencv-matrix\n"
       "   rows: 3\n   cols: 3\n   dt: d\n   data: [ 500., 0., 81.1, 0., 500., 58.3, 0., 0., "
       "1. ]\ndistortion_coefficients: !!opencv-matrix\n   rows: 1\n   cols: 5\n   dt: d\n   "
       "data: [ -0.3, 0.08, 0.001, -0.002, 0.01 ]\n"},
      // Twice the frames' size: (81.1 + 0.5) * 2 - 0.5 = 162.7, (58.3 + 0.5) * 2 - 0.5 = 117.1.
      {"opencv_2x.yaml",
       "%YAML:1.0\n---\nimage_width: 320\nimage_height: 240\ncamera_matrix: !!opencv-matrix\n"
       "   rows: 3\n   cols: 3\n   dt: d\n   data: [ 1000., 0., 162.7, 0., 1000., 117.1, 0., 0., "
       "1. ]\ndistortion_coefficients: !!opencv-matrix\n   rows: 1\n   cols: 5\n   dt: d\n   "
       "data: [ -0.3, 0.08, 0.001, -0.002, 0.01 ]\n"},
      {"interior.yaml", "# pixels\n\"FC 1\":\n  type: brown\n  im_size: [160, 120]\n  "
                        "focal_len: 500\n  cx: 81.1\n  cy: 58.3\n  " + coefficients},
      // 3 micrometre pixels on a sensor twice the frames' size: 1000 px is 3 mm.
      {"interior_mm.yml", "cam:\n  type: opencv\n  im_size: [320, 240]\n  sensor_size: [0.96, "
                          "0.72]\n  focal_len: 3\n  cx: 162.7\n  cy: 117.1\n  " + coefficients},
  };
  std::vector<camera_setup> setups;
  for (const auto& [name, text] : files) {
    write_text_file(dir.file(name), text);
    setups.push_back(camera_from_calibration(dir.file(name), 160, 120));
  }
  // A sensor four times the frames: offsets from its centre (639 / 2, 479 / 2) are
  // (81.1 - 79.5) * 4 and (58.3 - 59.5) * 4 sensor pixels.
  frame_tags tags;
  tags.width = 160;
  tags.height = 120;
  tags.calibrated_focal_px = 2010;  // DewarpData's fx goes first
  tags.calibrated_centre_x_px = 320;
  tags.calibrated_centre_y_px = 240;
  tags.dewarp_data = "2022-09-30;2000.0,2001.0,6.4,-4.8,-0.3,0.08,0.001,-0.002,0.01";
  setups.push_back(camera_from_tags(tags));

  for (const camera_setup& setup : setups) {
    SCOPED_TRACE(setup.source);
    const lens_options& lens = setup.lens;
    EXPECT_NEAR(lens.focal_length_px, 500.0, 1e-9);
    EXPECT_NEAR(lens.principal_offset_x, 2.1, 1e-9);  // 81.1 - 79, the model's centre from 0
    EXPECT_NEAR(lens.principal_offset_y, -0.7, 1e-9);
    EXPECT_DOUBLE_EQ(lens.k1, -0.3);
    EXPECT_DOUBLE_EQ(lens.k2, 0.08);
    EXPECT_DOUBLE_EQ(lens.p1, 0.001);
    EXPECT_DOUBLE_EQ(lens.p2, -0.002);
    EXPECT_DOUBLE_EQ(lens.k3, 0.01);
  }
}

}  // namespace
}  // namespace aeroquilt
