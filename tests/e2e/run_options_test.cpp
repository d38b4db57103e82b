// Whole runs with the input kinds and options a survey crew uses: thermal and raw
// frames, the colour map, the running average, the vignette table, the DEM image,
// sub-views and a DEM that does not cover the survey. Refusals are in the bad-input
// catalogue.

#include <gtest/gtest.h>

#include <filesystem>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "support/scratch.h"
#include "support/truth_compare.h"
#include "survey/synthetic_survey.h"

namespace aeroquilt::testing {
namespace {

class RunOptions : public ::testing::Test {
 protected:
  // A small survey: two lines of three frames.
  static survey_design small() {
    survey_design design;
    design.line_count = 2;
    design.images_per_line = 3;
    return design;
  }
  survey_truth make(const survey_design& design, const std::string& name) {
    return make_survey(design, dir_.file(name));
  }
  // Runs the program, with `extra` configuration lines appended (later keys win).
  static run_result run(const survey_truth& truth, const std::string& extra = "") {
    if (!extra.empty()) write_text_file(truth.files.config, read_file(truth.files.config) + extra);
    return run_program(truth.files.config);
  }
  static void expect_registered(const survey_truth& truth) {
    const truth_stats stats = compare_view(truth, truth.files.mosaic, truth.files.world_file);
    EXPECT_LT(stats.median_offset_px, 0.25) << describe(stats);
    EXPECT_GT(stats.ncc, 0.9) << describe(stats);
  }
  static double covered_mean(const std::string& path) {
    const cv::Mat mosaic = cv::imread(path, cv::IMREAD_UNCHANGED);
    cv::Mat bgr;
    cv::cvtColor(mosaic, bgr, cv::COLOR_BGRA2BGR);
    const cv::Scalar mean = cv::mean(bgr, mosaic_coverage(mosaic));
    return (mean[0] + mean[1] + mean[2]) / 3.0;
  }
  scratch_dir dir_{"options"};
};

TEST_F(RunOptions, ThermalFramesMatchTheirTruthInGreyAndInJet) {
  for (const bool jet : {false, true}) {
    survey_design design;
    design.image_format = survey_image_format::thermal16;
    design.jet_colormap = jet;
    const survey_truth truth = make(design, jet ? "jet" : "grey");
    const run_result result = run(truth);
    ASSERT_EQ(result.status, 1) << result.output;
    expect_registered(truth);
  }
}

TEST_F(RunOptions, ThermalRunningAverageIsWarmedUpAndApplied) {
  survey_design design = small();
  design.image_format = survey_image_format::thermal16;
  const survey_truth plain = make(design, "plain");
  ASSERT_EQ(run(plain).status, 1);
  const survey_truth averaged = make(design, "averaged");
  const run_result result = run(averaged, "do_average_image_error_removal,4\n");
  ASSERT_EQ(result.status, 1) << result.output;
  EXPECT_TRUE(result.printed("computing average image frame error\n"));
  // The survey's frames have no fixed pattern, so removing the average takes out the
  // ground's own: most covered pixels change.
  const cv::Mat a = cv::imread(plain.files.mosaic, cv::IMREAD_UNCHANGED);
  const cv::Mat b = cv::imread(averaged.files.mosaic, cv::IMREAD_UNCHANGED);
  ASSERT_EQ(a.size(), b.size());
  const cv::Mat both = mosaic_coverage(a) & mosaic_coverage(b);
  ASSERT_GT(cv::countNonZero(both), 1000);
  cv::Mat difference, changed;
  cv::absdiff(a, b, difference);
  cv::cvtColor(difference, changed, cv::COLOR_BGRA2GRAY);
  EXPECT_GT(cv::countNonZero((changed > 2) & both), cv::countNonZero(both) / 2);
}

TEST_F(RunOptions, RawFramesAreRegisteredAndTheVignetteTableScalesThem) {
  survey_design design = small();
  design.image_format = survey_image_format::raw_rgb;
  const survey_truth plain = make(design, "raw");
  ASSERT_EQ(run(plain).status, 1);
  expect_registered(plain);
  const survey_truth corrected = make(design, "raw_vignette");
  const run_result result = run(corrected, "vingette_removal_multiplier,0.5\n");
  ASSERT_EQ(result.status, 1) << result.output;
  EXPECT_TRUE(result.printed("generating vingette correction table\n"));
  // Gains from 0.575 (centre) to 0.926 (corners) at multiplier 0.5.
  const double ratio = covered_mean(corrected.files.mosaic) / covered_mean(plain.files.mosaic);
  EXPECT_GT(ratio, 0.57);
  EXPECT_LT(ratio, 0.93);
}

TEST_F(RunOptions, SubviewLimitsTheMosaicToItsWindow) {
  survey_design design = small();
  design.project_subview_only = true;
  design.subview_min_lon = design.centre_longitude_deg - 0.0005;
  design.subview_max_lon = design.centre_longitude_deg + 0.0005;
  design.subview_min_lat = design.centre_latitude_deg - 0.0003;
  design.subview_max_lat = design.centre_latitude_deg + 0.0003;
  const survey_truth sub = make(design, "sub");
  ASSERT_EQ(run(sub).status, 1);
  const cv::Mat window = cv::imread(sub.files.mosaic, cv::IMREAD_UNCHANGED);
  // 0.001 degrees of longitude at 45.3 degrees is about 78 m: about 157 pixels of 0.5 m.
  EXPECT_NEAR(window.cols, 157, 2);
  EXPECT_NEAR(read_world_file(sub.files.world_file)[4], design.subview_min_lon,
              0.5 * 0.5 / 78000.0 * 1.1);
}

}  // namespace
}  // namespace aeroquilt::testing
