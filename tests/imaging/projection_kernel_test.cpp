// The projection kernels on a real OpenCL device (PoCL here) against the host
// reference of their per-pixel mapping, and the mapping itself against the
// camera model's forward rays. Fails when no OpenCL device is found.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <opencv2/core.hpp>
#include <random>
#include <string>
#include <vector>

#include "app/fatal_error.h"
#include "geometry/camera_model.h"
#include "imaging/gpu_context.h"
#include "imaging/projection_reference.h"
#include "support/dem_builder.h"
#include "support/scratch.h"
#include "terrain/dem_file.h"
#include "terrain/dem_sampling.h"
#include "terrain/map_projection.h"
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

// A 120 x 100 view of 1 m pixels around the survey centre.
view_params small_view() {
  view_params view = empty_view_params();
  view.pixel_size = 1.0f;
  view.x_min = -60.0f;
  view.x_max = 59.0f;
  view.y_min = -50.0f;
  view.y_max = 49.0f;
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
  derive_camera_matrices(g);
  return g;
}

// The record's first 21 floats, as the projection writes them per image.
void set_camera(view_params& view, const image_geometry& g) {
  const arma::mat extrinsic = g.world_to_camera.rows(0, 2);
  const arma::mat intrinsic = g.pixel_axes * g.focal_matrix;
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 4; ++c) view.camera_extrinsic[4 * r + c] = float(extrinsic(r, c));
    for (int c = 0; c < 3; ++c) view.camera_intrinsic[3 * r + c] = float(intrinsic(r, c));
  }
}

// Random texture; every channel at least 1, as the cache delivers images.
cv::Mat textured_image(unsigned seed) {
  std::mt19937 random(seed);
  std::uniform_int_distribution<int> value(1, 255);
  cv::Mat image(frame_height, frame_width, CV_8UC3);
  for (int r = 0; r < image.rows; ++r) {
    for (int c = 0; c < image.cols; ++c) {
      image.at<cv::Vec3b>(r, c) = cv::Vec3b(value(random), value(random), value(random));
    }
  }
  return image;
}

// Blue = 2 column + 1, green = 2 row + 1: a sample's colour tells where it was taken.
cv::Mat ramp_image() {
  cv::Mat image(frame_height, frame_width, CV_8UC3);
  for (int r = 0; r < image.rows; ++r) {
    for (int c = 0; c < image.cols; ++c)
      image.at<cv::Vec3b>(r, c) = cv::Vec3b(2 * c + 1, 2 * r + 1, 1);
  }
  return image;
}

struct comparison {
  int written = 0;  // pixels the reference writes
  int close = 0;    // of those, device within 1 per channel
  int stray = 0;    // device wrote where the reference did not
};

comparison compare(const cv::Mat& device, const cv::Mat& reference) {
  comparison result;
  for (int r = 0; r < reference.rows; ++r) {
    for (int c = 0; c < reference.cols; ++c) {
      const cv::Vec3b d = device.at<cv::Vec3b>(r, c), e = reference.at<cv::Vec3b>(r, c);
      if (e == cv::Vec3b(0, 0, 0)) {
        result.stray += d != cv::Vec3b(0, 0, 0);
        continue;
      }
      ++result.written;
      bool near = true;
      for (int ch = 0; ch < 3; ++ch) near = near && std::abs(int(d[ch]) - int(e[ch])) <= 1;
      result.close += near;
    }
  }
  return result;
}

void expect_matches(const cv::Mat& device, const cv::Mat& reference, int min_written,
                    const std::string& label) {
  const comparison result = compare(device, reference);
  EXPECT_GE(result.written, min_written) << label;
  EXPECT_GE(result.close, 0.999 * result.written) << label;
  EXPECT_EQ(result.stray, 0) << label;
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

  // Fresh zero view on the device, then the given launches; the view read back.
  cv::Mat fresh_output(const view_params& view) {
    cv::Mat zero = cv::Mat::zeros(view.height, view.width, CV_8UC3);
    EXPECT_TRUE(gpu_->create_view_buffers(view, zero.data));
    return zero;
  }
  cv::Mat read_back(const view_params& view) {
    cv::Mat output(view.height, view.width, CV_8UC3, cv::Scalar::all(77));
    EXPECT_TRUE(gpu_->read_view_output(output.data));
    gpu_->release_view_buffers();
    return output;
  }

  static std::unique_ptr<gpu_context> gpu_;
  static std::string open_error_;
};

