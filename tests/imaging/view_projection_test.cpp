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

// Windows of footprints over the view: quotients truncate toward zero, the edges
// clamp, and footprints beside the view miss it.
TEST(FootprintWindow, CoversTheFootprintsPixelsWithinTheView) {
  struct window_case {
    double x0, x1, y0, y1;
    bool hit;
    int c0, c1, r0, r1;
  };
  const window_case cases[] = {
      // (-91 + 100) / 2 = 4.5, 19.5 / 2 = 9.75, (50 - 41) / 2 = 4.5, (50 - 20) / 2 = 15.
      {-91, -80.5, 20, 41, true, 4, 9, 4, 15},
      {90, 98, 0, 10, true, 95, 99, 20, 25},  // ends on the east edge column (x = 98)
      {90, 500, -500, 500, true, 95, 99, 0, 49},
      {-300, -103, 0, 10, false, 0, 0, 0, 0},  // west: c1 < 0
      {100, 200, 0, 10, false, 0, 0, 0, 0},    // east: c0 >= width
      {0, 10, 60, 90, false, 0, 0, 0, 0},      // north: r1 < 0
      {0, 10, -90, -51, false, 0, 0, 0, 0},    // south: r0 >= height
  };
  for (const window_case& c : cases) {
    footprint_window window;
    ASSERT_EQ(view_window(box(c.x0, c.x1, c.y0, c.y1), test_view(), window), c.hit) << c.x0;
    if (!c.hit) continue;
    EXPECT_EQ(window.c0, c.c0) << c.x0;
    EXPECT_EQ(window.c1, c.c1) << c.x0;
    EXPECT_EQ(window.r0, c.r0) << c.x0;
    EXPECT_EQ(window.r1, c.r1) << c.x0;
    EXPECT_EQ(window.cols(), c.c1 - c.c0 + 1);
  }
}

}  // namespace
}  // namespace aeroquilt
