// The projection kernels on a real OpenCL device (PoCL here) against the host
// reference of their per-pixel mapping. Fails when no OpenCL device is found.

#include <gtest/gtest.h>

#include <set>
#include <sstream>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <random>
#include <string>
#include <vector>

#include "base/console.h"
#include "base/fatal_error.h"
#include "geometry/camera_model.h"
#include "geometry/footprints.h"
#include "imaging/frame_loader.h"
#include "imaging/frame_source.h"
#include "imaging/gpu_context.h"
#include "imaging/image_cache.h"
#include "imaging/view_device.h"
#include "imaging/view_operation.h"
#include "support/dem_builder.h"
#include "support/projection_reference.h"
#include "support/scratch.h"
#include "terrain/dem_file.h"
#include "terrain/dem_sampling.h"
#include "terrain/view_params.h"

namespace aeroquilt {
namespace {

constexpr double pi = 3.141592653589793;
// Survey centre of the synthetic run, degrees.
constexpr double ref_lat_deg = 46.5;
constexpr double ref_lon_deg = 7.5;
// Camera frame: 64 x 48 pixels, focal length 50 pixels.
constexpr int frame_width = 64;
constexpr int frame_height = 48;
constexpr double focal_px = 50.0;

struct attitude_deg {
  double roll, pitch, heading;
};

// A 120 x 100 m view around the survey centre, of 1 m pixels unless said otherwise.
view_params small_view(float pixel_size = 1.0f) {
  view_params view = empty_view_params();
  view.pixel_size = pixel_size;
  view.x_min = -60.0f;
  view.x_max = 60.0f - pixel_size;
  view.y_min = -50.0f;
  view.y_max = 50.0f - pixel_size;
  finish_view_params(view, reference_radians(ref_lat_deg), reference_radians(ref_lon_deg));
  return view;
}

image_geometry camera(const attitude_deg& a, double east_m, double north_m, double up_m) {
  image_geometry g;
  g.attitude = arma::vec{a.roll * pi / 180.0, a.pitch * pi / 180.0, a.heading * pi / 180.0};
  g.camera_position = arma::vec{east_m, north_m, up_m};
  g.image_width = frame_width;
  g.image_height = frame_height;
  g.focal_length_px = focal_px;
  g.canonical_projection = arma::join_rows(arma::eye(3, 3), arma::zeros(3, 1));
  derive_camera_matrices(g);
  return g;
}

// Random texture; every channel at least 1, as the cache delivers images.
cv::Mat textured_image(unsigned seed) {
  cv::Mat image(frame_height, frame_width, CV_8UC3);
  cv::theRNG().state = seed;
  cv::randu(image, cv::Scalar::all(1), cv::Scalar::all(256));
  return image;
}

// The device wrote at least `min_written` pixels, nowhere the reference did not, and
// within 1 per channel of it at 99.9 % of them.
void expect_matches(const cv::Mat& device, const cv::Mat& reference, int min_written,
                    const std::string& label) {
  int written = 0, close = 0, stray = 0;
  for (int r = 0; r < reference.rows; ++r) {
    for (int c = 0; c < reference.cols; ++c) {
      const cv::Vec3b d = device.at<cv::Vec3b>(r, c), e = reference.at<cv::Vec3b>(r, c);
      if (e == cv::Vec3b(0, 0, 0)) {
        stray += d != cv::Vec3b(0, 0, 0);
      } else {
        ++written;
        close += cv::norm(cv::Vec3i(d) - cv::Vec3i(e), cv::NORM_INF) <= 1;
      }
    }
  }
  EXPECT_GE(written, min_written) << label;
  EXPECT_GE(close, 0.999 * written) << label;
  EXPECT_EQ(stray, 0) << label;
}

class ProjectionKernel : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    gpu_ = std::make_unique<gpu_context>();
    try {
      gpu_->open_gpu_device(frame_width, frame_height, 3);
    } catch (const fatal_error& error) {
      open_error_ = error.what();
    }
  }
  static void TearDownTestSuite() { gpu_.reset(); }

  void SetUp() override { ASSERT_EQ(open_error_, "") << "no usable OpenCL device"; }

