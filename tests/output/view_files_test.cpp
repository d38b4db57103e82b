#include "output/view_files.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <filesystem>
#include <opencv2/imgcodecs.hpp>
#include <random>

#include "support/scratch.h"

namespace aeroquilt {
namespace {

using testing::names_in;
using testing::read_file;
using testing::scratch_dir;

view_params known_view() {
  view_params view = empty_view_params();
  view.lat_min = 45.25f;
  view.lat_max = 45.5f;
  view.lon_min = 9.125f;
  view.lon_max = 9.375f;
  view.lat_per_pixel = 0.25f / 1000.0f;
  view.lon_per_pixel = 0.25f / 2000.0f;
  view.width = 2000;
  view.height = 1000;
  return view;
}

TEST(WorldFile, SixValuesThenAnEmptyLine) {
  const view_params view = known_view();
  // %1.10g of the single-precision fields widened to double.
  char expected[512];
  std::snprintf(expected, sizeof(expected), "%1.10g\n0\n0\n%1.10g\n9.125\n45.5\n\n",
                static_cast<double>(view.lon_per_pixel), -static_cast<double>(view.lat_per_pixel));
  EXPECT_EQ(world_file_text(view), expected);
}

// A view's maps belong to its file set: written with the image, or, when one cannot be
// written, nothing of the set replaces the earlier image.
TEST(ViewFileSet, MapsStandOrFallWithTheImage) {
  view_params view = known_view();
  view.width = 64;
  view.height = 32;
  const std::vector<uint32_t> source(64 * 32, 1);
  std::vector<float> angle_deg(source.size());
  std::mt19937 random(7);
  for (float& angle : angle_deg) angle = std::uniform_real_distribution<float>(0.0f, 40.0f)(random);
  const raster_georeference georeference{1e-5, -1e-5, 9.125, 45.5};
  const struct {
    bool source_map, angle_map;
    rlim_t file_size_limit;
    std::vector<std::string> names;  // in the folder after the write
  } cases[] = {
      {true,
       false,
       RLIM_INFINITY,
       {"view.kml", "view.pgw", "view.png", "view.prj", "view.tfw", "view_source.tif"}},
      {false,
       true,
       RLIM_INFINITY,
       {"view.kml", "view.pgw", "view.png", "view.prj", "view.tfw", "view_view_angle.tif"}},
      {true, true, 4096, {"view.png"}},  // 8 KB of noise in the angle map do not fit
  };
  for (const auto& c : cases) {
    scratch_dir dir("view_file_set");
    testing::write_text_file(dir.file("view.png"), "earlier image");
    rlimit unlimited{}, limited{};
    ::getrlimit(RLIMIT_FSIZE, &unlimited);
    limited = {c.file_size_limit, unlimited.rlim_max};
    // Past the limit a write fails with EFBIG instead of the signal ending the test.
    const auto earlier_handler = std::signal(SIGXFSZ, SIG_IGN);
    ::setrlimit(RLIMIT_FSIZE, &limited);
    const written_view written = write_view_file_set(
        dir.file("view.png"), cv::Mat(32, 64, CV_8UC3, cv::Scalar(40, 80, 120)), view, georeference,
        1, {source.data(), angle_deg.data(), c.source_map, c.angle_map});
    ::setrlimit(RLIMIT_FSIZE, &unlimited);
    std::signal(SIGXFSZ, earlier_handler);
    const bool complete = c.names.size() > 1;
    EXPECT_EQ(written.written, complete);
    EXPECT_EQ(written.kml_path, complete ? dir.file("view.kml") : "");
    EXPECT_EQ(names_in(dir.file("")), c.names);
    EXPECT_EQ(read_file(dir.file("view.png")) == "earlier image", !complete);
  }
}

}  // namespace
}  // namespace aeroquilt