std::unique_ptr<gpu_context> ProjectionKernel::gpu_;
std::string ProjectionKernel::open_error_;

// A DEM file of hills (about 15 m to 65 m, one crest every 6 cells) around the
// survey centre, resampled for `view`.
class hilly_dem {
 public:
  explicit hilly_dem(const view_params& view) : scratch_("hilly_dem") {
    const double cell_deg = 0.0002;  // about 22 m north-south
    const std::string path = scratch_.file("hills.dem");
    testing::write_dem_file(
        path, 200, 200, ref_lon_deg - 0.02, ref_lat_deg - 0.02, cell_deg,
        [](int i, int j) { return float(40.0 + 25.0 * std::sin(i * 1.0) * std::cos(j * 0.8)); });
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
      set_camera(view, camera({roll, pitch, heading}, 5.0, -3.0, 80.0));
      fresh_output(view);
      ASSERT_TRUE(gpu_->enqueue_projection(image.data, 0, view.height, 0, view.width, view));
      const cv::Mat device = read_back(view);

      cv::Mat reference = cv::Mat::zeros(view.height, view.width, CV_8UC3);
      project_window_reference(reference, 0, view.height, 0, view.width, view, image);
      expect_matches(device, reference, 1000,
                     "roll " + std::to_string(roll) + " pitch " + std::to_string(pitch) +
                         " heading " + std::to_string(heading));
    }
  }
}

TEST_F(ProjectionKernel, TerrainViewMatchesTheReferenceOnHillyDem) {
  const view_params base = small_view();
  hilly_dem hills(base);
  ASSERT_TRUE(hills.built);
  const cv::Mat image = textured_image(12);
  const float lat = float(ref_lat_deg), lon = float(ref_lon_deg);
  for (const attitude_deg a : {attitude_deg{0, 0, 0}, attitude_deg{10, -8, 37},
                               attitude_deg{-15, 12, 200}, attitude_deg{5, 15, 90}}) {
    view_params view = base;
    set_camera(view, camera(a, -4.0, 6.0, 150.0));
    fresh_output(view);
    ASSERT_TRUE(gpu_->enqueue_projection_dem(image.data, 0, view.height, 0, view.width, view,
                                             hills.dem.dem_buffer.data(), hills.dem.buffer_size,
                                             lat, lon));
    const cv::Mat device = read_back(view);

    cv::Mat reference = cv::Mat::zeros(view.height, view.width, CV_8UC3);
    project_window_reference(reference, 0, view.height, 0, view.width, view, image,
                             hills.dem.dem_buffer.data(), hills.dem.buffer_size, lat, lon);
    expect_matches(device, reference, 1000, "heading " + std::to_string(a.heading));

    // The hills must move the samples: most pixels differ from a flat ground.
    cv::Mat flat = cv::Mat::zeros(view.height, view.width, CV_8UC3);
    project_window_reference(flat, 0, view.height, 0, view.width, view, image);
    cv::Mat differs;
    cv::compare(flat, reference, differs, cv::CMP_NE);
    EXPECT_GT(cv::countNonZero(differs.reshape(1)), view.width * view.height / 4);
  }
}

