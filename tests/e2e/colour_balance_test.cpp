// Whole runs with colour balancing on a survey whose frames differ in exposure and in
// view-angle brightness: the steps of brightness at the seams, the ground against the
// truth, and tile ranges against the whole image.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <map>
#include <opencv2/imgcodecs.hpp>
#include <vector>

#include "support/scratch.h"
#include "support/truth_compare.h"
#include "survey/synthetic_survey.h"

namespace aeroquilt::testing {
namespace {

// Four lines of ten frames over hills on their DEM, tilted 10 degrees forward and back,
// exposures 0.8 to 1.2 and the ground brighter seen looking east.
survey_design uneven_survey() {
  survey_design design;
  design.hills = true;
  design.use_dem = true;
  design.heading_deg = 20.0;
  design.tilt_deg = 10.0;
  design.line_count = 4;
  design.images_per_line = 10;
  design.line_spacing_m = 40.0;
  design.image_spacing_m = 12.0;
  design.exposure_step = 0.3;
  design.view_angle_brightness = 0.2;
  return design;
}

// The step of brightness across seams: each pair of neighbours from two frames differs by
// their grey levels, each averaged over the pixels of its own frame within 3 pixels; a
// seam's step is the median of these differences along it (the ground's texture cancels,
// its exposure does not), and the result the median over every pair of neighbours of the
// step of its seam.
double seam_step(const cv::Mat& mosaic, const cv::Mat& source) {
  constexpr int R = 3;
  const auto smoothed = [&](int r, int c) {
    const uint16_t s = source.at<uint16_t>(r, c);
    double sum = 0;
    int n = 0;
    for (int y = std::max(0, r - R); y <= std::min(source.rows - 1, r + R); ++y) {
      for (int x = std::max(0, c - R); x <= std::min(source.cols - 1, c + R); ++x) {
        if (source.at<uint16_t>(y, x) != s) continue;
        const cv::Vec4b p = mosaic.at<cv::Vec4b>(y, x);
        sum += (p[0] + p[1] + p[2]) / 3.0;
        ++n;
      }
    }
    return sum / n;
  };
  std::map<std::pair<int, int>, std::vector<double>> seams;  // (lower, higher source): steps
  for (int r = 0; r + 1 < source.rows; ++r) {
    for (int c = 0; c + 1 < source.cols; ++c) {
      const uint16_t s = source.at<uint16_t>(r, c);
      if (s == 0) continue;
      for (const cv::Point step : {cv::Point(1, 0), cv::Point(0, 1)}) {
        const uint16_t t = source.at<uint16_t>(r + step.y, c + step.x);
        if (t == 0 || t == s) continue;
        const double d = smoothed(r, c) - smoothed(r + step.y, c + step.x);
        seams[{std::min(s, t), std::max(s, t)}].push_back(s < t ? d : -d);
      }
    }
  }
  std::vector<double> steps;
  for (auto& [pair, d] : seams) {
    std::nth_element(d.begin(), d.begin() + d.size() / 2, d.end());
    steps.insert(steps.end(), d.size(), std::fabs(d[d.size() / 2]));
  }
  if (steps.empty()) return 0;
  std::nth_element(steps.begin(), steps.begin() + steps.size() / 2, steps.end());
  return steps[steps.size() / 2];
}

class ColourBalance : public ::testing::Test {
 protected:
  // Makes the survey with `extra` configuration lines and runs it with `arguments`.
  survey_truth run(survey_design design, const std::string& name, const std::string& extra,
                   const std::string& arguments, std::string& output) {
    design.extra_config = "composite_mode,1\nwrite_source_map,1\n" + extra;
    const survey_truth truth = make_survey(design, dir_.file(name));
    const run_result result = run_program(truth.files.config + " --batch " + arguments);
    EXPECT_EQ(result.status, 1) << result.output;
    output = result.output;
    return truth;
  }
  scratch_dir dir_{"colour_balance"};
};

// The line of gains, without the time it took.
std::string gains_line(const std::string& output) {
  const std::size_t at = output.find("colour balance: ");
  if (at == std::string::npos) return "";
  return output.substr(at, output.find("; ", output.find("red ", at)) - at);
}

TEST_F(ColourBalance, SeamStepsFallAndTheGroundStaysInPlace) {
  double steps[3] = {0, 0, 0};
  for (const int balance : {0, 1, 2}) {
    std::string output;
    const survey_truth truth = run(uneven_survey(), "b" + std::to_string(balance),
                                   "colour_balance," + std::to_string(balance) + "\n", "", output);
    EXPECT_EQ(gains_line(output).empty(), balance == 0) << output;
    cv::Mat mosaic;
    const truth_stats stats =
        compare_view(truth, truth.files.mosaic, truth.files.world_file, &mosaic);
    const cv::Mat source =
        cv::imread(truth.files.output_dir + "mosaic_source.tif", cv::IMREAD_UNCHANGED);
    ASSERT_FALSE(mosaic.empty() || source.empty());
    steps[balance] = seam_step(mosaic, source);
    std::cout << "colour_balance," << balance << ": seam step " << steps[balance] << ", "
              << describe(stats) << "\n"
              << gains_line(output) << std::endl;
    if (balance != 0) expect_registered(stats, "balanced");
  }
  EXPECT_LT(steps[1], 0.3 * steps[0]);
  EXPECT_LT(steps[2], 0.3 * steps[0]);  // gain fields even the frames as well
}

TEST_F(ColourBalance, TileRangesGetTheGainsOfTheWholeRun) {
  constexpr int S = 150;  // tile side; tiles start 50 pixels before their grid square
  std::string whole_output, range_output;
  const survey_truth whole = run(uneven_survey(), "whole", "colour_balance,1\n", "", whole_output);
  const cv::Mat image = cv::imread(whole.files.mosaic, cv::IMREAD_UNCHANGED);
  ASSERT_FALSE(image.empty());
  survey_design design = uneven_survey();
  design.output_tile_size_pixels = S * S;
  run(design, "range", "colour_balance,1\n", "--tiles 1-2", range_output);
  EXPECT_EQ(gains_line(range_output), gains_line(whole_output));
  int checked = 0;
  for (const std::string& name : names_in(dir_.file("range") + "/out/")) {
    int i = 0, j = 0;
    char tail[8] = "";
    if (std::sscanf(name.c_str(), "mosaic_%d_%d.%4s", &i, &j, tail) != 3 ||
        std::string(tail) != "png")
      continue;
    const cv::Mat tile = cv::imread(dir_.file("range") + "/out/" + name, cv::IMREAD_UNCHANGED);
    ASSERT_FALSE(tile.empty()) << name;
    ++checked;
    const cv::Rect in_whole(S * i - 50, S * j - 50, tile.cols, tile.rows);
    const cv::Rect shared = in_whole & cv::Rect(0, 0, image.cols, image.rows);
    ASSERT_GT(shared.area(), 0) << name;
    cv::Mat difference;
    cv::absdiff(tile(shared - in_whole.tl()), image(shared), difference);
    EXPECT_EQ(cv::countNonZero(difference.reshape(1)), 0) << name;
  }
  EXPECT_EQ(checked, 2);
}

}  // namespace
}  // namespace aeroquilt::testing