  // The whole of each record's view projected by the plain kernels, in order (over the
  // DEM bytes when given), as a device without room for the claim mask draws them.
  static cv::Mat project_plain(const std::vector<view_params>& records,
                               const std::vector<cv::Mat>& images,
                               const unsigned char* dem = nullptr, uint32_t dem_size = 0) {
    const view_params& view = records.at(0);
    cv::Mat out = cv::Mat::zeros(view.height, view.width, CV_8UC3);
    const std::size_t bytes = out.total() * out.elemSize();
    device_buffer output, record;
    EXPECT_TRUE(gpu_->create_buffer("output", bytes, output).ok());
    EXPECT_TRUE(gpu_->write_buffer(output, out.data, bytes, true, "output").ok());
    EXPECT_TRUE(gpu_->create_buffer("record", sizeof(view_params), record).ok());
    if (dem != nullptr) {
      EXPECT_TRUE(gpu_->reserve_dem_buffer(dem_size).ok());
      EXPECT_TRUE(gpu_->write_buffer(gpu_->dem_buffer(), dem, dem_size, true, "DEM").ok());
    }
    for (std::size_t k = 0; k < records.size(); ++k) {
      EXPECT_TRUE(gpu_->write_buffer(record, &records[k], sizeof(view_params), true, "rec").ok());
      EXPECT_TRUE(gpu_->upload_frame(images[k].data).ok());
      kernel_launch launch =
          gpu_->launch(dem != nullptr ? kernel_id::project_image_dem : kernel_id::project_image);
      launch.set("image_width", frame_width)
          .set("image_height", frame_height)
          .set("view", record)
          .set("output", output)
          .set("image", gpu_->image_buffer());
      if (dem != nullptr) {
        launch.set("dem", gpu_->dem_buffer())
            .set("dem_bytes", cl_int(dem_size))
            .set("ref_lat_deg", lat_)
            .set("ref_lon_deg", lon_);
      }
      EXPECT_TRUE(launch.run(0, view.height, 0, view.width).ok());
    }
    out.setTo(cv::Scalar::all(77));
    EXPECT_TRUE(gpu_->read_buffer(output, out.data, bytes, "output").ok());
    return out;
  }
  // One image over the whole view on the device and by the host reference:
  // {device, reference}.
  std::pair<cv::Mat, cv::Mat> project(const view_params& view, const cv::Mat& image,
                                      const unsigned char* dem = nullptr, uint32_t dem_size = 0) {
    cv::Mat reference = cv::Mat::zeros(view.height, view.width, CV_8UC3);
    project_window_reference(reference, 0, view.height, 0, view.width, view, image, dem, dem_size,
                             lat_, lon_);
    return {project_plain({view}, {image}, dem, dem_size), reference};
  }
  // Most pixels of `reference` differ from the same view over flat ground.
  static int differs_from_flat(const view_params& view, const cv::Mat& image,
                               const cv::Mat& reference) {
    cv::Mat flat = cv::Mat::zeros(view.height, view.width, CV_8UC3);
    project_window_reference(flat, 0, view.height, 0, view.width, view, image);
    return cv::countNonZero(cv::Mat(flat != reference).reshape(1));
  }

  inline static std::unique_ptr<gpu_context> gpu_;
  inline static std::string open_error_;
  static constexpr float lat_ = float(ref_lat_deg), lon_ = float(ref_lon_deg);
};

// Five overlapping frames over `base`, tilted and turned apart: frame k at flight-log line
// first_line + k, up_m + climb_m * k metres up, textured from seed + k.
struct frame_set {
  std::vector<image_geometry> cameras;
  std::vector<view_params> records;
  std::vector<cv::Mat> images;
};
frame_set five_frames(const view_params& base, int first_line, double up_m, double climb_m,
                      unsigned seed) {
  const attitude_deg attitudes[] = {{0, 0, 0}, {8, -6, 30}, {-10, 12, 200}, {4, 9, 95}, {0, 0, 45}};
  frame_set set;
  for (int k = 0; k < 5; ++k) {
    set.cameras.push_back(
        camera(attitudes[k], -20.0 + 10.0 * k, 8.0 * (k % 2), up_m + climb_m * k));
    set.cameras.back().log_line = first_line + k;
    set.records.push_back(base);
    write_image_matrices(set.cameras.back(), set.records.back());
    set.images.push_back(textured_image(seed + k));
  }
  return set;
}

