// Whole runs of the program on synthetic surveys, compared with the ground truth
// that made them. Output pixel (r, c) stands for the local point
// (x_min + c p, y_max - r p); the view's edges are recovered from its world file.

#include <gtest/gtest.h>

#include <filesystem>
#include <opencv2/imgcodecs.hpp>

#include "support/scratch.h"
#include "support/truth_compare.h"
#include "survey/synthetic_survey.h"

namespace aeroquilt::testing {
namespace {

class MosaicTruth : public ::testing::Test {
 protected:
  survey_truth make(survey_design design) { return make_survey(design, dir_.file("survey")); }
  scratch_dir dir_{"e2e"};
};

// Flat ground, its flight log in latitude and longitude, then in UTM.
TEST_F(MosaicTruth, FlatGroundMosaicMatchesTheGroundFromEitherFlightLog) {
  for (const bool utm : {false, true}) {
    survey_design design;  // headings 30 and 210, roll and pitch within 1.5 degrees
    design.utm_positions = utm;
    const survey_truth truth = make_survey(design, dir_.file(utm ? "utm" : "flat"));
    const run_result run = run_program(truth.files.config);
    ASSERT_EQ(run.status, 1) << run.output;
    expect_registered(compare_view(truth, truth.files.mosaic, truth.files.world_file),
                      utm ? "utm" : "flat");
    EXPECT_TRUE(std::filesystem::exists(truth.files.output_dir + "mosaic.kml"));
    EXPECT_TRUE(std::filesystem::exists(truth.files.output_dir + "mosaic_link.kml"));
  }
}

TEST_F(MosaicTruth, HillsProjectedAsFlatGroundAreVisiblyMisplaced) {
  // The same hilly survey without the DEM: the truth comparison must notice.
  survey_design design;
  design.hills = true;
  design.use_dem = false;
  design.heading_deg = 123.0;
  const survey_truth truth = make(design);
  const run_result run = run_program(truth.files.config);
  ASSERT_EQ(run.status, 1) << run.output;
  const truth_stats stats = compare_view(truth, truth.files.mosaic, truth.files.world_file);
  EXPECT_GT(stats.p95_offset_px, 0.5) << describe(stats);
}

// Hilly terrain on the DEM: the whole image, then its tiles, against the ground.
TEST_F(MosaicTruth, HillyTerrainWholeAndTiledMatchTheGroundAndEachOther) {
  survey_design design;
  design.hills = true;
  design.use_dem = true;
  design.heading_deg = 123.0;
  design.attitude_jitter_deg = 3.0;
  const survey_truth whole = make(design);
  ASSERT_EQ(run_program(whole.files.config).status, 1);
  cv::Mat whole_mosaic;
  expect_registered(compare_view(whole, whole.files.mosaic, whole.files.world_file, &whole_mosaic),
                    "hills");
  ASSERT_FALSE(whole_mosaic.empty());

  design.output_tile_size_pixels = 300 * 300;  // S = 300 pixels
  const survey_truth tiled = make_survey(design, dir_.file("tiled"));
  const run_result run = run_program(tiled.files.config);
  ASSERT_EQ(run.status, 1) << run.output;
  const std::string out = tiled.files.output_dir;
  const std::vector<tile_file> tiles = tile_files(out);
  for (const auto& [name, i, j] : tiles) {
    cv::Mat tile;
    const truth_stats stats = compare_view(tiled, name + ".png", name + ".tfw", &tile);
    if (stats.blocks > 3) {
      EXPECT_LT(stats.median_offset_px, 0.25) << name << " " << describe(stats);
      EXPECT_GT(stats.ncc, 0.9) << name << " " << describe(stats);
    }
    // Tile pixel (r, c) is whole-image pixel (r + 300 j - 50, c + 300 i - 50).
    const cv::Rect in_whole(300 * i - 50, 300 * j - 50, tile.cols, tile.rows);
    const cv::Rect shared = in_whole & cv::Rect(0, 0, whole_mosaic.cols, whole_mosaic.rows);
    if (shared.area() == 0) continue;
    const cv::Mat a = tile(shared - in_whole.tl());
    const cv::Mat b = whole_mosaic(shared);
    const cv::Mat both = mosaic_coverage(a) & mosaic_coverage(b);
    cv::Mat difference;
    cv::absdiff(a, b, difference);
    cv::Mat large = difference.reshape(1) > 2;
    const int covered = cv::countNonZero(both);
    if (covered == 0) continue;
    EXPECT_LT(cv::countNonZero(large), 0.01 * covered * 4) << name;
  }
  EXPECT_GE(tiles.size(), 4u);
  EXPECT_NE(run.output.find("view 1 of "), std::string::npos) << run.output;
  const std::string index = read_file(out + "mosaic_link.kml");
  EXPECT_NE(index.find("<href>mosaic_0_0.kml</href>"), std::string::npos);
}

}  // namespace
}  // namespace aeroquilt::testing
