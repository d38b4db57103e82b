#include "imaging/view_operation.h"

#include <gtest/gtest.h>

#include "base/console.h"
#include "base/fatal_error.h"
#include "support/scratch.h"

namespace aeroquilt {
namespace {

// A grid of 2 m pixels from x = -100, y = 50, of which the view is 100 x 50 pixels.
view_params test_grid() {
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
TEST(FrameWindow, CoversTheFootprintsGridPixelsWithinTheView) {
  for (const std::vector<std::string>& row : testing::case_rows("view_window_cases.txt")) {
    const std::vector<double> c = testing::numbers(row.at(0));
    footprint_window window;
    ASSERT_EQ(frame_window(box(c.at(0), c.at(1), c.at(2), c.at(3)), test_grid(), int(c.at(4)),
                           int(c.at(5)), int(c.at(6)), test_grid(), window),
              c.at(7) != 0)
        << row[0];
    if (c[7] == 0) continue;
    EXPECT_EQ(window.c0, c.at(8)) << row[0];
    EXPECT_EQ(window.c1, c.at(9)) << row[0];
    EXPECT_EQ(window.r0, c.at(10)) << row[0];
    EXPECT_EQ(window.r1, c.at(11)) << row[0];
  }
}

// Refused before the DEM or the device is touched: neither is usable here.
TEST(RenderViewCanvas, RefusesMoreThan2500MillionPixelsCountedIn64Bits) {
  gpu_context gpu;
  frame_loader loader;
  image_cache cache(loader);
  frame_source frames(cache, {});
  const std::vector<image_geometry> geometries;
  view_dem dem;
  view_params view = empty_view_params();
  view.width = 50000;  // x 50001 = 2,500,050,000 pixels, which a 32-bit product would wrap
  view.height = 50001;
  view.pixel_size = 0.5f;
  const view_setting setting{gpu, frames, geometries, dem, view, 0, 0, {}};
  console_capture capture;
  try {
    static_cast<void>(render_view_canvas(setting, view, {}));
    FAIL() << "accepted an oversized view";
  } catch (const fatal_error& error) {
    EXPECT_STREQ(error.what(), "output range error\n");
  }
  EXPECT_EQ(capture.text(), "output range error\n");
}

}  // namespace
}  // namespace aeroquilt
