#include "output/dem_image.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <opencv2/imgcodecs.hpp>
#include <sstream>
#include <string>

#include "base/console.h"
#include "support/dem_builder.h"
#include "support/scratch.h"

namespace aeroquilt {
namespace {

using testing::scratch_dir;

// A DEM of 0.001 deg cells from (45.0 N, 9.0 E), 40 x 40 cells, and a view DEM
// built over it whose node grid is 10 cells (0.01 deg) tall and 12 cells wide.
struct export_fixture {
  scratch_dir dir{"dem_export"};
  view_dem dem;

  explicit export_fixture(const testing::dem_height_fn& height) {
    const std::string path = dir.file("terrain.dem");
    testing::write_dem_file(path, 40, 40, 9.0, 45.0, 0.001, height);
    console_capture quiet;
    load_dem(dem, path);
    // Cells 10..16 north and 10..18 east, plus two cells of margin each side.
    build_view_dem(dem, 45.0105f, 9.0105f, 45.0165f, 9.0185f);
  }
};

// Heights rising northwards (row 0 of the file is the north row).
float rising_north(int i, int) { return 100.0f + 10.0f * (40 - i); }
float rising_east(int, int j) { return 100.0f + 10.0f * j; }

TEST(RenderDemImage, NorthIsUpAndHighIsRed) {
  export_fixture north(rising_north);
  const cv::Mat up = render_dem_image(north.dem, 10.0f);
  const cv::Vec3b top = up.at<cv::Vec3b>(0, up.cols / 2);
  const cv::Vec3b bottom = up.at<cv::Vec3b>(up.rows - 1, up.cols / 2);
  EXPECT_GT(top[2], top[0]);        // red over blue at the north edge
  EXPECT_GT(bottom[0], bottom[2]);  // blue over red at the south edge

  export_fixture east(rising_east);
  const cv::Mat across = render_dem_image(east.dem, 10.0f);
  const cv::Vec3b west_pixel = across.at<cv::Vec3b>(across.rows / 2, 0);
  const cv::Vec3b east_pixel = across.at<cv::Vec3b>(across.rows / 2, across.cols - 1);
  EXPECT_GT(west_pixel[0], west_pixel[2]);
  EXPECT_GT(east_pixel[2], east_pixel[0]);
}

TEST(ExportDemImage, KmlBoundsAreTheNodeGridsToTenDecimals) {
  export_fixture fixture(rising_east);
  const std::string path = fixture.dir.file("dem.png");
  console_capture capture;
  export_dem_image(fixture.dem, path, 3.0f);
  EXPECT_EQ(capture.text(), "");
  const std::string kml = testing::read_file(fixture.dir.file("dem.kml"));
  EXPECT_NE(kml.find("<href>" + path + "</href>\n"), std::string::npos) << kml;
  // South edge 45.008 deg as the nearest float, printed to ten decimals.
  EXPECT_NE(kml.find("<south>45.0079994202</south>\n"), std::string::npos) << kml;
}

}  // namespace
}  // namespace aeroquilt
