#include "imaging/view_projection.h"

#include <gtest/gtest.h>

namespace aeroquilt {
namespace {

// A 100 x 50 pixel view of 2 m pixels from x = -100 .. 98, y = 50 .. -48.
view_params test_view() {
  view_params view = empty_view_params();
  view.x_min = -100;
  view.y_max = 50;
  view.pixel_size = 2;
  view.width = 100;
  view.height = 50;
  return view;
}

arma::mat box(double x0, double x1, double y0, double y1) {
  return arma::mat{{x0, y1, 0}, {x1, y1, 0}, {x1, y0, 0}, {x0, y0, 0}, {x0, y1, 0}};
}

TEST(FootprintWindow, InsideTheViewTruncatesTowardZero) {
  footprint_window window;
  ASSERT_TRUE(view_window(box(-91, -80.5, 20, 41), test_view(), window));
  EXPECT_EQ(window.c0, 4);   // (-91 + 100) / 2 = 4.5
  EXPECT_EQ(window.c1, 9);   // 19.5 / 2 = 9.75
  EXPECT_EQ(window.r0, 4);   // (50 - 41) / 2 = 4.5
  EXPECT_EQ(window.r1, 15);  // (50 - 20) / 2 = 15
  EXPECT_EQ(window.rows(), 12);
  EXPECT_EQ(window.cols(), 6);
}

TEST(FootprintWindow, EastEdgeIsClampedAndItsLastColumnKept) {
  footprint_window window;
  // Ends exactly on the east edge column (x = 98 is column 99) and beyond it.
  ASSERT_TRUE(view_window(box(90, 98, 0, 10), test_view(), window));
  EXPECT_EQ(window.c1, 99);
  ASSERT_TRUE(view_window(box(90, 500, -500, 500), test_view(), window));
  EXPECT_EQ(window.c1, 99);
  EXPECT_EQ(window.r0, 0);
  EXPECT_EQ(window.r1, 49);
}

TEST(FootprintWindow, FootprintsOutsideTheViewMissIt) {
  footprint_window window;
  EXPECT_FALSE(view_window(box(-300, -103, 0, 10), test_view(), window));  // west: c1 < 0
  EXPECT_FALSE(view_window(box(100, 200, 0, 10), test_view(), window));    // east: c0 >= width
  EXPECT_FALSE(view_window(box(0, 10, 60, 90), test_view(), window));      // north: r1 < 0
  EXPECT_FALSE(view_window(box(0, 10, -90, -51), test_view(), window));    // south: r0 >= height
}

TEST(ImageMatrices, ExtrinsicAndIntrinsicAreWrittenRowMajor) {
  image_geometry geometry;
  geometry.canonical_projection = arma::join_rows(arma::eye(3, 3), arma::zeros(3, 1));
  geometry.world_to_camera =
      arma::reshape(arma::regspace(1, 16), 4, 4).t();  // rows 1..4, 5..8, ...
  geometry.pixel_axes = arma::mat{{-1, 0, 32}, {0, -1, 24}, {0, 0, 1}};
  geometry.focal_matrix = arma::mat{{100, 0, 0}, {0, 100, 0}, {0, 0, 1}};
  view_params view = test_view();
  write_image_matrices(geometry, view);
  for (int k = 0; k < 12; ++k) EXPECT_EQ(view.camera_extrinsic[k], k + 1.0f);
  const float K[9] = {-100, 0, 32, 0, -100, 24, 0, 0, 1};
  for (int k = 0; k < 9; ++k) EXPECT_EQ(view.camera_intrinsic[k], K[k]);
  EXPECT_EQ(view.width, 100);  // the view's own fields are untouched
}

}  // namespace
}  // namespace aeroquilt
