// Whole runs with the compositing modes on synthetic surveys: best view against the
// truth over a poor DEM, seams left by each mode, tiles against the whole image, and
// the source map against frames of one flat colour each.

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <set>

#include "support/scratch.h"
#include "support/truth_compare.h"
#include "survey/synthetic_survey.h"

namespace aeroquilt::testing {
namespace {

constexpr int kFeather = 8;  // seam_feather_pixels of these runs

// The small survey, hilly, its frames tilted 15 degrees, projected onto a DEM that
// shows the ground 3 m too high: the displacement left grows with the off-nadir angle.
survey_design small_tilted_hills() {
  survey_design design;
  design.hills = true;
  design.use_dem = true;
  design.tilt_deg = 15.0;
  design.dem_height_offset_m = 3.0;
  return design;
}

// The same over four lines of ten frames.
survey_design tilted_hills() {
  survey_design design = small_tilted_hills();
  design.heading_deg = 20.0;
  design.exposure_step = 0.1;  // seams show as steps of brightness
  design.line_count = 4;
  design.images_per_line = 10;
  design.line_spacing_m = 40.0;
  design.image_spacing_m = 12.0;
  return design;
}

struct mode_run {
  cv::Mat mosaic;  // BGRA
  cv::Mat source;  // uint16
  cv::Mat angle;   // float32
  truth_stats stats;
  double angle_misses = 1;  // share of mapped pixels whose angle is not the truth's
};

// The share of every 7th pixel holding a source whose view-angle map differs by more than
// 0.3 degrees from the truth's angle of that frame's camera over the DEM's ground there.
double angle_misses(const survey_truth& truth, const mode_run& run) {
  const double p = truth.design.output_pixel_size_m, deg = 3.14159265358979323846 / 180.0;
  double x_min = 0, y_max = 0;
  view_origin(truth, truth.files.world_file, x_min, y_max);
  int checked = 0, missed = 0;
  for (int r = 0; r < run.source.rows; r += 7) {
    for (int c = 0; c < run.source.cols; c += 7) {
      const int line = run.source.at<uint16_t>(r, c);
      if (line == 0 || line > static_cast<int>(truth.cameras.size())) continue;
      const double x = x_min + c * p, y = y_max - r * p;
      const std::array<double, 3>& camera = truth.cameras[line - 1].position_m;
      // The run sees the ground on its DEM, which may be offset from the truth's.
      const double z = truth.terrain_height_local_m(x, y) + truth.design.dem_height_offset_m;
      const double expected =
          std::atan2(std::hypot(camera[0] - x, camera[1] - y), camera[2] - z) / deg;
      ++checked;
      missed += std::fabs(run.angle.at<float>(r, c) - expected) > 0.3 ? 1 : 0;
    }
  }
  return checked == 0 ? 1.0 : double(missed) / checked;
}

class Compositing : public ::testing::Test {
 protected:
  // Makes and runs the survey in mode `mode` with both maps; reads the whole-image
  // outputs (tiled runs are read by the caller) and, `with_truth`, compares the mosaic
  // with the truth where two frames or more see the ground.
  // `broken_frame` (0 on) names a frame whose file is then replaced by one too small.
  mode_run run(survey_design design, int mode, const std::string& name, bool with_truth = false,
               int broken_frame = -1) {
    design.extra_config = "composite_mode," + std::to_string(mode) + "\nseam_feather_pixels," +
                          std::to_string(kFeather) +
                          "\nwrite_source_map,1\nwrite_view_angle_map,1\n";
    const survey_truth truth = make_survey(design, dir_.file(name));
    if (broken_frame >= 0) {
      cv::imwrite(truth.files.image_dir + truth.cameras.at(broken_frame).name,
                  cv::Mat(4, 4, CV_8UC3, cv::Scalar::all(90)));
    }
    std::string output;
    EXPECT_EQ(run_command(aeroquilt_binary() + " " + truth.files.config, output), 1) << output;
    mode_run result;
    const std::string out = truth.files.output_dir;
    if (design.output_tile_size_pixels < 100000000) return result;
    result.mosaic = cv::imread(truth.files.mosaic, cv::IMREAD_UNCHANGED);
    result.source = cv::imread(out + "mosaic_source.tif", cv::IMREAD_UNCHANGED);
    result.angle = cv::imread(out + "mosaic_view_angle.tif", cv::IMREAD_UNCHANGED);
    EXPECT_FALSE(result.mosaic.empty() || result.source.empty() || result.angle.empty()) << name;
    if (!result.mosaic.empty() && with_truth) {
      result.stats = compare_view(truth, truth.files.mosaic, truth.files.world_file, nullptr, 2);
      if (!result.source.empty() && !result.angle.empty())
        result.angle_misses = angle_misses(truth, result);
    }
    return result;
  }
  scratch_dir dir_{"compositing"};
};

// 255 at pixels whose right or lower neighbour has another non-zero source.
cv::Mat seam_pixels(const cv::Mat& source) {
  const cv::Rect box(0, 0, source.cols - 1, source.rows - 1);
  const cv::Mat s = source(box), right = source(box + cv::Point(1, 0)),
                down = source(box + cv::Point(0, 1));
  cv::Mat seams = cv::Mat::zeros(source.size(), CV_8UC1);
  seams(box).setTo(255, (s != 0) & (((right != 0) & (right != s)) | ((down != 0) & (down != s))));
  return seams;
}

// Mean absolute colour step between neighbours across the seams of `source`, over the
// same mean between neighbours away from them: 1 when the seams cannot be told apart.
double seam_measure(const cv::Mat& mosaic, const cv::Mat& source) {
  double sum[2] = {0, 0};  // [0] between pixels of one frame, [1] across a seam
  long count[2] = {0, 0};
  for (int r = 0; r + 1 < mosaic.rows; ++r) {
    for (int c = 0; c + 1 < mosaic.cols; ++c) {
      const uint16_t s = source.at<uint16_t>(r, c);
      for (const cv::Point step : {cv::Point(1, 0), cv::Point(0, 1)}) {
        const uint16_t t = source.at<uint16_t>(r + step.y, c + step.x);
        if (s == 0 || t == 0) continue;
        const cv::Vec4b a = mosaic.at<cv::Vec4b>(r, c);
        const cv::Vec4b b = mosaic.at<cv::Vec4b>(r + step.y, c + step.x);
        sum[t != s] +=
            (std::abs(a[0] - b[0]) + std::abs(a[1] - b[1]) + std::abs(a[2] - b[2])) / 3.0;
        ++count[t != s];
      }
    }
  }
  return count[1] == 0 || sum[0] == 0 ? 0.0 : (sum[1] / count[1]) / (sum[0] / count[0]);
}

TEST_F(Compositing, BestViewLowersTheTruthErrorAndFeatheringTheSeams) {
  const mode_run last = run(tilted_hills(), 0, "mode0", true);
  const mode_run best = run(tilted_hills(), 1, "mode1", true);
  const mode_run feathered = run(tilted_hills(), 2, "mode2", true);
  ASSERT_FALSE(last.mosaic.empty() || best.mosaic.empty() || feathered.mosaic.empty());
  const double seams[3] = {seam_measure(last.mosaic, last.source),
                           seam_measure(best.mosaic, best.source),
                           seam_measure(feathered.mosaic, feathered.source)};
  std::cout << "mode 0: " << describe(last.stats) << " seam " << seams[0] << "\n"
            << "mode 1: " << describe(best.stats) << " seam " << seams[1] << "\n"
            << "mode 2: " << describe(feathered.stats) << " seam " << seams[2] << std::endl;
  EXPECT_LT(best.stats.p95_offset_px, 0.8 * last.stats.p95_offset_px);
  EXPECT_LT(seams[2], seams[0]);
  EXPECT_LT(seams[2], seams[1]);
  EXPECT_LT(feathered.stats.p95_offset_px, 1.1 * best.stats.p95_offset_px);

  // Feathering changes mode 1's pixels only near its seams.
  EXPECT_EQ(cv::countNonZero(feathered.source != best.source), 0);
  cv::Mat distance;
  cv::distanceTransform(~seam_pixels(best.source), distance, cv::DIST_L2, 3);
  cv::Mat difference;
  cv::absdiff(feathered.mosaic, best.mosaic, difference);
  cv::Mat changed;
  cv::transform(difference, changed, cv::Matx14f(1, 1, 1, 1));
  changed = changed > 0;
  EXPECT_GT(cv::countNonZero(changed), 0);
  EXPECT_EQ(cv::countNonZero(changed & (distance > 2 * kFeather)), 0);

  // The angle map: nodata exactly where nothing was projected, and best view never
  // sees a pixel more steeply than last wins.
  const cv::Mat no_data = ~(best.angle == best.angle);  // NaN equals nothing
  EXPECT_EQ(cv::countNonZero(no_data != (best.source == 0)), 0);
  // (Last wins keeps its own DEM arithmetic: centimetres apart, a frame-edge pixel may
  // be seen by one and not the other.)
  cv::Mat steeper = (best.angle > last.angle + 0.01f) & (last.source != 0);
  EXPECT_LT(cv::countNonZero(steeper), 0.001 * cv::countNonZero(last.source != 0));
  // Each mode's angles are those of the frame its source map names, against the truth.
  for (const mode_run* mode : {&last, &best, &feathered}) EXPECT_LT(mode->angle_misses, 0.01);
  std::cout << "angle misses " << last.angle_misses << " " << best.angle_misses << " "
            << feathered.angle_misses << std::endl;
}

TEST_F(Compositing, TilesMatchTheWholeImagePixelForPixel) {
  constexpr int S = 150;  // tile side; tiles start 50 pixels before their grid square
  // (Last wins is left out: it places a tile's pixels from the tile's own corner and
  // resamples the DEM per view, so tiles differ from the whole image by float rounding.)
  for (const int mode : {1, 2}) {
    survey_design design = small_tilted_hills();
    const std::string label = "m" + std::to_string(mode);
    const mode_run whole = run(design, mode, label + "whole");
    ASSERT_FALSE(whole.mosaic.empty());
    design.output_tile_size_pixels = S * S;
    run(design, mode, label + "tiled");
    const std::string out = dir_.file(label + "tiled") + "/out/";
    const std::vector<tile_file> tiles = tile_files(out);
    for (const auto& [name, i, j] : tiles) {
      const cv::Mat tile = cv::imread(name + ".png", cv::IMREAD_UNCHANGED);
      const cv::Mat source = cv::imread(name + "_source.tif", cv::IMREAD_UNCHANGED);
      ASSERT_FALSE(tile.empty() || source.empty()) << name;
      const cv::Rect in_whole(S * i - 50, S * j - 50, tile.cols, tile.rows);
      const cv::Rect shared = in_whole & cv::Rect(0, 0, whole.mosaic.cols, whole.mosaic.rows);
      if (shared.area() == 0) continue;
      cv::Mat difference;
      cv::absdiff(tile(shared - in_whole.tl()), whole.mosaic(shared), difference);
      EXPECT_EQ(cv::countNonZero(difference.reshape(1)), 0) << name;
      EXPECT_EQ(cv::countNonZero(source(shared - in_whole.tl()) != whole.source(shared)), 0)
          << name;
    }
    EXPECT_GE(tiles.size(), 4u) << label;
  }
}

// Best view and feathering find their frames from geometry before they read them: a frame
// that then cannot be read must leave its pixels to the others, not black.
TEST_F(Compositing, SourceMapNamesTheFrameThatSuppliedEachPixel) {
  survey_design design = small_tilted_hills();
  design.flat_colour_frames = true;
  const int broken_frame = 7;
  for (const int mode : {0, 1, 2, 11, 12}) {  // tens: one frame broken
    const bool broken = mode >= 10, feathered = mode % 10 == 2;
    const mode_run result = run(design, mode % 10, "flat" + std::to_string(mode), false,
                                broken ? broken_frame : -1);
    ASSERT_FALSE(result.mosaic.empty());
    int checked = 0, wrong = 0;
    std::set<int> sources;
    for (int r = 0; r < result.mosaic.rows; ++r) {
      for (int c = 0; c < result.mosaic.cols; ++c) {
        const int s = result.source.at<uint16_t>(r, c);
        const cv::Vec4b pixel = result.mosaic.at<cv::Vec4b>(r, c);
        if (s == 0) {
          wrong += pixel[3] != 0;
          continue;
        }
        // The flight log has one line per frame, in frame order.
        cv::Mat expected(1, 1, CV_8UC3, cv::Scalar(flat_frame_bgr(s - 1)));
        apply_projection_values(design, expected);
        const cv::Vec3b e = expected.at<cv::Vec3b>(0, 0);
        // Feathering blends colours at the seams: there only the coverage is checked.
        const bool colour = feathered || (pixel[0] == e[0] && pixel[1] == e[1] && pixel[2] == e[2]);
        wrong += !colour || pixel[3] == 0;
        ++checked;
        sources.insert(s);
      }
    }
    EXPECT_EQ(wrong, 0) << "mode " << mode;
    EXPECT_GT(checked, 10000) << "mode " << mode;
    if (mode == 2) {
      // Halfway into the feather width from a seam, pixels are blends of two frames wherever
      // both go on past it (47 % of them here; a feather a quarter as wide blends 40 %).
      cv::Mat away;
      cv::distanceTransform(seam_pixels(result.source) == 0, away, cv::DIST_L2, 3);
      int band = 0, blended = 0;
      for (int r = 0; r < result.mosaic.rows; ++r) {
        for (int c = 0; c < result.mosaic.cols; ++c) {
          const int s = result.source.at<uint16_t>(r, c);
          const float d = away.at<float>(r, c);
          if (s == 0 || d < 0.35f * kFeather || d > 0.65f * kFeather) continue;
          cv::Mat expected(1, 1, CV_8UC3, cv::Scalar(flat_frame_bgr(s - 1)));
          apply_projection_values(design, expected);
          const cv::Vec3b e = expected.at<cv::Vec3b>(0, 0);
          const cv::Vec4b pixel = result.mosaic.at<cv::Vec4b>(r, c);
          ++band;
          blended += pixel[0] != e[0] || pixel[1] != e[1] || pixel[2] != e[2];
        }
      }
      EXPECT_GT(blended, 0.44 * band) << blended << " of " << band << " blended";
    }
    EXPECT_EQ(sources.size(), design.line_count * design.images_per_line - (broken ? 1 : 0))
        << "mode " << mode;
    EXPECT_EQ(sources.count(broken_frame + 1), broken ? 0u : 1u) << "mode " << mode;
  }
}

}  // namespace
}  // namespace aeroquilt::testing
