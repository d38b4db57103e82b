#include "app/view_output.h"

#include <gtest/gtest.h>

#include <opencv2/imgcodecs.hpp>

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

TEST(GroundOverlay, PerViewDocumentIsByteExact) {
  const view_params view = known_view();
  const std::string kml =
      ground_overlay_kml("mosaic.png", view.lat_max, view.lat_min, view.lon_max, view.lon_min, "\t");
  const std::string expected =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<kml xmlns = \"http://www.opengis.net/kml/2.2\">\n"
      "\t<GroundOverlay>\n"
      "\t<name>GroundOverlay.kml</name>\n"
      "\t<color>ffffffff</color>\n"
      "\t<drawOrder>1</drawOrder>\n"
      "\t<Icon>\n"
      "\t<href>mosaic.png</href>\n"
      "\t<refreshMode>onInterval</refreshMode>\n"
      "\t<refreshInterval>10</refreshInterval>\n"
      "\t<viewBoundScale>1</viewBoundScale>\n"
      "\t</Icon>\n"
      "\t<LatLonBox>\n"
      "\t<north>45.5000000000</north>\n"
      "\t<south>45.2500000000</south>\n"
      "\t<east>9.3750000000</east>\n"
      "\t<west>9.1250000000</west>\n"
      "\t<rotation>0</rotation>\n"
      "\t</LatLonBox>\n"
      "\t</GroundOverlay>\n"
      "</kml>\n";
  EXPECT_EQ(kml, expected);
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
  EXPECT_EQ(find_output_extension("out/mosaic.PNG", position), 5);  // PNG path too
  EXPECT_EQ(find_output_extension("out/mosaic.tiff", position), 3);  // ".tif" inside ".tiff"
  EXPECT_EQ(find_output_extension("a.tif.png", position), 3);        // .tif is searched first
  EXPECT_EQ(position, 1u);
  EXPECT_EQ(find_output_extension("out/mosaic.jpeg", position), -1);  // ".jpeg" holds no ".jpg"
  EXPECT_EQ(find_output_extension("out/mosaic", position), -1);
}

TEST(OutputExtension, SideFilesOverwriteThreeCharactersOnly) {
  std::size_t position = 0;
  ASSERT_EQ(find_output_extension("out/mosaic.tiff", position), 3);
  EXPECT_EQ(side_file_path("out/mosaic.tiff", position, "kml"), "out/mosaic.kmlf");
  EXPECT_EQ(side_file_path("out/mosaic.tiff", position, "tfw"), "out/mosaic.tfwf");
  ASSERT_EQ(find_output_extension("out/mosaic.PNG", position), 5);
  EXPECT_EQ(side_file_path("out/mosaic.PNG", position, "kml"), "out/mosaic.kml");
}

TEST(PngWriter, BlackPixelsBecomeTransparentOthersOpaque) {
  scratch_dir dir("png");
  image_cache canvas;
  canvas.current_image = cv::Mat::zeros(4, 5, CV_8UC3);
  canvas.current_image.at<cv::Vec3b>(1, 2) = cv::Vec3b(0, 0, 7);
  canvas.current_image.at<cv::Vec3b>(3, 4) = cv::Vec3b(10, 20, 30);
  const std::string path = dir.file("view.png");
  start_png_writer(canvas, path);
  ASSERT_TRUE(canvas.writer_thread.joinable());
  canvas.writer_thread.join();

  const cv::Mat png = cv::imread(path, cv::IMREAD_UNCHANGED);
  ASSERT_EQ(png.type(), CV_8UC4);
  ASSERT_EQ(png.size(), cv::Size(5, 4));
  EXPECT_EQ(png.at<cv::Vec4b>(1, 2), cv::Vec4b(0, 0, 7, 255));
  EXPECT_EQ(png.at<cv::Vec4b>(3, 4), cv::Vec4b(10, 20, 30, 255));
  EXPECT_EQ(png.at<cv::Vec4b>(0, 0), cv::Vec4b(0, 0, 0, 0));
  EXPECT_EQ(cv::countNonZero(png.reshape(1) != 0), 2 + 4);  // every other byte stays 0
}

TEST(OutputText, UnwritablePathIsReportedNotFatal) {
  EXPECT_FALSE(write_output_text("/nonexistent/folder/view.kml", "x"));
}

}  // namespace
}  // namespace aeroquilt