// A DEM file of hills (about 15 m to 65 m, one crest every 6 cells) around the
// survey centre, resampled for `view`; with `level`, every height 0.
class hilly_dem {
 public:
  explicit hilly_dem(const view_params& view, bool level = false) : scratch_("hilly_dem") {
    const double cell_deg = 0.0002;  // about 22 m north-south
    const std::string path = scratch_.file("hills.dem");
    testing::write_dem_file(path, 200, 200, ref_lon_deg - 0.02, ref_lat_deg - 0.02, cell_deg,
                            [level](int i, int j) {
                              return level ? 0.0f
                                           : float(40.0 + 25.0 * std::sin(i * 1.0) *
                                                              std::cos(j * 0.8));
                            });
    load_dem(dem, path);
    built = build_view_dem(dem, view.lat_min, view.lon_min, view.lat_max, view.lon_max) == 1;
  }
  testing::scratch_dir scratch_;
  view_dem dem;
  bool built = false;
};

TEST_F(ProjectionKernel, FlatViewMatchesTheReferenceForEveryAttitude) {
  const view_params base = small_view();
  ASSERT_EQ(base.width, 120);
  ASSERT_EQ(base.height, 100);
  const cv::Mat image = textured_image(11);
  for (const double heading : {0.0, 37.0, 90.0, 200.0}) {
    for (const auto& [roll, pitch] : {std::pair{0.0, 0.0}, {15.0, -10.0}, {-12.0, 15.0}}) {
      view_params view = base;
      write_image_matrices(camera({roll, pitch, heading}, 5.0, -3.0, 80.0), view);
      const auto [device, reference] = project(view, image);
      expect_matches(device, reference, 1000,
                     "roll " + std::to_string(roll) + " pitch " + std::to_string(pitch) +
                         " heading " + std::to_string(heading));
    }
  }
}

// The footprint lines that refuse pixels before their projection, against the projection:
// every ground point a frame sees lies within them, every point well within them, or
// within the inner lines (narrowed by the margin), is seen, and a frame whose corner rays
// miss the ground ahead has none. The edge slopes bound, not far above, how many frame
// columns and rows an output pixel's step east and north spans where the frame sees.
TEST(FlatFootprintLines, HoldWhatTheFrameSeesAndLittleMore) {
  constexpr double margin = 0.05, step = 0.37;
  const struct {
    attitude_deg attitude;
    double up_m;
    bool lines;
  } cases[] = {{{0, 0, 0}, 80, true},     {{15, -10, 37}, 80, true}, {{-12, 15, 200}, 150, true},
               {{5, 20, 290}, 40, true},  {{0, 70, 10}, 80, false},  {{0, 0, 0}, -10, false}};
  for (const auto& c : cases) {
    view_params view = empty_view_params();
    view.pixel_size = static_cast<float>(step);
    write_image_matrices(camera(c.attitude, 5.0, -3.0, c.up_m), view);
    composite_record record;
    const std::string label = "heading " + std::to_string(c.attitude.heading);
    ASSERT_EQ(flat_footprint_lines(view, frame_width, frame_height, margin, record), c.lines)
        << label;
    if (!c.lines) continue;
    // Frame column and row of ground point (x, y, 0); whether the frame sees it.
    const auto project = [&](double x, double y, double& fx, double& fy) {
      double q[3], p[3];
      for (int r = 0; r < 3; ++r) {
        const float* e = view.camera_extrinsic + 4 * r;
        q[r] = e[0] * x + e[1] * y + e[3];
      }
      for (int r = 0; r < 3; ++r) {
        const float* k = view.camera_intrinsic + 3 * r;
        p[r] = k[0] * q[0] + k[1] * q[1] + k[2] * q[2];
      }
      fx = p[0] / p[2] - 1.0;
      fy = p[1] / p[2] - 1.0;
      return q[2] > 0 && fx >= 0 && fx <= frame_width - 1 && fy >= 0 && fy <= frame_height - 1;
    };
    int seen = 0;
    double steepest[2] = {0, 0};
    for (double y = -400; y <= 400; y += step) {
      for (double x = -400; x <= 400; x += step) {
        double fx, fy, ex, ey, nx, ny;
        const bool sees = project(x, y, fx, fy);
        double least = 1e30, least_inner = 1e30;
        for (int k = 0; k < 4; ++k) {
          const float* a = record.footprint + 3 * k;
          const float* b = record.inner + 3 * k;
          least = std::min(least, a[0] * x + a[1] * y + a[2]);
          least_inner = std::min(least_inner, b[0] * x + b[1] * y + b[2]);
        }
        seen += sees ? 1 : 0;
        if (sees) {
          ASSERT_GE(least, 0.0) << label << " at " << x << ", " << y;
        }
        if (least > 2 * margin || least_inner >= 0.0) {
          ASSERT_TRUE(sees) << label << " at " << x << ", " << y;
        }
        if (sees && project(x + step, y, ex, ey) && project(x, y + step, nx, ny)) {
          steepest[0] = std::max(steepest[0], std::hypot(ex - fx, nx - fx));
          steepest[1] = std::max(steepest[1], std::hypot(ey - fy, ny - fy));
        }
      }
    }
    EXPECT_GT(seen, 1000) << label;
    for (int axis = 0; axis < 2; ++axis) {
      EXPECT_GE(record.edge_slope[axis], steepest[axis]) << label << " axis " << axis;
      EXPECT_LT(record.edge_slope[axis], 2.0 * steepest[axis]) << label << " axis " << axis;
    }
  }
}

