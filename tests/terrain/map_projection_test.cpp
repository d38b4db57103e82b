#include "base/local_frame.h"
#include "terrain/map_projection.h"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <random>
#include <sstream>

namespace aeroquilt {
namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kMetresPerDegree = 111320.0;  // close enough (0.5%) to state errors as distances

TEST(UtmCentralMeridian, FollowsTheZoneOfTheConfiguredLongitude) {
  const double cases[][2] = {{-117.0, -117.0}, {10.0, 9.0},   {9.0, 9.0},     {15.0, 15.0},
                             {12.0, 15.0},     {11.999, 9.0}, {180.0, 183.0}, {-180.0, -177.0}};
  for (const auto& c : cases) EXPECT_EQ(utm_central_meridian(c[0]), c[1]) << c[0];
}

// Rows computed with PROJ cs2cs; tests/data/utm_reference.csv says how.
TEST(UtmToGeographic, EveryReferencePointAgreesWithProjToOneMillimetre) {
  std::ifstream file("tests/data/utm_reference.csv");
  int points = 0;
  bool header_seen = false;
  for (std::string line; std::getline(file, line);) {
    if (line.empty() || line[0] == '#' || !header_seen) {
      header_seen = header_seen || (!line.empty() && line[0] != '#');
      continue;
    }
    std::istringstream row(line);
    int zone;
    double meridian, easting, northing, lat_ref, lon_ref;
    char comma;
    row >> zone >> comma >> meridian >> comma >> easting >> comma >> northing >> comma >> lat_ref >>
        comma >> lon_ref;
    ASSERT_TRUE(row) << line;
    ASSERT_EQ(utm_central_meridian(meridian), 6.0 * zone - 183.0) << line;
    double latitude = 0, longitude = 0;
    utm_to_geographic(easting, northing, utm_central_meridian(meridian), latitude, longitude);
    const double north_m = (latitude - lat_ref) * kMetresPerDegree;
    const double east_m = (longitude - lon_ref) * kMetresPerDegree * std::cos(lat_ref * kPi / 180);
    EXPECT_LT(std::hypot(north_m, east_m), 1e-3) << line;  // 1 mm
    ++points;
  }
  EXPECT_GE(points, 20) << "tests/data/utm_reference.csv missing or unreadable";
}

TEST(UtmToGeographic, NegativeNorthingMirrorsIntoTheSouthAndNonFiniteReturns) {
  // No hemisphere handling: a negative northing is a distance south of the equator.
  double north_lat = 0, north_lon = 0, south_lat = 0, south_lon = 0;
  utm_to_geographic(612345.0, 3456789.0, 9.0, north_lat, north_lon);
  utm_to_geographic(612345.0, -3456789.0, 9.0, south_lat, south_lon);
  EXPECT_NEAR(south_lat, -north_lat, 1e-12);
  EXPECT_NEAR(south_lon, north_lon, 1e-12);
  // Garbage from a flight log must not hang the footpoint iteration.
  double latitude = 0, longitude = 0;
  utm_to_geographic(500000.0, 1e300, 9.0, latitude, longitude);
  for (double northing : {INFINITY, NAN}) {
    utm_to_geographic(500000.0, northing, 9.0, latitude, longitude);
    EXPECT_FALSE(std::isfinite(latitude));
  }
}

TEST(LocalFrame, GeographicToLocalAndBackRoundTrips) {
  std::mt19937 random(20240611);
  std::uniform_real_distribution<double> ref_lat(-75.0, 75.0), ref_lon(-180.0, 180.0);
  std::uniform_real_distribution<double> offset_deg(-0.5, 0.5);
  for (int i = 0; i < 1000; ++i) {
    const local_frame frame = make_local_frame(ref_lat(random), ref_lon(random));
    const double latitude = frame.ref_lat + offset_deg(random);
    const double longitude = frame.ref_lon + offset_deg(random);
    double x = 0, y = 0, back_lat = 0, back_lon = 0;
    geographic_to_local(latitude, longitude, frame, x, y);
    EXPECT_EQ(x > 0, longitude > frame.ref_lon);  // x east, y north
    EXPECT_EQ(y > 0, latitude > frame.ref_lat);
    local_to_geographic(x, y, frame, back_lat, back_lon);
    EXPECT_NEAR(back_lat, latitude, 1e-9);  // degrees, ~0.1 mm
    EXPECT_NEAR(back_lon, longitude, 1e-9);
  }
}

}  // namespace
}  // namespace aeroquilt
