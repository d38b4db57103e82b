#include "terrain/map_projection.h"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <sstream>

#include "survey/synthetic_survey.h"

namespace aeroquilt {
namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kMetresPerDegree = 111320.0;  // close enough (0.5%) to state errors as distances

TEST(UtmCentralMeridian, FollowsTheZoneOfTheConfiguredLongitude) {
  const double cases[][2] = {{-117.0, -117.0}, {10.0, 9.0},   {9.0, 9.0},     {15.0, 15.0},
                             {12.0, 15.0},     {11.999, 9.0}, {180.0, 183.0}, {-180.0, -177.0}};
  for (const auto& c : cases) EXPECT_EQ(utm_central_meridian(c[0]), c[1]) << c[0];
}

// Rows computed with PROJ cs2cs; tests/data/utm_reference.csv says how. The survey maker's
// own projection (the end-to-end tests' ground truth for UTM logs) must agree with them too.
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
    const double maker_meridian = testing::utm_zone_central_meridian(meridian);
    ASSERT_EQ(maker_meridian, 6.0 * zone - 183.0) << line;
    double e = 0, n = 0;
    testing::geographic_to_utm(lat_ref, lon_ref, maker_meridian, e, n);
    EXPECT_LT(std::hypot(e - easting, n - northing), 1e-3) << line;
    testing::utm_to_geographic_exact(easting, northing, maker_meridian, latitude, longitude);
    EXPECT_NEAR(latitude, lat_ref, 1e-10) << line;  // degrees: about 10 um, as PROJ prints
    EXPECT_NEAR(longitude, lon_ref, 1e-10) << line;
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

}  // namespace
}  // namespace aeroquilt