TEST_F(ProjectionKernel, TerrainViewMatchesTheReferenceOnHillyDem) {
  const view_params base = small_view();
  hilly_dem hills(base);
  ASSERT_TRUE(hills.built);
  const cv::Mat image = textured_image(12);
  for (const attitude_deg a : {attitude_deg{0, 0, 0}, attitude_deg{10, -8, 37},
                               attitude_deg{-15, 12, 200}, attitude_deg{5, 15, 90}}) {
    view_params view = base;
    write_image_matrices(camera(a, -4.0, 6.0, 150.0), view);
    const auto [device, reference] =
        project(view, image, hills.dem.dem_buffer.data(), hills.dem.buffer_size);
    expect_matches(device, reference, 1000, "heading " + std::to_string(a.heading));

    // The hills must move the samples: most pixels differ from a flat ground.
    EXPECT_GT(differs_from_flat(view, image, reference), view.width * view.height / 4);
  }
}

// Overlapping images drawn by a view from the last back with the claim mask leave the
// view byte for byte as the plain kernels in flight-log order, on flat ground and hills.
TEST_F(ProjectionKernel, ClaimedReverseOrderLeavesTheForwardView) {
  const view_params base = small_view();
  hilly_dem hills(base);
  ASSERT_TRUE(hills.built);
  const frame_set frames = five_frames(base, 1, 90.0, 0.0, 20);
  const auto& [cameras, records, images] = frames;
  const footprint_window whole{0, base.height - 1, 0, base.width - 1};
  for (const bool on_dem : {false, true}) {
    view_device device(*gpu_, composite_options{}, on_dem, hills.dem, ref_lat_deg, ref_lon_deg);
    cv::Mat claimed = cv::Mat::zeros(base.height, base.width, CV_8UC3);
    ASSERT_TRUE(device.begin(base, claimed, place_in_survey(base, base)).ok());
    ASSERT_TRUE(device.reverse());
    for (int k = 4; k >= 0; --k)
      ASSERT_TRUE(device.draw(0, cameras[k], images[k], whole, records[k]).ok()) << k;
    composite_planes planes;
    ASSERT_TRUE(device.finish(claimed, planes).ok());
    const cv::Mat forward =
        on_dem ? project_plain(records, images, hills.dem.dem_buffer.data(), hills.dem.buffer_size)
               : project_plain(records, images);
    EXPECT_GT(cv::countNonZero(forward.reshape(1)), base.width * base.height) << on_dem;
    EXPECT_EQ(cv::countNonZero(cv::Mat(forward != claimed).reshape(1)), 0) << on_dem;
  }
}

