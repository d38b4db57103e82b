// Whole runs of the program with the input kinds and output options a survey
// crew uses: thermal and raw frames, colour map, vignette table, output names,
// the DEM image, sub-views and a DEM that does not cover the survey.

#include <gtest/gtest.h>

#include <filesystem>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "support/scratch.h"
#include "support/synthetic_survey.h"
#include "support/truth_compare.h"

namespace aeroquilt::testing {
namespace {

struct run_result {
  int status = -1;
  std::string output;
  bool printed(const std::string& text) const { return output.find(text) != std::string::npos; }
};

class RunOptions : public ::testing::Test {
 protected:
  // A small survey: two lines of three frames.
  survey_spec small() {
    survey_spec design;
    design.line_count = 2;
    design.images_per_line = 3;
    return design;
  }
  survey_truth make(const survey_spec& design, const std::string& name = "survey") {
    return make_survey(design, dir_.file(name));
  }
  // Runs the program, with `extra` configuration lines appended (later keys win).
  run_result run(const survey_truth& truth, const std::string& extra = "") {
    if (!extra.empty()) write_text_file(truth.files.config, read_file(truth.files.config) + extra);
    run_result result;
    result.status = run_command(aeroquilt_binary() + " " + truth.files.config, result.output);
    return result;
  }
  truth_stats compare(const survey_truth& truth) {
    const cv::Mat mosaic = cv::imread(truth.files.mosaic, cv::IMREAD_UNCHANGED);
    EXPECT_FALSE(mosaic.empty());
    if (mosaic.empty()) return {};
    const double p = truth.design.output_pixel_size_m;
    const view_origin o =
        view_origin_from_world_file(truth, read_world_file(truth.files.world_file), p);
    return compare_to_truth(
        mosaic, render_truth(truth, o.x_min_m, o.y_max_m, p, mosaic.cols, mosaic.rows),
        expected_coverage_mask(truth, o.x_min_m, o.y_max_m, p, mosaic.cols, mosaic.rows, 2.0));
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

TEST_F(RunOptions, ThermalFramesAreRenderedInFalseGreyAndRegistered) {
  survey_spec design;
  design.image_format = survey_image_format::thermal16;
  const survey_truth truth = make(design);
  const run_result result = run(truth);
  ASSERT_EQ(result.status, 1) << result.output;
  const truth_stats stats = compare(truth);
  EXPECT_LT(stats.median_offset_px, 0.25) << describe(stats);
  EXPECT_GT(stats.ncc, 0.9) << describe(stats);
}

TEST_F(RunOptions, ThermalWithJetColourMapMatchesItsTruth) {
  survey_spec design;
  design.image_format = survey_image_format::thermal16;
  design.jet_colormap = true;
  const survey_truth truth = make(design);
  const run_result result = run(truth);
  ASSERT_EQ(result.status, 1) << result.output;
  const truth_stats stats = compare(truth);
  EXPECT_LT(stats.median_offset_px, 0.25) << describe(stats);
  EXPECT_GT(stats.ncc, 0.9) << describe(stats);
}

TEST_F(RunOptions, ThermalRunningAverageIsWarmedUpAndApplied) {
  survey_spec design = small();
  design.image_format = survey_image_format::thermal16;
  const survey_truth plain = make(design, "plain");
  ASSERT_EQ(run(plain).status, 1);
  const survey_truth averaged = make(design, "averaged");
  const run_result result = run(averaged, "do_average_image_error_removal,4\n");
  ASSERT_EQ(result.status, 1) << result.output;
  EXPECT_TRUE(result.printed("computing average image frame error\n"));
  // Removing the average frame pattern changes the frames (the survey's frames have
  // no fixed pattern, so the ground's own average is taken out): the mosaic differs
  // from the plain one over most covered pixels while covering the same ground.
  const cv::Mat a = cv::imread(plain.files.mosaic, cv::IMREAD_UNCHANGED);
  const cv::Mat b = cv::imread(averaged.files.mosaic, cv::IMREAD_UNCHANGED);
  ASSERT_EQ(a.size(), b.size());
  const cv::Mat both = mosaic_coverage(a) & mosaic_coverage(b);
  ASSERT_GT(cv::countNonZero(both), 1000);
  cv::Mat difference;
  cv::absdiff(a, b, difference);
  cv::Mat changed;
  cv::cvtColor(difference, changed, cv::COLOR_BGRA2GRAY);
  changed = (changed > 2) & both;
  EXPECT_GT(cv::countNonZero(changed), cv::countNonZero(both) / 2);
}

TEST_F(RunOptions, RawFramesAreRegisteredAndTheVignetteTableScalesThem) {
  survey_spec design = small();
  design.image_format = survey_image_format::raw_rgb;
  const survey_truth plain = make(design, "raw");
  ASSERT_EQ(run(plain).status, 1);
  const truth_stats stats = compare(plain);
  EXPECT_LT(stats.median_offset_px, 0.25) << describe(stats);
  EXPECT_GT(stats.ncc, 0.9) << describe(stats);

  const survey_truth corrected = make(design, "raw_vignette");
  const run_result result = run(corrected, "vingette_removal_multiplier,0.5\n");
  ASSERT_EQ(result.status, 1) << result.output;
  EXPECT_TRUE(result.printed("generating vingette correction table\n"));
  // Gains from 0.575 (centre) to 0.926 (corners) at multiplier 0.5.
  const double ratio = covered_mean(corrected.files.mosaic) / covered_mean(plain.files.mosaic);
  EXPECT_GT(ratio, 0.57);
  EXPECT_LT(ratio, 0.93);
}

TEST_F(RunOptions, UpperCasePngIsWrittenWithTransparency) {
  survey_spec design = small();
  design.output_filename = "mosaic.PNG";
  const survey_truth truth = make(design);
  ASSERT_EQ(run(truth).status, 1);
  const cv::Mat mosaic = cv::imread(truth.files.output_dir + "mosaic.PNG", cv::IMREAD_UNCHANGED);
  ASSERT_EQ(mosaic.channels(), 4);
  EXPECT_TRUE(std::filesystem::exists(truth.files.output_dir + "mosaic.kml"));
  EXPECT_TRUE(std::filesystem::exists(truth.files.output_dir + "mosaic.tfw"));
}

TEST_F(RunOptions, TiffNameKeepsItsFourthLetterInTheSideFiles) {
  survey_spec design = small();
  design.output_filename = "mosaic.tiff";
  const survey_truth truth = make(design);
  ASSERT_EQ(run(truth).status, 1);
  const std::string out = truth.files.output_dir;
  EXPECT_FALSE(cv::imread(out + "mosaic.tiff").empty());
  EXPECT_TRUE(std::filesystem::exists(out + "mosaic.kmlf"));
  EXPECT_TRUE(std::filesystem::exists(out + "mosaic.tfwf"));
}

TEST_F(RunOptions, UnknownExtensionIsRefusedBeforeAnyViewIsProjected) {
  survey_spec design = small();
  design.output_filename = "mosaic.jpeg";
  const survey_truth truth = make(design);
  const run_result result = run(truth);
  EXPECT_EQ(result.status, 2);
  EXPECT_TRUE(result.printed("extension not found\n")) << result.output;
  EXPECT_FALSE(result.printed("generating DEM for View")) << result.output;
}

TEST_F(RunOptions, ImageThatCannotBeWrittenLeavesNoSideFilesAndNoMosaic) {
  const survey_truth truth = make(small());
  // A folder in the mosaic's place: the finished image cannot be renamed there.
  std::filesystem::create_directories(truth.files.mosaic + "/occupied");
  const run_result result = run(truth);
  EXPECT_EQ(result.status, 0) << result.output;
  EXPECT_TRUE(result.printed("cannot write " + truth.files.mosaic + "\n")) << result.output;
  EXPECT_FALSE(std::filesystem::exists(truth.files.output_dir + "mosaic.kml"));
  EXPECT_FALSE(std::filesystem::exists(truth.files.output_dir + "mosaic.tfw"));
}

TEST_F(RunOptions, DemImageIsExportedWithItsKml) {
  survey_spec design = small();
  design.hills = true;
  design.use_dem = true;
  design.generate_dem_image = true;
  const survey_truth truth = make(design);
  const run_result result = run(truth);
  ASSERT_EQ(result.status, 1) << result.output;
  const std::string image = truth.files.output_dir + "dem.png";
  EXPECT_FALSE(cv::imread(image).empty());
  const std::string kml = read_file(truth.files.output_dir + "dem.kml");
  EXPECT_NE(kml.find("<href>" + image + "</href>"), std::string::npos) << kml;
}

TEST_F(RunOptions, DemThatMissesACornerStopsThePreparation) {
  survey_spec design = small();
  design.use_dem = true;
  design.dem_margin_m = -60.0;  // the DEM ends inside the survey
  const survey_truth truth = make(design);
  const run_result result = run(truth);
  EXPECT_EQ(result.status, 0);
  EXPECT_TRUE(result.printed("image corner out of DEM range\n")) << result.output;
  EXPECT_TRUE(result.printed("image out of DEM range ")) << result.output;
  EXPECT_FALSE(std::filesystem::exists(truth.files.mosaic));
}

TEST_F(RunOptions, EmptySubviewIsRefusedWithoutOutput) {
  survey_spec design = small();
  design.project_subview_only = true;
  design.subview_min_lon = 9.3;  // west edge east of the east edge
  design.subview_max_lon = 9.1;
  design.subview_min_lat = 45.2;
  design.subview_max_lat = 45.4;
  const survey_truth truth = make(design);
  const run_result result = run(truth);
  EXPECT_EQ(result.status, 0) << result.output;  // no mosaic was written
  EXPECT_TRUE(result.printed("nothing to project")) << result.output;
  EXPECT_FALSE(std::filesystem::exists(truth.files.mosaic));
}

TEST_F(RunOptions, SubviewLimitsTheMosaicToItsWindow) {
  survey_spec design = small();
  const survey_truth full = make(design, "full");
  ASSERT_EQ(run(full).status, 1);
  const cv::Mat whole = cv::imread(full.files.mosaic, cv::IMREAD_UNCHANGED);

  design.project_subview_only = true;
  design.subview_min_lon = design.centre_longitude_deg - 0.0005;
  design.subview_max_lon = design.centre_longitude_deg + 0.0005;
  design.subview_min_lat = design.centre_latitude_deg - 0.0003;
  design.subview_max_lat = design.centre_latitude_deg + 0.0003;
  const survey_truth sub = make(design, "sub");
  ASSERT_EQ(run(sub).status, 1);
  const cv::Mat window = cv::imread(sub.files.mosaic, cv::IMREAD_UNCHANGED);
  ASSERT_FALSE(window.empty());
  EXPECT_LT(window.cols, whole.cols);
  // 0.001 degrees of longitude at 45.3 degrees is about 78 m: about 157 pixels of 0.5 m.
  EXPECT_NEAR(window.cols, 157, 2);
  const world_file world = read_world_file(sub.files.world_file);
  EXPECT_NEAR(world.lon_min, design.subview_min_lon, 0.5 * 0.5 / 78000.0 * 1.1);
}

}  // namespace
}  // namespace aeroquilt::testing
