// The survey maker and the truth comparison are the end-to-end tests' ground truth:
// their conventions are checked here against hand-worked values and PROJ, without
// running the program.

#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "support/truth_compare.h"
#include "survey/synthetic_survey.h"

namespace aeroquilt::testing {
namespace {

constexpr double pi = 3.141592653589793;

// One hand-placed camera 800 m over flat ground at the frame's origin.
survey_truth single_camera(double roll, double pitch, double heading) {
  survey_truth truth;
  truth.design.image_width = 640;
  truth.design.image_height = 480;
  truth.design.focal_length_px = 1000;
  survey_camera cam;
  cam.position_m = {0.0, 0.0, 800.0};
  cam.camera_to_local = camera_to_local_rotation(roll, pitch, heading);
  truth.cameras.push_back(cam);
  return truth;
}

TEST(SurveyRayModel, AttitudesTurnTheRaysAsTheFlightLogMeans) {
  const double s = std::sin(10 * pi / 180), c = std::cos(10 * pi / 180);
  struct attitude_case {
    double roll, pitch, heading, u, v;  // pixel counted from 1
    std::array<double, 3> direction;    // unnormalised ray, local east-north-up
  };
  const attitude_case cases[] = {
      {0, 0, 0, 320, 240, {0, 0, -1}},        // straight down
      {0, 0, 0, 320, 0, {0, 0.24, -1}},       // top edge north
      {0, 0, 0, 640, 240, {0.32, 0, -1}},     // right edge east
      {0, 0, 90, 320, 0, {0.24, 0, -1}},      // heading east: top edge east
      {0, 0, 90, 640, 240, {0, -0.32, -1}},   // ... and right edge south
      {10, 0, 0, 320, 240, {-s / c, 0, -1}},  // right side down: west
      {0, 10, 0, 320, 240, {0, s / c, -1}},   // nose up: north
  };
  for (const attitude_case& k : cases) {
    const auto d = single_camera(k.roll, k.pitch, k.heading).pixel_direction(0, k.u, k.v);
    for (int i = 0; i < 3; ++i)
      EXPECT_NEAR(d[i] / -d[2], k.direction[i], 1e-12)
          << k.roll << " " << k.pitch << " " << k.heading << " axis " << i;
  }
}

TEST(SurveyRayModel, FlatFootprintCornersMatchTheHandWorkedExample) {
  // Level camera at 800 m, kx 1000, 640 x 480: corners (1,1), (W,1), (W,H), (1,H)
  // land at (-255.2, 191.2), (256, 191.2), (256, -192), (-255.2, -192) metres.
  const survey_truth truth = single_camera(0, 0, 0);
  const double corners[4][2] = {{1, 1}, {640, 1}, {640, 480}, {1, 480}};
  const double expected[4][2] = {{-255.2, 191.2}, {256, 191.2}, {256, -192}, {-255.2, -192}};
  for (int i = 0; i < 4; ++i) {
    local_point g;
    ASSERT_TRUE(truth.pixel_ground_point(0, corners[i][0], corners[i][1], g));
    EXPECT_NEAR(g.x_m, expected[i][0], 1e-9) << i;
    EXPECT_NEAR(g.y_m, expected[i][1], 1e-9) << i;
  }
}

TEST(SurveyUtm, ForwardMatchesProjAndInverseUndoesIt) {
  // Computed with PROJ 9.1.1:
  //   cs2cs -f %.4f +proj=longlat +datum=WGS84 +to +proj=utm +zone=Z +datum=WGS84
  // (no +south: southern northings stay negative, as the system expects).
  struct sample {
    double lat, lon, meridian, easting, northing;
  };
  const sample samples[] = {
      {45.3, 9.2, 9.0, 515680.5838, 5016296.9297},
      {44.1, 6.3, 10.0, 283891.1841, 4886524.6079},
      {47.6, 11.95, 9.0, 721743.6163, 5276060.6878},
      {45.0, 9.0, 9.0, 500000.0000, 4982950.4002},
      {33.9, -117.4, -117.0, 463017.5233, 3751140.2679},
      {-20.5, 16.7, 15.0, 677280.4268, -2267734.1181},
  };
  for (const sample& s : samples) {
    const double meridian = utm_zone_central_meridian(s.meridian);
    double e, n, lat, lon;
    geographic_to_utm(s.lat, s.lon, meridian, e, n);
    EXPECT_NEAR(e, s.easting, 1e-3) << s.lat << " " << s.lon;  // 1 mm
    EXPECT_NEAR(n, s.northing, 1e-3) << s.lat << " " << s.lon;
    utm_to_geographic_exact(e, n, meridian, lat, lon);
    EXPECT_NEAR(lat, s.lat, 1e-10);  // degrees: about 10 um
    EXPECT_NEAR(lon, s.lon, 1e-10);
  }
}

}  // namespace
}  // namespace aeroquilt::testing
