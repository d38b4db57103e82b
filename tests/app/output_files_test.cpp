#include "app/output_files.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <opencv2/imgcodecs.hpp>
#include <sstream>

#include "support/scratch.h"

namespace aeroquilt {
namespace {

using testing::read_file;
using testing::scratch_dir;
using testing::write_text_file;

// Names in `folder`, sorted.
std::vector<std::string> listing(const scratch_dir& dir) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

TEST(TemporaryFile, SameFolderHiddenUniqueAndKeepsTheLastExtension) {
  scratch_dir dir("tmpname");
  const std::string a = create_temporary_file(dir.file("mosaic.tif.png"));
  const std::string b = create_temporary_file(dir.file("mosaic.tif.png"));
  ASSERT_FALSE(a.empty());
  EXPECT_NE(a, b);
  const std::filesystem::path path(a);
  EXPECT_EQ(path.parent_path(), dir.path());
  EXPECT_EQ(path.filename().string().rfind(".mosaic.tif.png.partial-", 0), 0u) << a;
  EXPECT_EQ(path.extension(), ".png");  // what the image encoders choose the format from
  EXPECT_TRUE(std::filesystem::exists(a));
  // A dot in a folder name is not an extension: nothing follows the counter.
  std::filesystem::create_directory(dir.file("out.v2"));
  const std::string no_extension = create_temporary_file(dir.file("out.v2/mosaic"));
  ASSERT_FALSE(no_extension.empty());
  const std::string name = std::filesystem::path(no_extension).filename().string();
  EXPECT_EQ(name.find_first_not_of("0123456789-", std::string(".mosaic.partial-").size()),
            std::string::npos)
      << name;
}

TEST(AtomicText, ReplacesTheFileAndLeavesNothingElse) {
  scratch_dir dir("text");
  const std::string path = dir.file("view.kml");
  write_text_file(path, "old contents, longer than the new ones");
  ASSERT_EQ(write_text_atomically(path, "new"), write_outcome::written);
  EXPECT_EQ(read_file(path), "new");
  EXPECT_EQ(listing(dir), std::vector<std::string>{"view.kml"});
}

TEST(AtomicImage, FailedEncodingKeepsThePreviousFileAndNoTemporary) {
  scratch_dir dir("image_fail");
  const std::string path = dir.file("view.jpg");
  write_text_file(path, "previous");
  EXPECT_EQ(write_image_atomically(path, cv::Mat(), {}, nullptr), write_outcome::not_written);
  EXPECT_EQ(read_file(path), "previous");
  EXPECT_EQ(listing(dir), std::vector<std::string>{"view.jpg"});
}

TEST(GeoTiff, FourChannelsKeepTheirPixelsAndBecomeAnAlphaBand) {
  scratch_dir dir("geotiff");
  const std::string path = dir.file("view.TIF");
  cv::Mat image(5, 7, CV_8UC4, cv::Scalar(0, 0, 0, 0));
  image.at<cv::Vec4b>(1, 2) = cv::Vec4b(10, 20, 30, 255);
  image.at<cv::Vec4b>(4, 6) = cv::Vec4b(200, 100, 50, 255);
  // 0.5 m pixels at 45.3 N, 9.2 E, rounded to round numbers of degrees.
  raster_georeference georeference{6.25e-6, -4.5e-6, 9.2, 45.3};
  ASSERT_EQ(write_image_atomically(path, image, {}, &georeference), write_outcome::written);

  const cv::Mat back = cv::imread(path, cv::IMREAD_UNCHANGED);
  ASSERT_EQ(back.type(), CV_8UC4);
  EXPECT_EQ(cv::countNonZero(cv::Mat(back != image).reshape(1)), 0);

  std::string info;
  ASSERT_EQ(testing::run_command("gdalinfo -json '" + path + "' 2>&1", info), 0) << info;
  EXPECT_NE(info.find("\"colorInterpretation\":\"Alpha\""), std::string::npos) << info;
  EXPECT_NE(info.find(R"(ID[\"EPSG\",4326])"), std::string::npos) << info;
  // Outer corner of pixel (0, 0): half a step west and north of its centre.
  const std::size_t transform = info.find("\"geoTransform\":[");
  ASSERT_NE(transform, std::string::npos) << info;
  std::istringstream values(info.substr(transform + 16));
  double x0 = 0, dx = 0, skew = 0, y0 = 0;
  char comma;
  values >> x0 >> comma >> dx >> comma >> skew >> comma >> y0;
  EXPECT_NEAR(x0, 9.2 - 6.25e-6 / 2, 1e-12);
  EXPECT_NEAR(dx, 6.25e-6, 1e-15);
  EXPECT_NEAR(y0, 45.3 + 4.5e-6 / 2, 1e-12);
}

TEST(GeoreferenceFiles, ConventionalNamesFollowTheImageType) {
  EXPECT_EQ(conventional_world_file_path("out/mosaic.png"), "out/mosaic.pgw");
  EXPECT_EQ(conventional_world_file_path("out/mosaic.PNG"), "out/mosaic.pgw");
  EXPECT_EQ(conventional_world_file_path("out/mosaic_0_1.jpg"), "out/mosaic_0_1.jgw");
  EXPECT_EQ(conventional_world_file_path("out/mosaic.JPG"), "out/mosaic.jgw");
  EXPECT_EQ(conventional_world_file_path("out/mosaic.bmp"), "out/mosaic.bpw");
  EXPECT_EQ(conventional_world_file_path("a.tif.png"), "a.tif.pgw");  // written as PNG
  EXPECT_EQ(conventional_world_file_path("out/mosaic.tif"), "");      // inside the GeoTIFF
  EXPECT_EQ(conventional_world_file_path("out/mosaic.tiff"), "");
  EXPECT_EQ(conventional_world_file_path("out.v2/mosaic"), "");
  EXPECT_EQ(projection_file_path("out/mosaic.tiff"), "out/mosaic.prj");
  EXPECT_EQ(projection_file_path("out.v2/mosaic"), "out.v2/mosaic.prj");
}

TEST(GeoreferenceFiles, WorldFileValuesSurviveTheText) {
  const raster_georeference georeference{6.360051884123456e-06, -4.491498203987654e-06,
                                         9.198636055111111, 45.30101395222222};
  std::istringstream text(conventional_world_file_text(georeference));
  double values[6];
  for (double& value : values) ASSERT_TRUE(text >> value);
  EXPECT_NEAR(values[0], georeference.lon_step_deg, 1e-20);
  EXPECT_EQ(values[1], 0.0);
  EXPECT_EQ(values[2], 0.0);
  EXPECT_NEAR(values[3], georeference.lat_step_deg, 1e-20);
  EXPECT_NEAR(values[4], georeference.first_lon_deg, 1e-13);
  EXPECT_NEAR(values[5], georeference.first_lat_deg, 1e-13);
}

}  // namespace
}  // namespace aeroquilt
