// The gain solve on overlaps of frames of known exposure, and the gains applied to pixels.

#include "imaging/colour_balance.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

namespace aeroquilt {
namespace {

// Frames laid along a strip of ground samples: frame i holds samples first..last-1 and
// shows the ground's brightness times its exposure (per channel). Frames of one group are
// linked by overlaps; `group` numbers them as the case expects.
struct strip_frame {
  int first, last;
  cv::Vec3f exposure;
  int group;
};

struct solve_case {
  std::string label;
  std::vector<strip_frame> frames;
};

const std::vector<solve_case>& solve_cases() {
  static const std::vector<solve_case> cases = {
      {"three frames in a strip",
       {{0, 100, {0.8f, 0.8f, 0.8f}, 0},
        {60, 160, {1, 1, 1}, 0},
        {120, 220, {1.25f, 1.25f, 1.25f}, 0}}},
      {"channels apart",
       {{0, 100, {0.7f, 1, 1.2f}, 0}, {50, 150, {1, 1.3f, 0.9f}, 0}, {100, 200, {1, 1, 1}, 0}}},
      {"a frame without overlap",
       {{0, 100, {0.8f, 0.8f, 0.8f}, 0},
        {50, 150, {1.2f, 1.2f, 1.2f}, 0},
        {300, 400, {0.5f, 0.6f, 0.7f}, 1}}},
      {"two groups",
       {{0, 100, {0.8f, 0.8f, 0.8f}, 0},
        {70, 170, {1.1f, 1.1f, 1.1f}, 0},
        {300, 400, {1.3f, 1.3f, 1.3f}, 1},
        {330, 430, {0.9f, 0.9f, 0.9f}, 1}}},
  };
  return cases;
}

TEST(ColourGains, ExposuresAreEvenedAndEachGroupKeepsItsBrightness) {
  std::mt19937 random(17);
  std::uniform_real_distribution<float> ground(30.0f, 200.0f);
  std::vector<float> brightness(500);
  for (float& b : brightness) b = ground(random);
  for (const solve_case& test : solve_cases()) {
    const int n = static_cast<int>(test.frames.size());
    overlap_sums sums = empty_overlap_sums(n);
    for (int p = 0; p < static_cast<int>(brightness.size()); ++p) {
      std::vector<frame_sample> seen;
      for (int i = 0; i < n; ++i) {
        const strip_frame& f = test.frames[i];
        if (p >= f.first && p < f.last) seen.push_back({i, f.exposure * brightness[p]});
      }
      add_ground_sample(sums, seen);
    }
    const std::vector<colour_gain> gains = solve_colour_gains(sums);
    ASSERT_EQ(static_cast<int>(gains.size()), n) << test.label;
    for (int c = 0; c < 3; ++c) {
      for (int group = 0; group < 2; ++group) {
        double before = 0, after = 0, reference = 0;
        for (int i = 0; i < n; ++i) {
          const strip_frame& f = test.frames[i];
          if (f.group != group) continue;
          before += sums.sum[i][c];
          after += gains[i].offset[c] * sums.sum[i][c];
          // Evened: every frame of a group shows the ground alike.
          const double shown = gains[i].offset[c] * f.exposure[c];
          if (reference == 0) reference = shown;
          EXPECT_NEAR(shown / reference, 1.0, 0.02) << test.label << " frame " << i;
        }
        EXPECT_NEAR(after, before, 1e-6 * before) << test.label << " group " << group;
      }
      // A frame alone has nothing to be evened with.
      for (int i = 0; i < n; ++i) {
        const bool alone = std::none_of(sums.pairs.begin(), sums.pairs.end(), [&](const auto& p) {
          return p.first.first == i || p.first.second == i;
        });
        if (alone) {
          EXPECT_EQ(gains[i].offset[c], 1.0f) << test.label;
        }
      }
    }
  }
}

// A long flight: 20 000 frames in a strip, each sharing 10 samples with the next, exposures
// 0.8 and 1.25 by turns. The solve stays sparse (a dense one would need gigabytes).
TEST(ColourGains, ALongFlightIsEvenedWithoutDenseMatrices) {
  constexpr int n = 20000;
  const auto exposure = [](int i) { return i % 2 == 0 ? 0.8f : 1.25f; };
  overlap_sums sums = empty_overlap_sums(n);
  for (int p = 0; p < 10 * n + 10; ++p) {
    const float ground = 30.0f + static_cast<float>((p * 7919) % 170);
    std::vector<frame_sample> seen;
    for (int i = std::max(0, p / 10 - 1); i <= std::min(n - 1, p / 10); ++i)
      seen.push_back({i, cv::Vec3f::all(exposure(i) * ground)});
    add_ground_sample(sums, seen);
  }
  const std::vector<colour_gain> gains = solve_colour_gains(sums);
  ASSERT_EQ(static_cast<int>(gains.size()), n);
  const double reference = gains[0].offset[1] * exposure(0);
  for (int i = 0; i < n; i += 97)
    ASSERT_NEAR(gains[i].offset[1] * exposure(i) / reference, 1.0, 0.02) << "frame " << i;
}

TEST(ColourGains, AppliedGainsRoundSaturateAndLeaveNoDataBlack) {
  struct pixel_case {
    cv::Vec3b in;
    cv::Vec3f gains;
    cv::Vec3b out;
  };
  const pixel_case cases[] = {
      {{100, 100, 100}, {1.5f, 0.5f, 1.0f}, {150, 50, 100}},
      {{200, 10, 3}, {1.5f, 1.26f, 0.2f}, {255, 13, 1}},
      // Black channels stay 0, a dark one never rounds down to 0 (no data).
      {{0, 1, 0}, {2.0f, 0.4f, 2.0f}, {0, 1, 0}},
  };
  for (const pixel_case& test : cases) {
    cv::Mat image(2, 2, CV_8UC3, cv::Scalar(test.in[0], test.in[1], test.in[2]));
    colour_gain gain;
    gain.offset = test.gains;
    apply_colour_gain(image, gain);
    EXPECT_EQ(image.at<cv::Vec3b>(1, 1), test.out) << test.in;
  }
}

}  // namespace
}  // namespace aeroquilt
