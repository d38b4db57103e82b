// Loading camera frames through image_cache::load_image: raw RGB frames with
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

#include "app/config.h"
#include "app/console.h"
#include "imaging/image_cache.h"
#include "imaging/radiometry.h"
#include "support/image_builder.h"
#include "support/scratch.h"

namespace aeroquilt {
namespace {

using testing::config_override;
using testing::scratch_dir;

class RawFrame : public ::testing::Test {
 protected:
  void SetUp() override {
    g_config.image_width_pixels = 3;
    g_config.image_height_pixels = 2;
  }
  config_override config_;
  scratch_dir dir_{"raw_frame"};
  image_cache cache_;
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

TEST_F(RawFrame, LowerOrUpperRgbAnywhereInThePathSelectsTheRawReader) {
  const cv::Mat frame = testing::filled_frame(3, 2, cv::Vec3b(1, 2, 3));
  for (const std::string folder : {"cam_rgb", "CAM_RGB"}) {
    std::filesystem::create_directories(dir_.path() / folder);
    const std::string path = (dir_.path() / folder / "frame_001.jpg").string();
    testing::write_raw_frame(path, frame);
    const cv::Mat loaded = cache_.load_image(path);
    ASSERT_FALSE(loaded.empty()) << folder;
    EXPECT_EQ(cv::norm(loaded, frame, cv::NORM_INF), 0.0) << folder;
  }
}

// Every refused frame prints "failed read <name>" and exactly one line of reason.
void expect_refused(image_cache& cache, const std::string& path) {
  console_capture capture;
  EXPECT_TRUE(cache.load_image(path).empty()) << path;
  const std::string text = capture.text();
  const std::string first = "failed read " + path + "\n";
  ASSERT_EQ(text.substr(0, first.size()), first);
  const std::string reason = text.substr(first.size());
  EXPECT_FALSE(reason.empty());
  EXPECT_EQ(std::count(reason.begin(), reason.end(), '\n'), 1) << reason;
}

TEST_F(RawFrame, TruncatedFilesAreRefusedWithoutReadingPastTheEnd) {
  const std::string path = dir_.file("short_rgb.raw");
  // Header promises 3 x 2 x 3 = 18 pixel bytes; only 17 follow.
  const auto bytes = testing::raw_frame_bytes(3, 2, std::vector<uint8_t>(17, 9));
  testing::write_binary_file(path, bytes.data(), bytes.size());
  expect_refused(cache_, path);

  // Five bytes: not even a header.
  testing::write_binary_file(path, bytes.data(), 5);
  expect_refused(cache_, path);
}

TEST_F(RawFrame, HeaderSizesOtherThanTheConfiguredFrameAreRefused) {
  const std::string path = dir_.file("odd_rgb.raw");
  struct header_case {
    int32_t width, height;
  };
  for (const header_case c :
       {header_case{2, 3}, header_case{3, 3}, header_case{-3, 2}, header_case{3, -2},
        header_case{0, 2}, header_case{1 << 30, 1 << 30}}) {
    // Enough pixel bytes for the configured 3 x 2 frame, so only the header is wrong.
    const auto bytes = testing::raw_frame_bytes(c.width, c.height, std::vector<uint8_t>(18, 9));
    testing::write_binary_file(path, bytes.data(), bytes.size());
    SCOPED_TRACE(std::to_string(c.width) + " x " + std::to_string(c.height));
    expect_refused(cache_, path);
  }
}

TEST(TemperatureColour, FollowsTheTableForTheRange20To40) {
  const double lo_C = 20.0, hi_C = 40.0;
  EXPECT_EQ(temperature_colour(19.9f, lo_C, hi_C), cv::Vec3b(0, 0, 0));
  EXPECT_EQ(temperature_colour(20.0f, lo_C, hi_C), cv::Vec3b(0, 0, 0));
  EXPECT_EQ(temperature_colour(30.0f, lo_C, hi_C), cv::Vec3b(127, 127, 127));
  EXPECT_EQ(temperature_colour(40.0f, lo_C, hi_C), cv::Vec3b(255, 255, 255));
  EXPECT_EQ(temperature_colour(85.0f, lo_C, hi_C), cv::Vec3b(0, 127, 255));
  EXPECT_EQ(temperature_colour(130.0f, lo_C, hi_C), cv::Vec3b(0, 0, 255));
  EXPECT_EQ(temperature_colour(500.0f, lo_C, hi_C), cv::Vec3b(0, 0, 255));
  EXPECT_EQ(temperature_colour(std::numeric_limits<float>::quiet_NaN(), lo_C, hi_C),
            cv::Vec3b(0, 0, 255));
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

class ThermalFrame : public ::testing::Test {
 protected:
  void SetUp() override {
    g_config.use_16bit_image_input = 1;
    g_config.tau_set_min_temp = -10.0;
    g_config.tau_set_max_temp = 60.0;
  }
  // A frame of counts around `base_C` degrees with a fixed pattern from `seed`.
  static cv::Mat pattern_frame(int width, int height, double base_C, unsigned seed) {
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> spread(-100, 100);  // +-4 degrees
    cv::Mat counts(height, width, CV_16UC1);
    for (auto it = counts.begin<uint16_t>(); it != counts.end<uint16_t>(); ++it) {
      *it = static_cast<uint16_t>(testing::thermal_count(base_C) + spread(random));
    }
    return counts;
  }
  std::string write(const std::string& name, const cv::Mat& counts) {
    const std::string path = dir_.file(name);
    testing::write_thermal_png(path, counts);
    return path;
  }
  config_override config_;
  scratch_dir dir_{"thermal_frame"};
  image_cache cache_;
};

TEST_F(ThermalFrame, RendersCountsWithoutTheAverage) {
  g_config.tau_set_min_temp = -1.0;
  g_config.tau_set_max_temp = 1.0;
  const cv::Mat counts = (cv::Mat_<uint16_t>(1, 3) << 6824, 6825, 6826);
  const cv::Mat image = cache_.load_image(write("zero.png", counts));
  ASSERT_EQ(image.type(), CV_8UC3);
  // f = 0.48, 0.5, 0.52 of the -1..1 range: grey 122, 127, 132.
  EXPECT_EQ(image.at<cv::Vec3b>(0, 0), cv::Vec3b(122, 122, 122));
  EXPECT_EQ(image.at<cv::Vec3b>(0, 1), cv::Vec3b(127, 127, 127));
  EXPECT_EQ(image.at<cv::Vec3b>(0, 2), cv::Vec3b(132, 132, 132));
  EXPECT_TRUE(cache_.average_error_frame.empty());
}

TEST_F(ThermalFrame, EachNewFrameEntersTheAverageWithWeightOneOverN) {
  g_config.do_average_image_error_removal = 10;
  const cv::Mat first = pattern_frame(8, 6, 25.0, 2);
  const cv::Mat second = pattern_frame(8, 6, 30.0, 3);
  cache_.load_image(write("a.png", first));
  cache_.load_image(write("b.png", second));

  const cv::Mat t1 = thermal_counts_to_celsius(first);
  const cv::Mat t2 = thermal_counts_to_celsius(second);
  cv::Mat pattern1 = t1 - cv::mean(t1)[0];
  cv::Mat pattern2 = t2 - cv::mean(t2)[0];
  const cv::Mat expected = pattern1 * 0.9 + pattern2 * 0.1;
  ASSERT_EQ(cache_.average_error_frame.size(), expected.size());
  EXPECT_LT(cv::norm(cache_.average_error_frame, expected, cv::NORM_INF), 1e-4);  // degrees
}

TEST_F(ThermalFrame, FrameOfAnotherSizeIsReportedAndLeftUncorrected) {
  g_config.do_average_image_error_removal = 4;
  cache_.load_image(write("a.png", pattern_frame(8, 6, 25.0, 5)));
  const cv::Mat average_before = cache_.average_error_frame.clone();

  const cv::Mat other = pattern_frame(9, 6, 25.0, 6);
  const std::string path = write("b.png", other);
  console_capture capture;
  const cv::Mat image = cache_.load_image(path);
  const std::string text = capture.text();
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << text;
  EXPECT_NE(text.find(path), std::string::npos);
  EXPECT_EQ(cv::norm(cache_.average_error_frame, average_before, cv::NORM_INF), 0.0);
  const cv::Mat uncorrected = render_temperatures(thermal_counts_to_celsius(other), -10.0, 60.0);
  EXPECT_EQ(cv::norm(image, uncorrected, cv::NORM_INF), 0.0);
}

}  // namespace
}  // namespace aeroquilt
