#include "geometry/camera_model.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <stdexcept>

#include "terrain/map_projection.h"

namespace aeroquilt {
namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kDirectionTol = 1e-12;  // unit-vector components, double rounding

// A 640 x 480 camera with kx 800 px over a survey centred at 45 N 7 E.
struct camera_fixture {
  config_params config;
  image_list list;

  camera_fixture() {
    config.image_width_pixels = 640;
    config.image_height_pixels = 480;
    config.image_kx = 800.0;
    config.RPH_scale[0] = config.RPH_scale[1] = config.RPH_scale[2] = 1.0;
    config.topo_height = 200.0;
    list.centre_lat = 45.0;
    list.centre_lon = 7.0;
    list.count = 1;
    list.records.resize(1);
    list.records[0].latitude = 45.0;
    list.records[0].longitude = 7.0;
    list.records[0].altitude = 1000.0;
    list.records[0].path = "images/a.jpg";
  }

  image_geometry build(double roll_deg, double pitch_deg, double heading_deg) {
    list.records[0].roll = roll_deg;
    list.records[0].pitch = pitch_deg;
    list.records[0].heading = heading_deg;
    image_geometry geometry;
    build_camera_model(geometry, config, list, 0);
    return geometry;
  }
};

// Unit direction, local frame, of the ray through pixel (u, v).
arma::vec pixel_direction(const image_geometry& g, double u, double v) {
  return arma::normalise(g.camera_rotation * g.pixel_to_ray * arma::vec{u, v, 1.0});
}

void expect_direction(const arma::vec& d, double x, double y, double z) {
  EXPECT_NEAR(d(0), x, kDirectionTol);
  EXPECT_NEAR(d(1), y, kDirectionTol);
  EXPECT_NEAR(d(2), z, kDirectionTol);
}

TEST(CameraAttitude, LevelFlightNorthLooksDownWithTopEdgeNorth) {
  camera_fixture f;
  const image_geometry g = f.build(0, 0, 0);
  EXPECT_TRUE(arma::approx_equal(g.camera_rotation, arma::mat{{-1, 0, 0}, {0, 1, 0}, {0, 0, -1}},
                                 "absdiff", 0.0));
  EXPECT_GT(pixel_direction(g, 320, 0)(1), 0.0);    // top edge north
  EXPECT_GT(pixel_direction(g, 640, 240)(0), 0.0);  // right edge east
}

TEST(CameraAttitude, HeadingEastTurnsTopEdgeEastAndRightEdgeSouth) {
  camera_fixture f;
  const image_geometry g = f.build(0, 0, 90);
  expect_direction(pixel_direction(g, 320, 240), 0, 0, -1);
  const arma::vec top = pixel_direction(g, 320, 0);
  EXPECT_GT(top(0), 0.0);
  EXPECT_NEAR(top(1), 0.0, kDirectionTol);
  const arma::vec right = pixel_direction(g, 640, 240);
  EXPECT_LT(right(1), 0.0);
  EXPECT_NEAR(right(0), 0.0, kDirectionTol);
}

TEST(CameraAttitude, RollRightSideDownLeansCentreRayWest) {
  camera_fixture f;
  const double a = 10.0 * kPi / 180.0;
  expect_direction(pixel_direction(f.build(10, 0, 0), 320, 240), -std::sin(a), 0, -std::cos(a));
}

TEST(CameraAttitude, PitchNoseUpLeansCentreRayNorth) {
  camera_fixture f;
  const double a = 10.0 * kPi / 180.0;
  expect_direction(pixel_direction(f.build(0, 10, 0), 320, 240), 0, std::sin(a), -std::cos(a));
}

TEST(CameraAttitude, HeadingOffsetOf180TurnsEveryRayHalfway) {
  camera_fixture f;
  const image_geometry plain = f.build(3, -4, 25);
  f.config.RPH_offset[2] = 180.0;
  const image_geometry turned = f.build(3, -4, 25);
  for (double u : {1.0, 640.0, 200.0})
    for (double v : {1.0, 480.0, 100.0}) {
      const arma::vec a = pixel_direction(plain, u, v), b = pixel_direction(turned, u, v);
      expect_direction(b, -a(0), -a(1), a(2));
    }
}

TEST(CameraAttitude, MissingScaleLeavesOnlyTheOffsets) {
  camera_fixture f;
  for (double& s : f.config.RPH_scale) s = 0.0;
  f.config.RPH_offset[0] = 1.0;
  f.config.RPH_offset[1] = 2.0;
  f.config.RPH_offset[2] = 3.0;
  const image_geometry g = f.build(30, -20, 270);
  EXPECT_DOUBLE_EQ(g.attitude(0), 1.0 * kPi / 180.0);
  EXPECT_DOUBLE_EQ(g.attitude(1), 2.0 * kPi / 180.0);
  EXPECT_DOUBLE_EQ(g.attitude(2), 3.0 * kPi / 180.0);
}

TEST(CameraPosition, AtSurveyCentreIsHeightAboveTopo) {
  camera_fixture f;
  const image_geometry g = f.build(0, 0, 0);
  EXPECT_EQ(g.camera_position(0), 0.0);
  EXPECT_EQ(g.camera_position(1), 0.0);
  EXPECT_EQ(g.camera_position(2), 800.0);  // altitude 1000 m - topo_height 200 m
  EXPECT_EQ(g.path, "images/a.jpg");
}

TEST(CameraPosition, OffCentreAgreesWithTheLocalMapGrid) {
  camera_fixture f;
  f.list.records[0].latitude = 45.013;
  f.list.records[0].longitude = 6.982;
  const image_geometry g = f.build(0, 0, 0);
  double x = 0, y = 0;
  geographic_to_local(45.013, 6.982, make_local_frame(45.0, 7.0), x, y);
  EXPECT_NEAR(g.camera_position(0), x, 1e-6);  // 1 um
  EXPECT_NEAR(g.camera_position(1), y, 1e-6);
}

TEST(CameraMatrices, GroundPointMapsBackToItsPixelForRandomAttitudes) {
  camera_fixture f;
  std::mt19937 rng(20240611);
  std::uniform_real_distribution<double> tilt(-25.0, 25.0), heading(0.0, 360.0);
  std::uniform_real_distribution<double> u_dist(1.0, 640.0), v_dist(1.0, 480.0);
  std::uniform_real_distribution<double> range(0.5, 5000.0);  // metres along the ray
  for (int trial = 0; trial < 500; ++trial) {
    const image_geometry g = f.build(tilt(rng), tilt(rng), heading(rng));
    const double u = u_dist(rng), v = v_dist(rng), t = range(rng);
    const arma::vec ray = g.camera_rotation * g.pixel_to_ray * arma::vec{u, v, 1.0};
    const arma::vec X = g.camera_position + t * ray;
    const arma::vec q =
        g.canonical_projection * g.world_to_camera * arma::join_cols(X, arma::vec{1.0});
    const arma::vec p = g.pixel_axes * g.focal_matrix * q;
    EXPECT_NEAR(p(0) / p(2), u, 1e-8);  // pixels
    EXPECT_NEAR(p(1) / p(2), v, 1e-8);
  }
}

TEST(CameraMatrices, WorldToCameraInvertsCameraToWorld) {
  camera_fixture f;
  std::mt19937 rng(7);
  std::uniform_real_distribution<double> angle(-180.0, 180.0), offset(-0.05, 0.05);
  for (int trial = 0; trial < 100; ++trial) {
    f.list.records[0].latitude = 45.0 + offset(rng);
    f.list.records[0].longitude = 7.0 + offset(rng);
    const image_geometry g = f.build(angle(rng), angle(rng), angle(rng));
    EXPECT_TRUE(arma::approx_equal(g.world_to_camera * g.camera_to_world,
                                   arma::eye<arma::mat>(4, 4), "absdiff", 1e-9));
  }
}

TEST(CameraMatrices, ZeroFocalLengthRaisesInsteadOfGarbage) {
  camera_fixture f;
  f.config.image_kx = 0.0;
  image_geometry g;
  EXPECT_THROW(build_camera_model(g, f.config, f.list, 0), std::runtime_error);
}

}  // namespace
}  // namespace aeroquilt
