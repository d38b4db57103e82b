#include "imaging/view_projection.h"

#include <gtest/gtest.h>

#include "support/scratch.h"

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

// The cases of tests/data/view_window_cases.txt.
TEST(FootprintWindow, CoversTheFootprintsPixelsWithinTheView) {
  for (const std::vector<std::string>& row : testing::case_rows("view_window_cases.txt")) {
    const std::vector<double> c = testing::numbers(row.at(0));
    footprint_window window;
    ASSERT_EQ(view_window(box(c.at(0), c.at(1), c.at(2), c.at(3)), test_view(), window),
              c.at(4) != 0)
        << row[0];
    if (c[4] == 0) continue;
    EXPECT_EQ(window.c0, c.at(5)) << row[0];
    EXPECT_EQ(window.c1, c.at(6)) << row[0];
    EXPECT_EQ(window.r0, c.at(7)) << row[0];
    EXPECT_EQ(window.r1, c.at(8)) << row[0];
    EXPECT_EQ(window.cols(), c[6] - c[5] + 1);
  }
}

}  // namespace
}  // namespace aeroquilt
