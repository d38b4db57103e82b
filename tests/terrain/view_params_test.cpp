#include "terrain/view_params.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "base/local_frame.h"
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