// A view drawn in turns, each going on from the state the last one left, in any order of
// the frames, is the view drawn at once: last wins and best view, on hills. The frames'
// lines run past 65535 and stay apart.
TEST_F(ProjectionKernel, ViewsDrawnInTurnsAreTheViewDrawnAtOnce) {
  const view_params base = small_view();
  hilly_dem hills(base);
  ASSERT_TRUE(hills.built);
  const frame_set frames = five_frames(base, 65533, 90.0, 7.0, 30);
  const auto& [cameras, records, images] = frames;
  const footprint_window whole{0, base.height - 1, 0, base.width - 1};
  for (const composite_rule rule : {composite_rule::last_wins, composite_rule::best_view}) {
    composite_options options;
    options.rule = rule;
    const auto draw = [&](const std::vector<std::vector<int>>& turns) {
      view_state state;
      for (const std::vector<int>& turn : turns) {
        view_device device(*gpu_, options, true, hills.dem, ref_lat_deg, ref_lon_deg);
        cv::Mat canvas = state.image.empty() ? cv::Mat::zeros(base.height, base.width, CV_8UC3)
                                             : state.image.clone();
        EXPECT_TRUE(device
                        .begin(base, canvas, place_in_survey(base, base),
                               state.image.empty() ? nullptr : &state)
                        .ok());
        for (const int k : turn)
          EXPECT_TRUE(device.draw(0, cameras[k], images[k], whole, records[k]).ok());
        composite_planes planes;
        EXPECT_TRUE(device.finish(canvas, planes, &state).ok());
      }
      return state;
    };
    const view_state once = draw({{4, 3, 2, 1, 0}}), turns = draw({{2}, {0, 4}, {3, 1}});
    const int label = static_cast<int>(rule);
    EXPECT_GT(cv::countNonZero(once.image.reshape(1)), base.width * base.height) << label;
    EXPECT_EQ(cv::countNonZero(cv::Mat(once.image != turns.image).reshape(1)), 0) << label;
    EXPECT_EQ(once.claim, turns.claim) << label;
    EXPECT_EQ(once.source, turns.source) << label;
    const std::vector<uint32_t>& lines = rule == composite_rule::last_wins ? once.claim : once.source;
    const std::set<uint32_t> held(lines.begin(), lines.end());
    EXPECT_GE(held.size(), 4u) << label;
    EXPECT_GT(*held.rbegin(), 65535u) << label;
  }
}

// On flat ground best view and feathering refuse the pixels outside a frame's footprint
// lines before projecting them, feathering the pixels whose angle gap exceeds a bound of
// the seam slope, and best view from geometry has kernels of its own, whose work items
// draw whole rows on a CPU device and pixels on a GPU; a DEM of zero heights, which has
// none of these, gives the same view, from geometry or not, with either kind of work item.
// Quarter-metre pixels put most of each frame far from its seams, where whole runs of
// columns leave at once.
TEST_F(ProjectionKernel, FlatShortcutsLeaveBestViewAndFeatheringAsTheyAre) {
  for (const float pixel_size : {1.0f, 0.25f}) {
    const view_params base = small_view(pixel_size);
    hilly_dem level(base, true);
    ASSERT_TRUE(level.built);
    const frame_set frames = five_frames(base, 1, 60.0, 7.0, 50);
    const auto& [cameras, records, images] = frames;
    const footprint_window whole{0, base.height - 1, 0, base.width - 1};
    bool geometric = false;
    const auto draw = [&](composite_rule rule, bool use_dem) {
      composite_options options;
      options.rule = rule;
      options.feather_pixels = 6.0f;
      options.source_map = true;
      options.frames_never_black = geometric;
      view_device device(*gpu_, options, use_dem, level.dem, ref_lat_deg, ref_lon_deg);
      cv::Mat canvas = cv::Mat::zeros(base.height, base.width, CV_8UC3);
      EXPECT_TRUE(device.begin(base, canvas, place_in_survey(base, base)).ok());
      for (int pass = 0; pass < device.passes(); ++pass)
        for (int k = 0; k < 5; ++k)
          EXPECT_TRUE(device.draw(pass, cameras[k], images[k], whole, records[k]).ok());
      composite_planes planes;
      EXPECT_TRUE(device.finish(canvas, planes).ok());
      return std::make_pair(canvas, std::vector<uint32_t>(
                                        planes.source, planes.source + base.width * base.height));
    };
    const bool whole_rows = gpu_->row_spans();
    for (const bool from_geometry : {false, true}) {
      geometric = from_geometry;
      const auto [best, best_source] = draw(composite_rule::best_view, false);
      const std::set<uint32_t> held(best_source.begin(), best_source.end());
      EXPECT_GE(held.size(), 5u) << geometric;
      for (const composite_rule rule : {composite_rule::best_view, composite_rule::feathered}) {
        const auto [on_dem, dem_source] = draw(rule, true);
        for (const bool rows : {true, false}) {
          gpu_->set_row_spans(rows);
          const auto [flat, flat_source] = draw(rule, false);
          EXPECT_EQ(flat_source, dem_source) << geometric << rows;
          EXPECT_EQ(cv::countNonZero(cv::Mat(flat != on_dem).reshape(1)), 0) << geometric << rows;
          // Feathering blends some pixels across its seams.
          if (rule == composite_rule::feathered) {
            EXPECT_GT(cv::countNonZero(cv::Mat(flat != best).reshape(1)), base.width)
              << geometric;
          }
        }
        gpu_->set_row_spans(whole_rows);
      }
    }
  }
}