TEST_F(ProjectionKernel, LaunchDrawsOnlyItsWindow) {
  view_params view = small_view();
  set_camera(view, camera({0, 0, 0}, 0.0, 0.0, 80.0));
  const cv::Mat image = textured_image(13);
  fresh_output(view);
  const int r0 = 20, rows = 30, c0 = 40, cols = 25;
  ASSERT_TRUE(gpu_->enqueue_projection(image.data, r0, rows, c0, cols, view));
  const cv::Mat device = read_back(view);

  cv::Mat reference = cv::Mat::zeros(view.height, view.width, CV_8UC3);
  project_window_reference(reference, r0, rows, c0, cols, view, image);
  expect_matches(device, reference, rows * cols, "window");
  cv::Mat outside = device.clone();
  outside(cv::Rect(c0, r0, cols, rows)).setTo(cv::Scalar::all(0));
  EXPECT_EQ(cv::countNonZero(outside.reshape(1)), 0);
}

TEST_F(ProjectionKernel, LaterImageOverwritesEarlierOnesWhereItSeesTheGround) {
  view_params view = small_view();
  const cv::Mat first = textured_image(14), second = textured_image(15);
  const image_geometry west = camera({0, 0, 0}, -30.0, 0.0, 60.0);
  const image_geometry east = camera({0, 0, 90}, 20.0, 0.0, 60.0);
  cv::Mat reference = cv::Mat::zeros(view.height, view.width, CV_8UC3);
  fresh_output(view);
  set_camera(view, west);
  ASSERT_TRUE(gpu_->enqueue_projection(first.data, 0, view.height, 0, view.width, view));
  project_window_reference(reference, 0, view.height, 0, view.width, view, first);
  cv::Mat first_only = reference.clone();
  set_camera(view, east);  // the host may change the record once the call returns
  ASSERT_TRUE(gpu_->enqueue_projection(second.data, 0, view.height, 0, view.width, view));
  project_window_reference(reference, 0, view.height, 0, view.width, view, second);
  const cv::Mat device = read_back(view);
  expect_matches(device, reference, 2000, "two images");

  // Both images see the centre column, which shows the second one.
  int overlap = 0;
  for (int r = 0; r < view.height; ++r) {
    const projected_pixel p = project_pixel_reference(r, 60, view, second);
    if (p.written && first_only.at<cv::Vec3b>(r, 60) != cv::Vec3b(0, 0, 0)) ++overlap;
  }
  EXPECT_GT(overlap, 10);
}

// Decodes the ramp sample at each written view pixel back to its 1-based image
// pixel, casts that pixel's ray with the camera model and checks that the ray
// meets the ground height at the view pixel's own local point.
double worst_ray_miss_m(const cv::Mat& device, const view_params& view, const image_geometry& g,
                        const view_dem* dem, int& checked) {
  const local_frame frame = make_local_frame(ref_lat_deg, ref_lon_deg);
  double worst = 0.0;
  checked = 0;
  for (int r = 0; r < device.rows; ++r) {
    for (int c = 0; c < device.cols; ++c) {
      const cv::Vec3b s = device.at<cv::Vec3b>(r, c);
      if (s == cv::Vec3b(0, 0, 0)) continue;
      const auto [x, y] = view_point_local(view, r, c);
      double ground_z = 0.0;
      if (dem != nullptr) {
        double lat = 0, lon = 0;
        local_to_geographic(x, y, frame, lat, lon);
        ground_z = view_dem_height(*dem, float(lat), float(lon));
      }
      const double u = (s[0] - 1) / 2.0 + 1.0, v = (s[1] - 1) / 2.0 + 1.0;
      const arma::vec d = g.camera_rotation * (g.pixel_to_ray * arma::vec{u, v, 1.0});
      const double t = (ground_z - g.camera_position(2)) / d(2);
      const arma::vec hit = g.camera_position + t * d;
      worst = std::max(worst, std::hypot(hit(0) - x, hit(1) - y));
      ++checked;
    }
  }
  return worst;
}

