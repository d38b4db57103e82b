#include "geometry/camera_model.h"

#include <gtest/gtest.h>

#include <cmath>

#include "support/scratch.h"
#include "survey/synthetic_survey.h"

namespace aeroquilt {
namespace {

// A 640 x 480 camera with kx 800 px, 800 m over the centre of a survey at 45 N 7 E.
image_geometry build(double roll, double pitch, double heading, double heading_offset) {
  camera_options config;
  config.image_width_pixels = 640;
  config.image_height_pixels = 480;
  config.image_kx = 800.0;
  config.RPH_scale[0] = config.RPH_scale[1] = config.RPH_scale[2] = 1.0;
  config.RPH_offset[2] = heading_offset;
  config.topo_height = 200.0;
  image_list list;
  list.centre_lat = 45.0;
  list.centre_lon = 7.0;
  list.count = 1;
  list.records.resize(1);
  list.records[0] = FPO_record{};
  list.records[0].latitude = 45.0;
  list.records[0].longitude = 7.0;
  list.records[0].altitude = 1000.0;
  list.records[0].roll = roll;
  list.records[0].pitch = pitch;
  list.records[0].heading = heading;
  image_geometry geometry;
  build_camera_model(geometry, config, list, 0);
  return geometry;
}

// Direction, local frame, of the ray through pixel (u, v), scaled to z = -1.
arma::vec ray(const image_geometry& g, double u, double v) {
  const arma::vec d = g.camera_rotation * g.pixel_to_ray * arma::vec{u, v, 1.0};
  return d / -d(2);
}

// The camera model and the survey maker's own (the end-to-end tests' ground truth,
// written apart from it) against one table of hand-worked rays.
TEST(CameraAttitude, AttitudesTurnTheRaysAsTheFlightLogMeans) {
  for (const std::vector<std::string>& row : testing::case_rows("camera_attitude_cases.txt")) {
    const std::vector<double> n = testing::numbers(row.at(0));
    const struct {
      double roll, pitch, heading, offset, u, v, east, north;
    } c = {n.at(0), n.at(1), n.at(2), n.at(3), n.at(4), n.at(5), n.at(6), n.at(7)};
    SCOPED_TRACE(::testing::Message() << c.roll << " " << c.pitch << " " << c.heading);
    const arma::vec d = ray(build(c.roll, c.pitch, c.heading, c.offset), c.u, c.v);
    EXPECT_NEAR(d(0), c.east, 1e-12);
    EXPECT_NEAR(d(1), c.north, 1e-12);
    if (c.offset != 0) continue;  // the survey maker has no heading offset
    testing::survey_truth maker;
    maker.design.image_width = 640;
    maker.design.image_height = 480;
    maker.design.focal_length_px = 800;
    maker.cameras.emplace_back().camera_to_local =
        testing::camera_to_local_rotation(c.roll, c.pitch, c.heading);
    const auto m = maker.pixel_direction(0, c.u, c.v);
    EXPECT_NEAR(m[0] / -m[2], c.east, 1e-12);
    EXPECT_NEAR(m[1] / -m[2], c.north, 1e-12);
  }
}

}  // namespace
}  // namespace aeroquilt