// A feathered view drawn in bands of rows, each band's terms and sums kept on their own,
// has the pixels, source plane, frame count and messages of the view drawn whole: from
// geometry, and with a frame border marked as no data, where best view reads the frames
// too and a frame that cannot be read is named once. (From geometry, such a frame would
// have the view drawn again that way.)
TEST_F(ProjectionKernel, FeatheredBandsGiveTheWholeView) {
  const view_params base = small_view();
  hilly_dem level(base, true);
  ASSERT_TRUE(level.built);
  testing::scratch_dir dir("feather_bands");
  frame_set frames = five_frames(base, 1, 60.0, 7.0, 70);
  for (int k = 0; k < 5; ++k) {
    frames.cameras[k].path = dir.file("frame" + std::to_string(k) + ".png");
    ASSERT_TRUE(cv::imwrite(frames.cameras[k].path, frames.images[k]));
    ASSERT_EQ(project_footprint_flat(frames.cameras[k]), 1);
  }
  // A sixth frame over the first, whose file is missing.
  frames.cameras.push_back(frames.cameras[0]);
  frames.cameras.back().path = dir.file("missing.png");
  frames.cameras.back().log_line = 6;
  cv::Mat border = cv::Mat::zeros(frame_height, frame_width, CV_8UC1);
  border.colRange(0, 3).setTo(255);
  for (const bool geometric : {true, false}) {
    const int count = geometric ? 5 : 6;
    const auto render = [&](int64_t band_pixels) {
      frame_loader loader;
      image_cache cache(loader);
      cache.set_slot_count(8);
      frame_source source(cache, {1.0, 0, 0}, geometric ? cv::Mat() : border);
      view_options options;
      options.compositing.rule = composite_rule::feathered;
      options.compositing.feather_pixels = 6.0f;
      options.compositing.source_map = true;
      options.compositing.feather_band_pixels = band_pixels;
      const view_setting setting{*gpu_, source, frames.cameras, level.dem, base,
                                 ref_lat_deg, ref_lon_deg, options};
      console_capture capture;
      rendered_view result = render_view_canvas(setting, base, all_frames(count));
      // The view's own messages: not the cache's, which depend on timing, nor the
      // preview's, printed once.
      std::istringstream lines(capture.text());
      std::string text;
      for (std::string line; std::getline(lines, line);) {
        if (line.find("cache") == std::string::npos && line.find("preview") == std::string::npos)
          text += line + "\n";
      }
      return std::make_pair(std::move(result), text);
    };
    const auto [whole, whole_text] = render(int64_t(1) << 30);
    const auto [banded, banded_text] = render(1);
    const std::string missing = "image not projected, missing or not 64x48 pixels: " +
                                dir.file("missing.png") + "\n";
    EXPECT_EQ(whole_text.find(missing) != std::string::npos, !geometric) << whole_text;
    EXPECT_EQ(whole_text.find(missing), whole_text.rfind(missing)) << whole_text;
    EXPECT_EQ(banded_text, whole_text);
    ASSERT_EQ(whole.status, view_status::rendered) << whole.failure;
    ASSERT_EQ(banded.status, view_status::rendered) << banded.failure;
    EXPECT_EQ(banded.projected, 5);
    EXPECT_EQ(whole.projected, 5);
    EXPECT_EQ(cv::countNonZero(cv::Mat(whole.image != banded.image).reshape(1)), 0) << geometric;
    const uint32_t* source = whole.planes.source;
    const std::size_t pixels = std::size_t(base.width) * std::size_t(base.height);
    EXPECT_TRUE(std::equal(source, source + pixels, banded.planes.source)) << geometric;
    const std::set<uint32_t> held(source, source + pixels);
    EXPECT_GE(held.size(), 5u);
  }
  EXPECT_EQ(feather_band_rows(120, 100, 1), 25);
  EXPECT_EQ(feather_band_rows(120, 100, 120 * 60 + 1), 61);
  EXPECT_EQ(feather_band_rows(120, 100, 120 * 100 + 1), 100);
}

