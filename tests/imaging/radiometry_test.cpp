// The preparations of the input cache before the first view: the vignette gain
// table and the warm-up of the running average of thermal frames.

#include "imaging/radiometry.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "app/config.h"
#include "app/console.h"
#include "imaging/image_cache.h"
#include "support/image_builder.h"
#include "support/scratch.h"

namespace aeroquilt {
namespace {

using testing::config_override;
using testing::scratch_dir;

config_params vignette_config(int width, int height, double multiplier) {
  config_params config;
  config.image_width_pixels = width;
  config.image_height_pixels = height;
  config.vingette_removal_multiplier = multiplier;
  return config;
}

TEST(VignetteGain, MatchesThePolynomialAtCentreMidRadiusAndCorner) {
  // Values of the cubic rounded to single precision.
  EXPECT_FLOAT_EQ(vignette_gain(0.0), 1.1500546f);
  EXPECT_FLOAT_EQ(vignette_gain(0.5), 1.1595119f);
  EXPECT_FLOAT_EQ(vignette_gain(1.0), 1.8521096f);
}

TEST(VignetteTable, HasFrameColumnsAsRowsAndPeaksAtTheCorner) {
  image_cache cache;
  build_vignette_table(cache, vignette_config(640, 512, 1.0));
  ASSERT_TRUE(cache.vignette_ready);
  ASSERT_EQ(cache.vignette_table.type(), CV_32FC1);
  EXPECT_EQ(cache.vignette_table.rows, 640);
  EXPECT_EQ(cache.vignette_table.cols, 512);
  // Column 0, row 0 is the corner (rho = 1); column 320, row 256 the centre (rho = 0).
  EXPECT_FLOAT_EQ(cache.vignette_table.at<float>(0, 0), vignette_gain(1.0));
  EXPECT_FLOAT_EQ(cache.vignette_table.at<float>(320, 256), vignette_gain(0.0));
  double high = 0;
  cv::minMaxLoc(cache.vignette_table, nullptr, &high);
  EXPECT_FLOAT_EQ(static_cast<float>(high), vignette_gain(1.0));
}

TEST(VignetteTable, MultiplierScalesTheWholeTable) {
  image_cache cache;
  build_vignette_table(cache, vignette_config(640, 512, 0.5));
  // 1.8521096 x 0.5 and 1.1500546 x 0.5.
  EXPECT_NEAR(cache.vignette_table.at<float>(0, 0), 0.9260548, 1e-6);
  EXPECT_NEAR(cache.vignette_table.at<float>(320, 256), 0.5750273, 1e-6);
}

TEST(VignetteTable, BrightensRawFramesLoadedAfterIt) {
  config_override config;
  g_config.image_width_pixels = 8;
  g_config.image_height_pixels = 6;
  scratch_dir dir("vignette");
  const std::string path = dir.file("frame_rgb.raw");
  testing::write_raw_frame(path, testing::filled_frame(8, 6, cv::Vec3b(100, 100, 100)));
  image_cache cache;
  build_vignette_table(cache, vignette_config(8, 6, 1.0));
  const cv::Mat frame = cache.load_image(path);
  EXPECT_EQ(frame.at<cv::Vec3b>(0, 0), cv::Vec3b(185, 185, 185));  // 100 x 1.8521096
  EXPECT_EQ(frame.at<cv::Vec3b>(3, 4), cv::Vec3b(115, 115, 115));  // 100 x 1.1500546
}

class AverageWarmUp : public ::testing::Test {
 protected:
  void SetUp() override {
    g_config.use_16bit_image_input = 1;
    g_config.tau_set_min_temp = 0.0;
    g_config.tau_set_max_temp = 50.0;
    std::mt19937 random(11);
    std::uniform_int_distribution<int> spread(-50, 50);
    for (int k = 0; k < 3; ++k) {
      cv::Mat counts(6, 8, CV_16UC1);
      for (auto it = counts.begin<uint16_t>(); it != counts.end<uint16_t>(); ++it) {
        *it = static_cast<uint16_t>(testing::thermal_count(20.0 + k) + spread(random));
      }
      paths_.push_back(dir_.file("frame_" + std::to_string(k) + ".png"));
      testing::write_thermal_png(paths_.back(), counts);
    }
  }
  // The average that loading `count` frames one after the other with length n gives.
  cv::Mat average_after(int count, int n) {
    image_cache reference;
    g_config.do_average_image_error_removal = n;
    for (int k = 0; k < count; ++k) reference.load_image(paths_[k]);
    return reference.average_error_frame.clone();
  }
  config_override config_;
  scratch_dir dir_{"warm_up"};
  std::vector<std::string> paths_;
};

TEST_F(AverageWarmUp, LoadsEachImageOnceWhenTheLengthExceedsTheList) {
  const cv::Mat expected = average_after(3, 10);
  image_cache cache;
  console_capture capture;
  compute_average_frame_error(cache, paths_, 10);
  EXPECT_EQ(capture.text(), "");
  ASSERT_FALSE(cache.average_error_frame.empty());
  EXPECT_EQ(cv::norm(cache.average_error_frame, expected, cv::NORM_INF), 0.0);
  EXPECT_EQ(cache.slot_count(), 0);
}

}  // namespace
}  // namespace aeroquilt
