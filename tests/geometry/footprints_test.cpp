#include "geometry/footprints.h"

#include <gtest/gtest.h>

#include <cmath>

#include "base/console.h"
#include "support/dem_builder.h"
#include "support/scratch.h"
#include "survey/synthetic_survey.h"

namespace aeroquilt {
namespace {

constexpr double pi = 3.141592653589793;

// A camera of W x H pixels with focal length kx pixels at C, attitude in degrees.
image_geometry camera(double roll, double pitch, double heading, arma::vec C, double W = 640,
                      double H = 480, double kx = 1000) {
  image_geometry geometry;
  geometry.path = "test.png";
  geometry.attitude = arma::vec{roll, pitch, heading} * pi / 180.0;
  geometry.camera_position = C;
  geometry.image_width = W;
  geometry.image_height = H;
  geometry.focal_length_px = kx;
  geometry.ned_to_enu = arma::mat{{0, 1, 0}, {1, 0, 0}, {0, 0, -1}};
  geometry.camera_to_body = arma::mat{{0, 1, 0}, {-1, 0, 0}, {0, 0, 1}};
  geometry.canonical_projection = arma::join_rows(arma::eye(3, 3), arma::zeros(3, 1));
  return geometry;
}

// The survey maker's ray caster (the end-to-end tests' ground truth) puts the corners there too.
TEST(FlatFootprint, NadirCameraAtEightHundredMetres) {
  // Corner pixels at 1 and W (1 and H) about W/2, H/2: 800 m / 1000 px per pixel offset.
  image_geometry geometry = camera(0, 0, 0, arma::vec{0, 0, 800});
  ASSERT_EQ(project_footprint_flat(geometry), 1);
  testing::survey_truth maker;
  maker.design.image_width = 640;
  maker.design.image_height = 480;
  maker.design.focal_length_px = 1000;
  maker.cameras.emplace_back().position_m = {0.0, 0.0, 800.0};
  maker.cameras[0].camera_to_local = testing::camera_to_local_rotation(0, 0, 0);
  const double expected[5][2] = {
      {-255.2, 191.2}, {256, 191.2}, {256, -192}, {-255.2, -192}, {-255.2, 191.2}};
  const double corner_px[5][2] = {{1, 1}, {640, 1}, {640, 480}, {1, 480}, {1, 1}};
  for (int row = 0; row < 5; ++row) {
    testing::local_point g;
    ASSERT_TRUE(maker.pixel_ground_point(0, corner_px[row][0], corner_px[row][1], g));
    EXPECT_NEAR(g.x_m, expected[row][0], 1e-9) << row;
    EXPECT_NEAR(g.y_m, expected[row][1], 1e-9) << row;
    for (int column = 0; column < 3; ++column)
      EXPECT_NEAR(geometry.footprint_corners(row, column), column < 2 ? expected[row][column] : 0,
                  1e-9)
          << row << "," << column;
  }
}

// A flat DEM at height 0 around (45, 9): 400 x 400 cells of 0.0001 degrees.
class DemFootprint : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string path = dir_.file("flat.dem");
    testing::write_dem_file(path, 400, 400, 8.98, 44.98, 0.0001, [](int, int) { return 0.0f; });
    console_capture quiet;  // the loader reports the file it streams
    load_dem(dem_, path);
  }
  image_geometry located(double roll, double pitch, double heading, arma::vec C) {
    image_geometry geometry = camera(roll, pitch, heading, C);
    geometry.ref_lat = 45.0 * pi / 180.0;
    geometry.ref_lon = 9.0 * pi / 180.0;
    return geometry;
  }
  testing::scratch_dir dir_{"footprint"};
  view_dem dem_;
};

TEST_F(DemFootprint, FlatDemAgreesWithTheFlatProjector) {
  for (double heading : {0.0, 37.0, 200.0}) {
    image_geometry on_dem = located(4, -3, heading, arma::vec{30, -20, 300});
    image_geometry flat = on_dem;
    ASSERT_EQ(project_footprint_dem(on_dem, dem_), 1);
    ASSERT_EQ(project_footprint_flat(flat), 1);
    for (int row = 0; row < 5; ++row)
      for (int column = 0; column < 3; ++column)
        EXPECT_NEAR(on_dem.footprint_corners(row, column), flat.footprint_corners(row, column),
                    0.05)  // m: the intersection stops within 5 cm of the terrain
            << "heading " << heading << " corner " << row;
  }
}

}  // namespace
}  // namespace aeroquilt
