#include "terrain/map_projection.h"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace aeroquilt {
namespace {

constexpr double kPi = 3.141592653589793;
// Ground metres per degree of latitude, close enough (0.5%) to express angle errors as distance.
constexpr double kMetresPerDegree = 111320.0;
constexpr double kOneMillimetre = 1e-3;  // m

struct utm_reference_point {
  int zone;
  double meridian_longitude;  // degrees, configuration value selecting the zone
  double easting_m;
  double northing_m;
  double latitude_deg;
  double longitude_deg;
};

// Rows computed with PROJ cs2cs; tests/data/utm_reference.csv says how.
std::vector<utm_reference_point> load_utm_reference() {
  std::ifstream file("tests/data/utm_reference.csv");
  std::vector<utm_reference_point> points;
  std::string line;
  bool header_seen = false;
  while (std::getline(file, line)) {
    if (line.empty() || line[0] == '#') continue;
    if (!header_seen) {
      header_seen = true;  // column names
      continue;
    }
    std::istringstream row(line);
    utm_reference_point p{};
    char comma;
    row >> p.zone >> comma >> p.meridian_longitude >> comma >> p.easting_m >> comma >>
        p.northing_m >> comma >> p.latitude_deg >> comma >> p.longitude_deg;
    if (row) points.push_back(p);
  }
  return points;
}

struct ground_error {
  double north_m;
  double east_m;
};

ground_error error_against_reference(const utm_reference_point& p) {
  double latitude = 0, longitude = 0;
  utm_to_geographic(p.easting_m, p.northing_m, utm_central_meridian(p.meridian_longitude), latitude,
                    longitude);
  return {(latitude - p.latitude_deg) * kMetresPerDegree,
          (longitude - p.longitude_deg) * kMetresPerDegree * std::cos(p.latitude_deg * kPi / 180)};
}

TEST(UtmCentralMeridian, FollowsTheZoneOfTheConfiguredLongitude) {
  EXPECT_EQ(utm_central_meridian(-117.0), -117.0);  // zone 11
  EXPECT_EQ(utm_central_meridian(10.0), 9.0);       // zone 32
  EXPECT_EQ(utm_central_meridian(9.0), 9.0);        // zone 32
  EXPECT_EQ(utm_central_meridian(15.0), 15.0);      // zone 33
  EXPECT_EQ(utm_central_meridian(12.0), 15.0);      // zone 33 starts at 12
  EXPECT_EQ(utm_central_meridian(11.999), 9.0);
}

TEST(UtmCentralMeridian, WrapsNeitherEndOfTheLongitudeRange) {
  EXPECT_EQ(utm_central_meridian(180.0), 183.0);    // zone 61
  EXPECT_EQ(utm_central_meridian(-180.0), -177.0);  // zone 1
}

TEST(UtmToGeographic, ReferenceFileCoversSeveralZonesAndLatitudes) {
  const std::vector<utm_reference_point> points = load_utm_reference();
  ASSERT_GE(points.size(), 20u) << "tests/data/utm_reference.csv missing or unreadable";
  for (const auto& p : points) {
    EXPECT_EQ(utm_central_meridian(p.meridian_longitude), 6.0 * p.zone - 183.0)
        << "zone " << p.zone;
  }
}

// The east component depends on the series in x alone, the north one also on the
// meridian arc; both must match PROJ to the millimetre.
TEST(UtmToGeographic, EastComponentAgreesWithProjToOneMillimetre) {
  for (const auto& p : load_utm_reference()) {
    EXPECT_LT(std::fabs(error_against_reference(p).east_m), kOneMillimetre)
        << "zone " << p.zone << " E " << p.easting_m << " N " << p.northing_m;
  }
}

TEST(UtmToGeographic, OffMeridianTermsAgreeWithProjToOneMillimetre) {
  const std::vector<utm_reference_point> points = load_utm_reference();
  int pairs = 0;
  for (size_t i = 0; i + 1 < points.size(); ++i) {
    const auto& off = points[i];
    const auto& on = points[i + 1];
    if (off.easting_m == 500000.0 || on.easting_m != 500000.0 || on.northing_m != off.northing_m)
      continue;
    ++pairs;
    const double north_difference =
        error_against_reference(off).north_m - error_against_reference(on).north_m;
    EXPECT_LT(std::fabs(north_difference), kOneMillimetre)
        << "zone " << off.zone << " E " << off.easting_m << " N " << off.northing_m;
  }
  EXPECT_GE(pairs, 20);
}

TEST(UtmToGeographic, EveryReferencePointAgreesWithProjToOneMillimetre) {
  for (const auto& p : load_utm_reference()) {
    const ground_error e = error_against_reference(p);
    EXPECT_LT(std::hypot(e.north_m, e.east_m), kOneMillimetre)
        << "zone " << p.zone << " E " << p.easting_m << " N " << p.northing_m;
  }
}

TEST(UtmToGeographic, EquatorAgreesWithProjToOneMillimetre) {
  int equator_points = 0;
  for (const auto& p : load_utm_reference()) {
    if (p.northing_m != 0.0) continue;
    ++equator_points;
    const ground_error e = error_against_reference(p);
    EXPECT_LT(std::hypot(e.north_m, e.east_m), kOneMillimetre) << "E " << p.easting_m;
  }
  EXPECT_GE(equator_points, 5);
}

TEST(UtmToGeographic, FalseEastingLiesOnTheCentralMeridian) {
  for (double meridian : {-177.0, -117.0, 9.0, 15.0, 153.0, 183.0}) {
    double latitude = 0, longitude = 0;
    utm_to_geographic(500000.0, 5000000.0, meridian, latitude, longitude);
    EXPECT_NEAR(longitude, meridian, 1e-12);
  }
  double latitude = 1, longitude = 0;
  utm_to_geographic(500000.0, 0.0, 9.0, latitude, longitude);
  EXPECT_NEAR(latitude * kPi / 180, 0.0, 1e-8);  // rad
}

TEST(UtmToGeographic, NegativeNorthingMirrorsIntoTheSouth) {
  // No hemisphere handling: a negative northing is a distance south of the equator.
  double north_lat = 0, north_lon = 0, south_lat = 0, south_lon = 0;
  utm_to_geographic(612345.0, 3456789.0, 9.0, north_lat, north_lon);
  utm_to_geographic(612345.0, -3456789.0, 9.0, south_lat, south_lon);
  EXPECT_GT(north_lat, 30.0);
  EXPECT_NEAR(south_lat, -north_lat, 1e-12);
  EXPECT_NEAR(south_lon, north_lon, 1e-12);
}

TEST(UtmToGeographic, NonFiniteNorthingReturnsWithoutHanging) {
  double latitude = 0, longitude = 0;
  utm_to_geographic(500000.0, INFINITY, 9.0, latitude, longitude);
  EXPECT_FALSE(std::isfinite(latitude));
  utm_to_geographic(500000.0, NAN, 9.0, latitude, longitude);
  EXPECT_FALSE(std::isfinite(latitude));
  utm_to_geographic(500000.0, 1e300, 9.0, latitude, longitude);  // absurd but finite
  SUCCEED();
}

TEST(LocalRadii, EquatorGivesSemiMajorAxisEastAndFirstPowerNorth) {
  const double e2 = 0.081819190842 * 0.081819190842;  // local-frame eccentricity, squared
  double east = 0, north = 0;
  local_radii(0.0, east, north);
  EXPECT_EQ(east, 6378137.0);
  EXPECT_NEAR(north, 6378137.0 * (1 - e2), 1e-6);
}

TEST(LocalRadii, NorthRadiusIsTheTextbookRadiusTimesTheSquareRootFactor) {
  // Textbook meridional radius a(1-e^2)/(1-e^2 sin^2)^1.5 at 45 degrees: 6367381.8 m;
  // the local frame uses one power less, a factor sqrt(1 - e^2/2) = 0.998325 smaller.
  double east = 0, north = 0;
  local_radii(45.0, east, north);
  EXPECT_NEAR(north / 6367381.8, 0.998325, 1e-6);
  EXPECT_NEAR(east, 6388838.3, 0.1);  // prime-vertical radius at 45 degrees, WGS84
}

TEST(LocalFrame, MakeLocalFrameFillsTheRadiiOfItsReference) {
  const local_frame frame = make_local_frame(-33.5, 151.2);
  double east = 0, north = 0;
  local_radii(-33.5, east, north);
  EXPECT_EQ(frame.ref_lat, -33.5);
  EXPECT_EQ(frame.ref_lon, 151.2);
  EXPECT_EQ(frame.radius_east, east);
  EXPECT_EQ(frame.radius_north, north);
}

TEST(LocalFrame, ReferencePointIsTheOriginAndAxesPointEastAndNorth) {
  const local_frame frame = make_local_frame(52.0, 4.5);
  double x = 1, y = 1;
  geographic_to_local(52.0, 4.5, frame, x, y);
  EXPECT_EQ(x, 0.0);
  EXPECT_EQ(y, 0.0);
  geographic_to_local(52.001, 4.501, frame, x, y);
  EXPECT_GT(x, 0.0);
  EXPECT_GT(y, 0.0);
  EXPECT_NEAR(x / y, std::cos(52.0 * kPi / 180) * frame.radius_east / frame.radius_north, 1e-9);
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
    local_to_geographic(x, y, frame, back_lat, back_lon);
    EXPECT_NEAR(back_lat, latitude, 1e-9);  // degrees, ~0.1 mm
    EXPECT_NEAR(back_lon, longitude, 1e-9);
  }
}

TEST(LocalFrame, LocalToGeographicAndBackRoundTrips) {
  std::mt19937 random(7);
  std::uniform_real_distribution<double> metres(-20000.0, 20000.0);
  const local_frame frame = make_local_frame(-12.25, 130.8);
  for (int i = 0; i < 500; ++i) {
    const double x = metres(random), y = metres(random);
    double latitude = 0, longitude = 0, back_x = 0, back_y = 0;
    local_to_geographic(x, y, frame, latitude, longitude);
    geographic_to_local(latitude, longitude, frame, back_x, back_y);
    EXPECT_NEAR(back_x, x, 1e-6);  // m
    EXPECT_NEAR(back_y, y, 1e-6);
  }
}

}  // namespace
}  // namespace aeroquilt
