// Loading camera frames through frame_loader::load_image: raw RGB frames with
// the vignette table, 16-bit thermal frames with the running average, and
// ordinary colour images.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <opencv2/imgcodecs.hpp>
#include <random>
#include <string>
#include <vector>

#include "base/console.h"
#include "imaging/frame_loader.h"
#include "imaging/radiometry.h"
#include "support/image_builder.h"
#include "support/scratch.h"

namespace aeroquilt {
namespace {

using testing::scratch_dir;

class RawFrame : public ::testing::Test {
 protected:
  scratch_dir dir_{"raw_frame"};
  frame_loader cache_{testing::frames_of_size(3, 2)};
};

TEST_F(RawFrame, FileBytesBecomeImageBytesInOrder) {
  std::vector<uint8_t> pixels(3 * 2 * 3);
  for (std::size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<uint8_t>(10 + i);
  const auto bytes = testing::raw_frame_bytes(3, 2, pixels);
  const std::string path = dir_.file("frame_rgb.raw");
  testing::write_binary_file(path, bytes.data(), bytes.size());

  const cv::Mat frame = cache_.load_image(path);
  ASSERT_EQ(frame.type(), CV_8UC3);
  ASSERT_EQ(frame.cols, 3);
  ASSERT_EQ(frame.rows, 2);
  // Row 1, column 2 holds the last pixel of the file: blue, green, red bytes 25, 26, 27.
  EXPECT_EQ(frame.at<cv::Vec3b>(1, 2), cv::Vec3b(25, 26, 27));
  EXPECT_EQ(frame.at<cv::Vec3b>(0, 1), cv::Vec3b(13, 14, 15));
  EXPECT_EQ(std::vector<uint8_t>(frame.data, frame.data + pixels.size()), pixels);
}

// The vignette table scales raw frames loaded after it by the gain polynomial at the
// pixel's distance from the centre: 1.8521096 in the corner, 1.1500546 in the centre.
TEST(VignetteTable, BrightensRawFramesLoadedAfterIt) {
  scratch_dir dir("vignette");
  const std::string path = dir.file("frame_rgb.raw");
  testing::write_raw_frame(path, cv::Mat(6, 8, CV_8UC3, cv::Scalar::all(100)));
  frame_loader loader(testing::frames_of_size(8, 6));
  build_vignette_table(loader, 1.0);
  const cv::Mat frame = loader.load_image(path);
  EXPECT_EQ(frame.at<cv::Vec3b>(0, 0), cv::Vec3b(185, 185, 185));
  EXPECT_EQ(frame.at<cv::Vec3b>(3, 4), cv::Vec3b(115, 115, 115));
}

// Truncated files and headers other than the configured 3 x 2 frame are refused with
// "failed read <name>" and one line of reason, without reading past the end.
TEST_F(RawFrame, BadFilesAreRefusedWithOneReason) {
  const std::string path = dir_.file("odd_rgb.raw");
  const std::pair<int32_t, int32_t> headers[] = {{2, 3},  {3, 3}, {-3, 2},
                                                 {3, -2}, {0, 2}, {1 << 30, 1 << 30}};
  std::vector<std::vector<uint8_t>> files = {
      testing::raw_frame_bytes(3, 2, std::vector<uint8_t>(17, 9)),  // one pixel byte short
      std::vector<uint8_t>(5, 3)};                                  // not even a header
  for (const auto& [width, height] : headers)
    files.push_back(testing::raw_frame_bytes(width, height, std::vector<uint8_t>(18, 9)));
  for (const auto& bytes : files) {
    testing::write_binary_file(path, bytes.data(), bytes.size());
    console_capture capture;
    EXPECT_TRUE(cache_.load_image(path).empty()) << bytes.size();
    const std::string text = capture.text();
    const std::string first = "failed read " + path + "\n";
    ASSERT_EQ(text.substr(0, first.size()), first);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 2) << text;
  }
}

TEST(ThermalCounts, Count6825IsZeroCelsius) {
  // 6825 x 0.04 = 273.0 exactly; each count is 0.04 degrees.
  const cv::Mat counts = (cv::Mat_<uint16_t>(1, 3) << 6824, 6825, 6826);
  const cv::Mat celsius = thermal_counts_to_celsius(counts);
  ASSERT_EQ(celsius.type(), CV_32FC1);
  EXPECT_NEAR(celsius.at<float>(0, 0), -0.04, 1e-5);
  EXPECT_NEAR(celsius.at<float>(0, 1), 0.0, 1e-6);
  EXPECT_NEAR(celsius.at<float>(0, 2), 0.04, 1e-5);
}

// Each new frame's fixed pattern (its departure from its own mean) enters the running
// average with weight 1/n.
TEST(ThermalFrame, EachNewFrameEntersTheAverageWithWeightOneOverN) {
  scratch_dir dir("thermal_frame");
  frame_loader loader;
  loader.options.use_16bit_image_input = 1;
  loader.options.tau_set_min_temp = -10.0;
  loader.options.tau_set_max_temp = 60.0;
  loader.options.do_average_image_error_removal = 10;
  std::mt19937 random(2);
  std::uniform_int_distribution<int> spread(-100, 100);  // +-4 degrees
  cv::Mat expected(6, 8, CV_32F, cv::Scalar(0));
  for (const double base_C : {25.0, 30.0}) {
    cv::Mat counts(6, 8, CV_16UC1);
    for (auto it = counts.begin<uint16_t>(); it != counts.end<uint16_t>(); ++it)
      *it = static_cast<uint16_t>(testing::thermal_count(base_C) + spread(random));
    const std::string path = dir.file(std::to_string(int(base_C)) + ".png");
    ASSERT_TRUE(cv::imwrite(path, counts));
    loader.load_image(path);
    const cv::Mat celsius = thermal_counts_to_celsius(counts);
    expected = expected * 0.9 + (celsius - cv::mean(celsius)[0]) * (base_C == 25.0 ? 1.0 : 0.1);
  }
  ASSERT_EQ(loader.average_error_frame.size(), expected.size());
  EXPECT_LT(cv::norm(loader.average_error_frame, expected, cv::NORM_INF), 1e-4);  // degrees
}

}  // namespace
}  // namespace aeroquilt