// Black frame pixels hold no data (the lens resampling's corners): they never win a
// pixel, so the frame below shows through, in both launch orders.
TEST_F(ProjectionKernel, BlackFramePixelsNeverWin) {
  const view_params base = small_view();
  std::vector<image_geometry> cameras = {camera({0, 0, 0}, 0.0, 0.0, 80.0),
                                         camera({0, 0, 20}, 3.0, -2.0, 80.0)};
  std::vector<view_params> records(2, base);
  std::vector<cv::Mat> images = {textured_image(41), textured_image(42)};
  images[1](cv::Rect(0, 0, frame_width / 2, frame_height)).setTo(cv::Scalar::all(0));
  cv::Mat reference = cv::Mat::zeros(base.height, base.width, CV_8UC3);
  for (int k = 0; k < 2; ++k) {
    cameras[k].log_line = k + 1;
    write_image_matrices(cameras[k], records[k]);
    project_window_reference(reference, 0, base.height, 0, base.width, records[k], images[k]);
  }
  const cv::Mat forward = project_plain(records, images);
  expect_matches(forward, reference, 3000, "forward");
  // Where the second frame is black, the first frame's colours are there.
  cv::Mat first = cv::Mat::zeros(base.height, base.width, CV_8UC3);
  project_window_reference(first, 0, base.height, 0, base.width, records[0], images[0]);
  cv::Mat second_data = cv::Mat::zeros(base.height, base.width, CV_8UC3);
  project_window_reference(second_data, 0, base.height, 0, base.width, records[1], images[1]);
  int shown = 0;
  for (int r = 0; r < base.height; ++r)
    for (int c = 0; c < base.width; ++c)
      shown += second_data.at<cv::Vec3b>(r, c) == cv::Vec3b() &&
               first.at<cv::Vec3b>(r, c) != cv::Vec3b() &&
               forward.at<cv::Vec3b>(r, c) != cv::Vec3b();
  EXPECT_GT(shown, 1000);
  // Taken from the last back, whole rows a work item (a CPU device's way) or pixels.
  const view_dem no_dem;
  const bool whole_rows = gpu_->row_spans();
  for (const bool rows : {true, false}) {
    gpu_->set_row_spans(rows);
    view_device device(*gpu_, composite_options{}, false, no_dem, ref_lat_deg, ref_lon_deg);
    cv::Mat claimed = cv::Mat::zeros(base.height, base.width, CV_8UC3);
    ASSERT_TRUE(device.begin(base, claimed, place_in_survey(base, base)).ok());
    const footprint_window whole{0, base.height - 1, 0, base.width - 1};
    for (int k = 1; k >= 0; --k)
      ASSERT_TRUE(device.draw(0, cameras[k], images[k], whole, records[k]).ok());
    composite_planes planes;
    ASSERT_TRUE(device.finish(claimed, planes).ok());
    EXPECT_EQ(cv::countNonZero(cv::Mat(forward != claimed).reshape(1)), 0) << rows;
  }
  gpu_->set_row_spans(whole_rows);
}

// A launch names what it lacks, and errors by OpenCL's names.
TEST_F(ProjectionKernel, LaunchesAreRefusedByName) {
  kernel_launch launch = gpu_->launch(kernel_id::project_image);
  launch.set("image_width", frame_width).set("image_height", frame_height);
  const cl_status status = launch.run(0, 1, 0, 1);
  EXPECT_EQ(status.code, CL_INVALID_KERNEL_ARGS);
  EXPECT_EQ(status.message(),
            "clEnqueueNDRangeKernel (project_image, view not set) failed with "
            "CL_INVALID_KERNEL_ARGS");
  EXPECT_EQ(cl_error_name(CL_OUT_OF_RESOURCES), "CL_OUT_OF_RESOURCES");
  EXPECT_EQ(cl_error_name(-9999), "error -9999");
}