TEST_F(ProjectionKernel, EachViewPixelShowsTheImagePixelWhoseRayMeetsItsGround) {
  const view_params base = small_view();
  hilly_dem hills(base);
  ASSERT_TRUE(hills.built);
  const cv::Mat image = ramp_image();
  const image_geometry g = camera({8, -6, 37}, 2.0, -1.0, 150.0);
  for (const bool terrain : {false, true}) {
    view_params view = base;
    set_camera(view, g);
    fresh_output(view);
    if (terrain) {
      ASSERT_TRUE(gpu_->enqueue_projection_dem(image.data, 0, view.height, 0, view.width, view,
                                               hills.dem.dem_buffer.data(), hills.dem.buffer_size,
                                               float(ref_lat_deg), float(ref_lon_deg)));
    } else {
      ASSERT_TRUE(gpu_->enqueue_projection(image.data, 0, view.height, 0, view.width, view));
    }
    const cv::Mat device = read_back(view);
    int checked = 0;
    const double miss = worst_ray_miss_m(device, view, g, terrain ? &hills.dem : nullptr, checked);
    EXPECT_GT(checked, 2000) << (terrain ? "terrain" : "flat");
    // The ramp's rounding leaves 1/4 pixel per axis, up to about 0.85 m each at
    // 150 m and 50 px focal length; one pixel off would miss by 2.2 m or more.
    EXPECT_LT(miss, 1.5) << (terrain ? "terrain" : "flat");
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
  set_camera(view, camera({0, 0, 0}, 0.0, 0.0, 80.0));
  const cv::Mat image = textured_image(16);
  fresh_output(view);
  ASSERT_TRUE(gpu_->enqueue_projection_dem(image.data, 0, view.height, 0, view.width, view,
                                           dem.data(), uint32_t(dem.size()), float(ref_lat_deg),
                                           float(ref_lon_deg)));
  EXPECT_GE(gpu_->dem_buffer_capacity(), dem.size());
  const cv::Mat device = read_back(view);

  cv::Mat reference = cv::Mat::zeros(view.height, view.width, CV_8UC3);
  project_window_reference(reference, 0, view.height, 0, view.width, view, image, dem.data(),
                           dem.size(), float(ref_lat_deg), float(ref_lon_deg));
  expect_matches(device, reference, 1000, "grown DEM");
  cv::Mat flat = cv::Mat::zeros(view.height, view.width, CV_8UC3);
  project_window_reference(flat, 0, view.height, 0, view.width, view, image);
  EXPECT_NE(cv::countNonZero(cv::Mat(flat != reference).reshape(1)), 0) << "30 m ground not used";
}

TEST_F(ProjectionKernel, PointsOutsideTheDemGridAreLeftUntouched) {
  // A one-patch grid covering only the view's north-west quarter.
  view_params view = small_view();
  set_camera(view, camera({0, 0, 0}, 0.0, 0.0, 150.0));
  std::vector<unsigned char> dem(28 + 4 * sizeof(dem_node), 0);
  const float cell_deg = 0.0004f;  // about 44 m north, 31 m east
  const int32_t two = 2;
  const float header[5] = {float(ref_lat_deg), float(ref_lon_deg) - cell_deg,
                           float(ref_lat_deg) + cell_deg, float(ref_lon_deg), cell_deg};
  std::memcpy(dem.data(), header, sizeof(header));
  std::memcpy(dem.data() + 20, &two, 4);
  std::memcpy(dem.data() + 24, &two, 4);
  const cv::Mat image = textured_image(17);
  fresh_output(view);
  ASSERT_TRUE(gpu_->enqueue_projection_dem(image.data, 0, view.height, 0, view.width, view,
                                           dem.data(), uint32_t(dem.size()), float(ref_lat_deg),
                                           float(ref_lon_deg)));
  const cv::Mat device = read_back(view);
  cv::Mat reference = cv::Mat::zeros(view.height, view.width, CV_8UC3);
  project_window_reference(reference, 0, view.height, 0, view.width, view, image, dem.data(),
                           dem.size(), float(ref_lat_deg), float(ref_lon_deg));
  expect_matches(device, reference, 500, "one patch");
  // South-east of the reference point lies outside the grid.
  EXPECT_EQ(cv::countNonZero(device(cv::Rect(70, 60, 50, 40)).clone().reshape(1)), 0);
}

}  // namespace
}  // namespace aeroquilt
