#include "terrain/view_params.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "terrain/map_projection.h"

namespace aeroquilt {
namespace {

// A record with the given raw bounds, finished at the equator.
view_params finished(float p, float x_min, float x_max, float y_min, float y_max) {
  view_params view = empty_view_params();
  view.pixel_size = p;
  view.x_min = x_min;
  view.x_max = x_max;
  view.y_min = y_min;
  view.y_max = y_max;
  finish_view_params(view, 0.0f, 0.0f);
  return view;
}

TEST(ViewSnapping, BoundsMoveToNearestMultipleWithTiesToEven) {
  // -3 / 2 = -1.5 rounds to the even quotient -2, 5 / 2 = 2.5 to 2.
  const view_params wide = finished(2.0f, -3.0f, 5.0f, 0.0f, 0.0f);
  EXPECT_EQ(wide.x_min, -4.0f);
  EXPECT_EQ(wide.x_max, 4.0f);
  EXPECT_EQ(wide.width, 5);
  EXPECT_EQ(wide.height, 1);
  // West and south edges can move inward.
  const view_params narrow = finished(2.0f, 2.9f, 3.1f, 2.9f, 3.1f);
  EXPECT_EQ(narrow.x_min, 2.0f);
  EXPECT_EQ(narrow.y_max, 4.0f);
  EXPECT_EQ(narrow.width, 2);
  EXPECT_EQ(narrow.height, 2);
}

TEST(ViewGeography, SubviewBoundsMatchTheRequestedDegreesWithinHalfAPixel) {
  const double ref_lat = 46.5, ref_lon = 8.25;  // degrees
  const double p = 0.5;                         // metres
  const view_params view = subview_params(p, 8.2, 46.48, 8.31, 46.53, ref_lat, ref_lon);
  // Half a pixel of snapping, plus float rounding of degrees (~1e-6 deg).
  const double half_pixel_lat = 0.5 * p / 111000.0 + 2e-6;
  const double half_pixel_lon = 0.5 * p / 76000.0 + 2e-6;
  EXPECT_NEAR(view.lon_min, 8.2, half_pixel_lon);
  EXPECT_NEAR(view.lon_max, 8.31, half_pixel_lon);
  EXPECT_NEAR(view.lat_min, 46.48, half_pixel_lat);
  EXPECT_NEAR(view.lat_max, 46.53, half_pixel_lat);
  EXPECT_FLOAT_EQ(view.lon_per_pixel, view.lon_range / view.width);
  EXPECT_FLOAT_EQ(view.lat_per_pixel, view.lat_range / view.height);
  EXPECT_EQ(view.ref_lat_rad, reference_radians(ref_lat));

  // The corner agrees with the run's own local-to-geographic conversion.
  double lat = 0, lon = 0;
  local_to_geographic(view.x_min, view.y_max, make_local_frame(ref_lat, ref_lon), lat, lon);
  EXPECT_NEAR(view.lon_min, lon, 2e-6);
  EXPECT_NEAR(view.lat_max, lat, 2e-6);
}

TEST(ViewSurvey, BoundsCoverEveryFiniteFootprintCorner) {
  arma::mat a(5, 3, arma::fill::zeros), b(5, 3, arma::fill::zeros);
  a.col(0) = arma::vec{-120.2, -80, -100, -90, -95};
  a.col(1) = arma::vec{10, 40.6, 20, 30, 25};
  b.col(0) = arma::vec{50, 211.7, 100, 150, 120};
  b.col(1) = arma::vec{-60.4, 0, -30, -20, -25};
  b(4, 0) = std::nan("");  // a ray that never met the ground
  const view_params view = survey_view_params({a, arma::mat(), b}, 1.0, 45.0, 7.0);
  EXPECT_EQ(view.x_min, -120.0f);
  EXPECT_EQ(view.x_max, 212.0f);
  EXPECT_EQ(view.y_min, -60.0f);
  EXPECT_EQ(view.y_max, 41.0f);
  EXPECT_EQ(view.width, 333);
  EXPECT_EQ(view.height, 102);
  EXPECT_EQ(view.pixel_count, 333 * 102);
}

}  // namespace
}  // namespace aeroquilt
