#include "app/view_output.h"

#include <gtest/gtest.h>

#include <cmath>
#include <opencv2/imgcodecs.hpp>
#include <random>

#include "support/scratch.h"

namespace aeroquilt {
namespace {

using testing::read_file;
using testing::scratch_dir;

view_params known_view() {
  view_params view = empty_view_params();
  view.lat_min = 45.25f;
  view.lat_max = 45.5f;
  view.lon_min = 9.125f;
  view.lon_max = 9.375f;
  view.lat_per_pixel = 0.25f / 1000.0f;
  view.lon_per_pixel = 0.25f / 2000.0f;
  view.width = 2000;
  view.height = 1000;
  return view;
}

TEST(WorldFile, SixValuesThenAnEmptyLine) {
  const view_params view = known_view();
  // %1.10g of the single-precision fields widened to double.
  char expected[512];
  std::snprintf(expected, sizeof(expected), "%1.10g\n0\n0\n%1.10g\n9.125\n45.5\n\n",
                static_cast<double>(view.lon_per_pixel), -static_cast<double>(view.lat_per_pixel));
  EXPECT_EQ(world_file_text(view), expected);
}

TEST(OutputExtension, TableOrderAndFirstOccurrenceDecide) {
  std::size_t position = 0;
  EXPECT_EQ(find_output_extension("out/mosaic.png", position), 4);
  EXPECT_EQ(position, 10u);
  EXPECT_EQ(find_output_extension("out/mosaic.PNG", position), 5);   // PNG path too
  EXPECT_EQ(find_output_extension("out/mosaic.tiff", position), 3);  // ".tif" inside ".tiff"
  EXPECT_EQ(find_output_extension("a.tif.png", position), 3);        // .tif is searched first
  EXPECT_EQ(position, 1u);
  EXPECT_EQ(find_output_extension("out/mosaic.jpeg", position), -1);  // ".jpeg" holds no ".jpg"
  EXPECT_EQ(find_output_extension("out/mosaic", position), -1);
}

// The copy is made over row bands in parallel and reuses the previous copy's
// buffer: a second view of the same size must not keep any byte of the first.
TEST(PngWriter, ReusedCopyMatchesPerPixelRuleOverRandomCanvases) {
  scratch_dir dir("png_random");
  image_cache canvas;
  std::mt19937 random(20240611);
  std::uniform_int_distribution<int> byte(0, 255), coin(0, 3);
  for (int round = 0; round < 2; ++round) {
    // 300 x 97 pixels: enough rows for several bands, an odd width.
    canvas.current_image.create(300, 97, CV_8UC3);
    for (int row = 0; row < 300; ++row) {
      for (int column = 0; column < 97; ++column) {
        // A quarter black, the rest random (some with zero channels).
        canvas.current_image.at<cv::Vec3b>(row, column) =
            coin(random) == 0 ? cv::Vec3b(0, 0, 0)
                              : cv::Vec3b(byte(random) / 2, byte(random) % 3, byte(random));
      }
    }
    const std::string path = dir.file("view" + std::to_string(round) + ".png");
    start_png_writer(canvas, path);
    canvas.writer_thread.join();
    const cv::Mat png = cv::imread(path, cv::IMREAD_UNCHANGED);
    ASSERT_EQ(png.type(), CV_8UC4);
    int mismatches = 0;
    for (int row = 0; row < 300; ++row) {
      for (int column = 0; column < 97; ++column) {
        const cv::Vec3b p = canvas.current_image.at<cv::Vec3b>(row, column);
        const bool black = p[0] == 0 && p[1] == 0 && p[2] == 0;
        const cv::Vec4b expected = black ? cv::Vec4b(0, 0, 0, 0) : cv::Vec4b(p[0], p[1], p[2], 255);
        if (png.at<cv::Vec4b>(row, column) != expected) ++mismatches;
      }
    }
    EXPECT_EQ(mismatches, 0) << "round " << round;
  }
}

}  // namespace
}  // namespace aeroquilt
