// Self-checks of the synthetic survey maker and the truth comparison, which the
// end-to-end tests trust as ground truth. None of them runs the program.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "support/scratch.h"
#include "support/synthetic_survey.h"
#include "support/truth_compare.h"

namespace aeroquilt::testing {
namespace {

constexpr double pi = 3.141592653589793;

std::array<double, 3> times(const std::array<double, 9>& m, const std::array<double, 3>& v) {
  return {m[0] * v[0] + m[1] * v[1] + m[2] * v[2], m[3] * v[0] + m[4] * v[1] + m[5] * v[2],
          m[6] * v[0] + m[7] * v[1] + m[8] * v[2]};
}

// A truth with one hand-placed camera over flat ground at the frame's origin.
survey_truth single_camera(int width, int height, double kx, double height_m, double roll,
                           double pitch, double heading) {
  survey_truth truth;
  truth.design.image_width = width;
  truth.design.image_height = height;
  truth.design.focal_length_px = kx;
  truth.centre_latitude_deg = 45.3;
  truth.centre_longitude_deg = 9.2;
  truth.radius_east_m = 6388838.29;  // N at 45.3 degrees (close enough for these geometric checks)
  truth.radius_north_m = 6367381.82;
  survey_camera cam;
  cam.position_m = {0.0, 0.0, height_m};
  cam.camera_to_local = camera_to_local_rotation(roll, pitch, heading);
  truth.cameras.push_back(cam);
  return truth;
}

// --- Camera ray conventions --------------------------------------------------

TEST(SurveyRayModel, LevelCameraLooksStraightDownWithTopNorthAndRightEast) {
  const auto a = camera_to_local_rotation(0, 0, 0);
  const std::array<double, 9> expected{-1, 0, 0, 0, 1, 0, 0, 0, -1};
  for (int i = 0; i < 9; ++i) EXPECT_NEAR(a[i], expected[i], 1e-15) << i;
}

TEST(SurveyRayModel, RollRightSideDownTiltsCentreRayWest) {
  const auto d = times(camera_to_local_rotation(10, 0, 0), {0, 0, 1});
  EXPECT_NEAR(d[0], -std::sin(10 * pi / 180), 1e-12);
  EXPECT_NEAR(d[1], 0.0, 1e-12);
  EXPECT_NEAR(d[2], -std::cos(10 * pi / 180), 1e-12);
}

TEST(SurveyRayModel, PitchNoseUpTiltsCentreRayNorth) {
  const auto d = times(camera_to_local_rotation(0, 10, 0), {0, 0, 1});
  EXPECT_NEAR(d[0], 0.0, 1e-12);
  EXPECT_NEAR(d[1], std::sin(10 * pi / 180), 1e-12);
  EXPECT_NEAR(d[2], -std::cos(10 * pi / 180), 1e-12);
}

TEST(SurveyRayModel, HeadingEastPutsImageTopEastAndRightSouth) {
  const survey_truth truth = single_camera(640, 480, 1000, 800, 0, 0, 90);
  const auto top = truth.pixel_direction(0, 320, 1);
  const auto right = truth.pixel_direction(0, 640, 240);
  EXPECT_GT(top[0], 0.2);
  EXPECT_NEAR(top[1], 0.0, 1e-12);
  EXPECT_LT(right[1], -0.3);
  EXPECT_NEAR(right[0], 0.0, 1e-12);
}

TEST(SurveyRayModel, FlatFootprintCornersMatchTheHandWorkedExample) {
  // Camera at (0, 0, 800), kx 1000, 640 x 480, level: corners (1,1), (W,1), (W,H), (1,H)
  // land at (-255.2, 191.2), (256, 191.2), (256, -192), (-255.2, -192) metres.
  const survey_truth truth = single_camera(640, 480, 1000, 800, 0, 0, 0);
  const double corners[4][2] = {{1, 1}, {640, 1}, {640, 480}, {1, 480}};
  const double expected[4][2] = {{-255.2, 191.2}, {256, 191.2}, {256, -192}, {-255.2, -192}};
  for (int i = 0; i < 4; ++i) {
    local_point g;
    ASSERT_TRUE(truth.pixel_ground_point(0, corners[i][0], corners[i][1], g));
    EXPECT_NEAR(g.x_m, expected[i][0], 1e-9) << i;
    EXPECT_NEAR(g.y_m, expected[i][1], 1e-9) << i;
    EXPECT_EQ(g.z_m, 0.0);
  }
}

TEST(SurveyRayModel, GroundPointOnHillsLiesOnTerrainAndMapsBackToItsPixel) {
  survey_spec design;
  design.hills = true;
  const survey_truth truth = plan_survey(design, "/tmp/unused_survey");
  std::mt19937 random(3);
  std::uniform_real_distribution<double> u_of(1.0, design.image_width),
      v_of(1.0, design.image_height);
  for (int k = 0; k < 200; ++k) {
    const int cam = k % static_cast<int>(truth.cameras.size());
    const double u = u_of(random), v = v_of(random);
    local_point g;
    ASSERT_TRUE(truth.pixel_ground_point(cam, u, v, g));
    EXPECT_NEAR(g.z_m, truth.terrain_height_local_m(g.x_m, g.y_m), 0.01);  // 1 cm
    double u2, v2;
    ASSERT_TRUE(truth.local_to_pixel(cam, g, u2, v2));
    EXPECT_NEAR(u2, u, 1e-6);
    EXPECT_NEAR(v2, v, 1e-6);
  }
}

// --- Rendering -----------------------------------------------------------------

TEST(SurveyRendering, PixelShowsTheTextureWhereItsRayMeetsTheHills) {
  survey_spec design;
  design.hills = true;
  design.supersampling = 1;
  const survey_truth truth = plan_survey(design, "/tmp/unused_survey");
  const cv::Mat image = truth.render_image(4);
  ASSERT_EQ(image.type(), CV_8UC3);
  const int c = design.image_width / 2, r = design.image_height / 2;
  local_point g;
  ASSERT_TRUE(truth.pixel_ground_point(4, c + 1, r + 1, g));
  const geo_point p = truth.local_to_geographic(g.x_m, g.y_m);
  const cv::Vec3d expected = truth.texture_bgr(p.latitude_deg, p.longitude_deg);
  for (int k = 0; k < 3; ++k)
    EXPECT_EQ(image.at<cv::Vec3b>(r, c)[k], std::lround(expected[k])) << k;
}

TEST(SurveyRendering, TextureStaysWithinTenAnd245AndHasDetailAtSmallScales) {
  const survey_truth truth = plan_survey(survey_spec(), "/tmp/unused_survey");
  // 0.5 m grid over 100 m: neighbour differences at 1 and 10 pixels.
  double diff1 = 0, diff10 = 0;
  int n = 0;
  for (int i = 0; i < 200; ++i) {
    for (int j = 0; j < 200; j += 7) {
      const auto at = [&](int a, int b) {
        const geo_point g = truth.local_to_geographic(-50 + 0.5 * a, -50 + 0.5 * b);
        return truth.texture_bgr(g.latitude_deg, g.longitude_deg);
      };
      const cv::Vec3d v = at(i, j);
      for (int k = 0; k < 3; ++k) {
        ASSERT_GE(v[k], 10.0);
        ASSERT_LE(v[k], 245.0);
      }
      diff1 += std::abs(at(i + 1, j)[1] - v[1]);
      diff10 += std::abs(at(i + 10, j)[1] - v[1]);
      ++n;
    }
  }
  EXPECT_GT(diff1 / n, 3.0);  // grey levels between neighbouring output pixels
  EXPECT_GT(diff10 / n, 15.0);
}

TEST(SurveyRendering, ThermalTruthIsTheGreyRenderedFromTheWrittenCounts) {
  survey_spec design;
  design.image_format = survey_image_format::thermal16;
  design.supersampling = 1;
  design.thermal_min_c = 10.0;
  design.thermal_max_c = 30.0;
  const survey_truth truth = plan_survey(design, "/tmp/unused_survey");
  const cv::Mat counts = truth.render_image(2);
  ASSERT_EQ(counts.type(), CV_16UC1);
  for (int r = 5; r < design.image_height; r += 23) {
    for (int c = 3; c < design.image_width; c += 31) {
      local_point g;
      ASSERT_TRUE(truth.pixel_ground_point(2, c + 1, r + 1, g));
      // Celsius = count * 0.04 - 273; grey = trunc(255 * (t - min) / (max - min)).
      const double t = counts.at<std::uint16_t>(r, c) * 0.04 - 273.0;
      const int grey = static_cast<int>(255.0 * (t - 10.0) / 20.0);
      const cv::Vec3b recorded = truth.recorded_bgr(g.x_m, g.y_m, 0.0);
      EXPECT_NEAR(recorded[0], grey, 1) << r << "," << c;
      EXPECT_EQ(recorded[0], recorded[1]);
      EXPECT_EQ(recorded[0], recorded[2]);
    }
  }
}

TEST(SurveyRendering, ProjectionValuesAddOneScaleAndSaturate) {
  survey_spec design;
  design.image_data_multiplier = 2.0;
  cv::Mat bgr(1, 2, CV_8UC3);
  bgr.at<cv::Vec3b>(0, 0) = {10, 200, 255};
  bgr.at<cv::Vec3b>(0, 1) = {0, 50, 126};
  apply_projection_values(design, bgr);
  EXPECT_EQ(bgr.at<cv::Vec3b>(0, 0), cv::Vec3b(22, 255, 255));
  EXPECT_EQ(bgr.at<cv::Vec3b>(0, 1), cv::Vec3b(2, 102, 254));
}

// --- Written files -------------------------------------------------------------

TEST(SurveyFiles, WritesConfigurationFlightLogImagesAndDem) {
  scratch_dir dir("survey");
  survey_spec design;
  design.hills = true;
  design.use_dem = true;
  const survey_truth truth = make_survey(design, dir.path().string());

  const std::string config = read_file(truth.files.config);
  for (const char* line : {"image_width_pixels,160\n", "image_height_pixels,120\n",
                           "image_kx,500\n", "RPH_scale[2],1\n", "topo_height,120\n", "USE_DEM,1\n",
                           "output_pixel_size,0.5\n", "image_data_multiplier,1\n"})
    EXPECT_NE(config.find(line), std::string::npos) << line;
  EXPECT_NE(config.find("image_dir," + truth.files.image_dir + "\n"), std::string::npos);
  EXPECT_NE(config.find("output_dir," + truth.files.output_dir + "\n"), std::string::npos);
  EXPECT_EQ(truth.files.image_dir.back(), '/');

  // Flight log: one line per image, nine fields, and the centre of its extremes.
  std::istringstream log(read_file(truth.files.flight_log));
  std::string line;
  double lat_lo = 1e9, lat_hi = -1e9, lon_lo = 1e9, lon_hi = -1e9;
  std::size_t lines = 0;
  while (std::getline(log, line)) {
    std::vector<std::string> fields;
    std::stringstream ss(line);
    std::string f;
    while (std::getline(ss, f, ',')) fields.push_back(f);
    ASSERT_EQ(fields.size(), 9u) << line;
    const cv::Mat image = cv::imread(truth.files.image_dir + fields[0], cv::IMREAD_COLOR);
    ASSERT_FALSE(image.empty()) << fields[0];
    EXPECT_EQ(image.size(), cv::Size(160, 120));
    const double heading = std::stod(fields[6]);
    EXPECT_TRUE(std::abs(std::fmod(heading, 180.0) - 30.0) <= 1.0) << heading;
    lat_lo = std::min(lat_lo, std::stod(fields[1]));
    lat_hi = std::max(lat_hi, std::stod(fields[1]));
    lon_lo = std::min(lon_lo, std::stod(fields[2]));
    lon_hi = std::max(lon_hi, std::stod(fields[2]));
    ++lines;
  }
  EXPECT_EQ(lines, truth.cameras.size());
  EXPECT_EQ(lines, 15u);
  EXPECT_DOUBLE_EQ(truth.centre_latitude_deg, (lat_hi - lat_lo) * 0.5 + lat_lo);
  EXPECT_DOUBLE_EQ(truth.centre_longitude_deg, (lon_hi - lon_lo) * 0.5 + lon_lo);

  // DEM: header, size, and heights of the hill function at each cell's position.
  const std::string dem = read_file(truth.files.dem);
  std::int32_t a, b;
  double west, south, cell;
  std::memcpy(&a, dem.data(), 4);
  std::memcpy(&b, dem.data() + 4, 4);
  std::memcpy(&west, dem.data() + 8, 8);
  std::memcpy(&south, dem.data() + 16, 8);
  std::memcpy(&cell, dem.data() + 24, 8);
  ASSERT_EQ(dem.size(), 32u + 4u * a * b);
  EXPECT_EQ(cell, design.dem_cell_deg);
  for (const auto& [i, j] : {std::pair{0, 0}, std::pair{b / 2, a / 3}, std::pair{b - 1, a - 1}}) {
    float h;
    std::memcpy(&h, dem.data() + 32 + 4 * (static_cast<std::size_t>(b) * j + i), 4);
    EXPECT_NEAR(h, truth.terrain_height_m(south + (b - i) * cell, west + j * cell), 1e-4);
  }
  float max_height = -1e9f;
  for (std::size_t k = 32; k < dem.size(); k += 4) {
    float h;
    std::memcpy(&h, dem.data() + k, 4);
    max_height = std::max(max_height, h);
  }
  EXPECT_GT(max_height, 20.0f);  // metres: real hills

  // Every footprint corner lies at least five cells inside the DEM.
  for (int i = 0; i < static_cast<int>(truth.cameras.size()); ++i) {
    for (const auto& [u, v] : {std::pair{1.0, 1.0}, std::pair{160.0, 120.0}}) {
      local_point g;
      ASSERT_TRUE(truth.pixel_ground_point(i, u, v, g));
      const geo_point p = truth.local_to_geographic(g.x_m, g.y_m);
      EXPECT_GT(p.longitude_deg, west + 5 * cell);
      EXPECT_LT(p.longitude_deg, west + (a - 5) * cell);
      EXPECT_GT(p.latitude_deg, south + 5 * cell);
      EXPECT_LT(p.latitude_deg, south + (b - 5) * cell);
    }
  }
}

TEST(SurveyFiles, RawFramesCarryTheirSizeAndTheRenderedBytes) {
  scratch_dir dir("survey");
  survey_spec design;
  design.image_format = survey_image_format::raw_rgb;
  design.line_count = 1;
  design.images_per_line = 2;
  const survey_truth truth = make_survey(design, dir.path().string());
  const std::string name = truth.cameras[1].name;
  EXPECT_NE(name.find("rgb"), std::string::npos);
  const std::string bytes = read_file(truth.files.image_dir + name);
  ASSERT_EQ(bytes.size(), 8u + 160u * 120u * 3u);
  std::int32_t w, h;
  std::memcpy(&w, bytes.data(), 4);
  std::memcpy(&h, bytes.data() + 4, 4);
  EXPECT_EQ(w, 160);
  EXPECT_EQ(h, 120);
  const cv::Mat image = truth.render_image(1);
  EXPECT_EQ(std::memcmp(bytes.data() + 8, image.data, bytes.size() - 8), 0);
}

TEST(SurveyFiles, ThermalFramesAreSixteenBitCountsWithinTheConfiguredRange) {
  scratch_dir dir("survey");
  survey_spec design;
  design.image_format = survey_image_format::thermal16;
  design.line_count = 1;
  design.images_per_line = 1;
  const survey_truth truth = make_survey(design, dir.path().string());
  const cv::Mat counts =
      cv::imread(truth.files.image_dir + truth.cameras[0].name, cv::IMREAD_ANYDEPTH);
  ASSERT_EQ(counts.type(), CV_16UC1);
  EXPECT_EQ(cv::norm(counts, truth.render_image(0), cv::NORM_INF), 0.0);
  double lo, hi;
  cv::minMaxLoc(counts, &lo, &hi);
  EXPECT_GE(lo * 0.04 - 273.0, design.thermal_min_c);  // degrees Celsius
  EXPECT_LE(hi * 0.04 - 273.0, design.thermal_max_c);
  EXPECT_NE(read_file(truth.files.config).find("use_16bit_image_input,1\n"), std::string::npos);
}

TEST(SurveyFiles, RefusesAFolderThatWouldTurnPngImagesIntoRawFrames) {
  EXPECT_THROW(plan_survey(survey_spec(), "/tmp/rgb_survey"), std::invalid_argument);
}

// --- Coverage ----------------------------------------------------------------

TEST(SurveyCoverage, FlightLinesCoverOneContiguousArea) {
  for (const bool hills : {false, true}) {
    survey_spec design;
    design.hills = hills;
    design.use_dem = hills;
    const survey_truth truth = plan_survey(design, "/tmp/unused_survey");
    const double p = 1.0;  // metre grid is enough to see gaps
    const cv::Mat mask = expected_coverage_mask(truth, -150, 150, p, 301, 301, 0.0);
    cv::Mat labels;
    EXPECT_EQ(cv::connectedComponents(mask, labels, 4), 2)
        << "hills " << hills;  // background + one area
    // The covered area is several footprints wide (footprint about 80 x 60 m).
    EXPECT_GT(cv::countNonZero(mask) * p * p, 4 * 80.0 * 60.0);
    // The grid edges stay uncovered, so the area lies inside it.
    EXPECT_EQ(cv::countNonZero(mask.row(0)) + cv::countNonZero(mask.row(300)) +
                  cv::countNonZero(mask.col(0)) + cv::countNonZero(mask.col(300)),
              0);
  }
}

// --- Map projection ------------------------------------------------------------

TEST(SurveyUtm, ForwardMatchesProjWithinAMillimetre) {
  // Computed with PROJ 9.1.1:
  //   cs2cs -f %.4f +proj=longlat +datum=WGS84 +to +proj=utm +zone=Z +datum=WGS84
  // (no +south: southern northings stay negative, as the system expects).
  struct sample {
    double lat, lon, meridian, easting, northing;
  };
  const sample samples[] = {
      {45.3, 9.2, 9.0, 515680.5838, 5016296.9297},
      {44.1, 6.3, 9.0, 283891.1841, 4886524.6079},
      {47.6, 11.95, 9.0, 721743.6163, 5276060.6878},
      {45.0, 9.0, 9.0, 500000.0000, 4982950.4002},
      {33.9, -117.4, -117.0, 463017.5233, 3751140.2679},
      {-20.5, 16.7, 15.0, 677280.4268, -2267734.1181},
  };
  for (const sample& s : samples) {
    const double meridian = utm_zone_central_meridian(s.meridian);
    double e, n;
    geographic_to_utm(s.lat, s.lon, meridian, e, n);
    EXPECT_NEAR(e, s.easting, 1e-3) << s.lat << " " << s.lon;  // 1 mm
    EXPECT_NEAR(n, s.northing, 1e-3) << s.lat << " " << s.lon;
  }
}

TEST(SurveyUtm, InverseUndoesForwardToAMillimetre) {
  std::mt19937 random(11);
  std::uniform_real_distribution<double> lat_of(-70, 70), dlon_of(-3.5, 3.5);
  for (int k = 0; k < 200; ++k) {
    const double lat = lat_of(random), lon = 9.0 + dlon_of(random);
    double e, n, lat2, lon2;
    geographic_to_utm(lat, lon, 9.0, e, n);
    utm_to_geographic_exact(e, n, 9.0, lat2, lon2);
    EXPECT_NEAR(lat2, lat, 1e-8);  // degrees: about 1 mm
    EXPECT_NEAR(lon2, lon, 1e-8);
  }
}

TEST(SurveyUtm, ZoneFollowsTheConfiguredMeridian) {
  EXPECT_EQ(utm_zone_central_meridian(9.0), 9.0);
  EXPECT_EQ(utm_zone_central_meridian(10.0), 9.0);
  EXPECT_EQ(utm_zone_central_meridian(15.0), 15.0);
  EXPECT_EQ(utm_zone_central_meridian(-117.0), -117.0);
}

TEST(SurveyUtm, UtmLogHoldsEastingNorthingOfTheCameras) {
  scratch_dir dir("survey");
  survey_spec design;
  design.utm_positions = true;
  design.line_count = 1;
  design.images_per_line = 2;
  const survey_truth truth = make_survey(design, dir.path().string());
  std::istringstream log(read_file(truth.files.flight_log));
  std::string line;
  ASSERT_TRUE(std::getline(log, line));
  std::vector<std::string> fields;
  std::stringstream ss(line);
  for (std::string f; std::getline(ss, f, ',');) fields.push_back(f);
  ASSERT_EQ(fields.size(), 9u);
  const double e = std::stod(fields[1]), n = std::stod(fields[2]);
  EXPECT_GT(std::abs(n), 180.0);  // the system's UTM marker
  double lat, lon;
  utm_to_geographic_exact(e, n, 9.0, lat, lon);
  EXPECT_NEAR(lat, truth.cameras[0].latitude_deg, 1e-12);
  EXPECT_NEAR(lon, truth.cameras[0].longitude_deg, 1e-12);
  EXPECT_NEAR(lat, 45.3, 1e-3);
}

// --- Truth comparison ----------------------------------------------------------

class TruthCompare : public ::testing::Test {
 protected:
  survey_truth truth = plan_survey(survey_spec(), "/tmp/unused_survey");
  const double p = 0.5;  // metres per output pixel
};

TEST_F(TruthCompare, TruthAgainstItselfIsPerfect) {
  const cv::Mat t = render_truth(truth, -40, 40, p, 160, 160);
  const truth_stats s = compare_to_truth(t, t);
  EXPECT_DOUBLE_EQ(s.covered_fraction, 1.0);
  EXPECT_NEAR(s.ncc, 1.0, 1e-12);
  EXPECT_GT(s.blocks, 20);
  EXPECT_NEAR(s.median_offset_px, 0.0, 1e-6);
  EXPECT_NEAR(s.p95_offset_px, 0.0, 1e-6);
}

TEST_F(TruthCompare, ShiftOfOneAndAHalfPixelsIsMeasured) {
  const cv::Mat t = render_truth(truth, -40, 40, p, 160, 160);
  // Rendering from 1.5 pixels further east moves the content 1.5 pixels west.
  const cv::Mat east = render_truth(truth, -40 + 1.5 * p, 40, p, 160, 160);
  const truth_stats s = compare_to_truth(east, t);
  EXPECT_NEAR(s.median_offset_px, 1.5, 0.05) << describe(s);
  EXPECT_NEAR(s.median_dx_px, -1.5, 0.05) << describe(s);
  EXPECT_NEAR(s.median_dy_px, 0.0, 0.05) << describe(s);
  EXPECT_NEAR(s.p95_offset_px, 1.5, 0.1) << describe(s);  // every block agrees
  EXPECT_LT(s.ncc, 0.95);
  // Rendering from 1.5 pixels further north moves the content 1.5 rows down.
  const cv::Mat north = render_truth(truth, -40, 40 + 1.5 * p, p, 160, 160);
  const truth_stats n = compare_to_truth(north, t);
  EXPECT_NEAR(n.median_dy_px, 1.5, 0.05) << describe(n);
  EXPECT_NEAR(n.median_dx_px, 0.0, 0.05) << describe(n);
}

TEST_F(TruthCompare, UncoveredPixelsCountAgainstCoverageOnly) {
  const cv::Mat t = render_truth(truth, -40, 40, p, 160, 160);
  cv::Mat half;
  cv::cvtColor(t, half, cv::COLOR_BGR2BGRA);
  half(cv::Rect(0, 0, 80, 160)).setTo(cv::Scalar::all(0));  // transparent west half
  const truth_stats s = compare_to_truth(half, t);
  EXPECT_NEAR(s.covered_fraction, 0.5, 1e-12);
  EXPECT_NEAR(s.ncc, 1.0, 1e-12);
  EXPECT_NEAR(s.median_offset_px, 0.0, 1e-6);
  cv::Mat east_only(160, 160, CV_8UC1, cv::Scalar(0));
  east_only(cv::Rect(80, 0, 80, 160)).setTo(255);
  EXPECT_DOUBLE_EQ(compare_to_truth(half, t, east_only).covered_fraction, 1.0);
}

TEST_F(TruthCompare, MismatchedSizesAreRefused) {
  const cv::Mat t = render_truth(truth, -10, 10, p, 40, 40);
  EXPECT_THROW(compare_to_truth(t(cv::Rect(0, 0, 39, 40)), t), std::invalid_argument);
}

TEST_F(TruthCompare, WorldFileOriginIsRecoveredFromSinglePrecisionBounds) {
  scratch_dir dir("world");
  // The system writes lon_min and lat_max as single-precision degrees of snapped bounds.
  const double x_min = -123.5, y_max = 87.0;
  const double cos0 = std::cos(truth.centre_latitude_deg * pi / 180.0);
  const float lon_min = static_cast<float>(truth.centre_longitude_deg +
                                           x_min / (truth.radius_east_m * cos0) * 180 / pi);
  const float lat_max =
      static_cast<float>(truth.centre_latitude_deg + y_max / truth.radius_north_m * 180 / pi);
  char text[200];
  std::snprintf(text, sizeof(text), "%1.10g\n0\n0\n%1.10g\n%1.10g\n%1.10g\n\n", 6.3e-6, -4.5e-6,
                double(lon_min), double(lat_max));
  write_text_file(dir.file("mosaic.tfw"), text);
  const world_file w = read_world_file(dir.file("mosaic.tfw"));
  EXPECT_DOUBLE_EQ(w.lon_per_pixel, 6.3e-6);
  const view_origin o = view_origin_from_world_file(truth, w, p);
  EXPECT_DOUBLE_EQ(o.x_min_m, x_min);
  EXPECT_DOUBLE_EQ(o.y_max_m, y_max);
  EXPECT_THROW(read_world_file(dir.file("missing.tfw")), std::runtime_error);
}

}  // namespace
}  // namespace aeroquilt::testing