// A launch over rows no work-group size divides (a CPU device splits it into groups of
// powers of two) runs every row of its window, and none beyond it.
TEST_F(ProjectionKernel, LaunchesCoverTheirWindowAndNoMore) {
  for (const std::size_t rows : {std::size_t{1}, std::size_t{1037}, std::size_t{1024}}) {
    const std::size_t first = 5, bytes = first + rows + 7;
    std::vector<unsigned char> source(bytes), copied(bytes, 0);
    for (std::size_t i = 0; i < bytes; ++i) source[i] = static_cast<unsigned char>(1 + i % 251);
    device_buffer from, to;
    ASSERT_TRUE(gpu_->create_buffer("from", bytes, from).ok());
    ASSERT_TRUE(gpu_->create_buffer("to", bytes, to).ok());
    ASSERT_TRUE(gpu_->write_buffer(from, source.data(), bytes, true, "from").ok());
    ASSERT_TRUE(gpu_->write_buffer(to, copied.data(), bytes, true, "to").ok());
    ASSERT_TRUE(gpu_->launch(kernel_id::Copy)
                    .set("source", from)
                    .set("destination", to)
                    .set("count", static_cast<cl_int>(bytes))
                    .run(first, rows, 0, 1)
                    .ok());
    ASSERT_TRUE(gpu_->read_buffer(to, copied.data(), bytes, "to").ok());
    for (std::size_t i = 0; i < bytes; ++i)
      ASSERT_EQ(copied[i], i >= first && i < first + rows ? source[i] : 0) << rows << " " << i;
  }
}

TEST_F(ProjectionKernel, FillsReachEveryByteWithThePattern) {
  // Large fills go to the block kernel on a CPU device in whole work groups, the rest to
  // the runtime's fill; small ones stay the runtime's.
  const unsigned char black = 0,
                      blocks[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  const float infinity = std::numeric_limits<float>::infinity();
  const struct {
    std::size_t bytes;
    const void* pattern;
    std::size_t pattern_bytes;
  } cases[] = {{3 * (std::size_t{1} << 20) + 5, &black, 1},
               {(std::size_t{1} << 20) + 12, &infinity, 4},
               {2 * (std::size_t{1} << 20), blocks, 16},
               {100, &infinity, 4}};
  for (const auto& fill : cases) {
    device_buffer buffer;
    ASSERT_TRUE(gpu_->create_buffer("filled", fill.bytes, buffer).ok());
    std::vector<unsigned char> bytes(fill.bytes, 0xA5);
    ASSERT_TRUE(gpu_->write_buffer(buffer, bytes.data(), fill.bytes, true, "filled").ok());
    ASSERT_TRUE(gpu_->fill_buffer(buffer, fill.pattern, fill.pattern_bytes, "filled").ok());
    ASSERT_TRUE(gpu_->read_buffer(buffer, bytes.data(), fill.bytes, "filled").ok());
    const auto* pattern = static_cast<const unsigned char*>(fill.pattern);
    for (std::size_t i = 0; i < fill.bytes; ++i)
      ASSERT_EQ(bytes[i], pattern[i % fill.pattern_bytes]) << fill.bytes << " " << i;
  }
}

TEST_F(ProjectionKernel, DemLargerThanTheDeviceBufferGrowsTheBuffer) {
  // 2 x 543479 nodes: 100,000,164 bytes, just over the 100,000,000-byte buffer.
  const int32_t node_rows = 2, node_cols = 543479;
  const float cell_deg = 1.0f;
  std::vector<unsigned char> dem(28 + std::size_t(node_rows) * node_cols * sizeof(dem_node), 0);
  ASSERT_GT(dem.size(), device_dem_buffer_bytes);
  // The view sits in the middle of the last patch of the south row, which is flat at 30 m.
  const float header[5] = {float(ref_lat_deg) - 0.5f,
                           float(ref_lon_deg) - (float(node_cols) - 1.5f) * cell_deg,
                           float(ref_lat_deg) + 0.5f, float(ref_lon_deg) + 0.5f, cell_deg};
  std::memcpy(dem.data(), header, sizeof(header));
  std::memcpy(dem.data() + 20, &node_rows, 4);
  std::memcpy(dem.data() + 24, &node_cols, 4);
  dem_node last{};
  last.coef[0] = 30.0f;
  std::memcpy(dem.data() + 28 + std::size_t(node_cols - 2) * sizeof(dem_node), &last, sizeof(last));

  view_params view = small_view();
  write_image_matrices(camera({0, 0, 0}, 0.0, 0.0, 80.0), view);
  const cv::Mat image = textured_image(16);
  const auto [device, reference] = project(view, image, dem.data(), uint32_t(dem.size()));
  EXPECT_GE(gpu_->dem_buffer().bytes, dem.size());
  expect_matches(device, reference, 1000, "grown DEM");
  EXPECT_NE(differs_from_flat(view, image, reference), 0) << "30 m ground not used";
}

}  // namespace
}  // namespace aeroquilt
