#include "app/job_size.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "base/console.h"
#include "base/input_file.h"
#include "support/scratch.h"

namespace aeroquilt {
namespace {

view_params view_of(int width, int height) {
  view_params view = empty_view_params();
  view.width = width;
  view.height = height;
  view.pixel_size = 0.5f;
  return view;
}

// The measured job is the planned one, past 2^32 pixels too, where the record's 32-bit
// pixel count wraps (100000 x 50000 wraps to 705032704, under the tile size of 1e9).
TEST(JobSize, CountsTheTilesThatArePlanned) {
  const struct {
    int width, height, tile_size;
  } cases[] = {
      {403, 405, 40000},          {403, 405, 0},
      {403, 405, 1000000},        {100000, 50000, 1000000000},
      {100000, 50000, 100000000}, {1, 70000, 10000},
  };
  for (const auto& c : cases) {
    const tile_plan plan = plan_tiles(c.width, c.height, c.tile_size);
    const job_size size = measure_job(view_of(c.width, c.height), plan, true);
    int64_t pixels = plan.whole ? int64_t(c.width) * c.height : 0, views = plan.whole ? 1 : 0;
    // Every tile the plan numbers, each starting inside the view.
    for (int64_t number = 0; !plan.whole && number < plan.count(); ++number, ++views) {
      const tile_window tile = tile_at(plan, number);
      EXPECT_LT(tile.first_row + tile_overlap_pixels, c.height);
      EXPECT_LT(tile.first_column + tile_overlap_pixels, c.width);
      pixels += int64_t(tile.row_count) * tile.column_count;
    }
    EXPECT_EQ(size.views, views) << c.width << " x " << c.height;
    EXPECT_EQ(size.pixels, pixels) << c.width << " x " << c.height;
  }
  EXPECT_FALSE(plan_tiles(100000, 50000, 1000000000).whole);
  // A billion tiles are counted, not listed.
  const tile_plan huge = plan_tiles(2000000000, 2000000000, 4);
  EXPECT_EQ(huge.count(), int64_t(1000000000) * 1000000000);
  const tile_window last = tile_at(huge, huge.count() - 1);
  EXPECT_EQ(last.i, 999999999);
  EXPECT_EQ(last.j, 999999999);
}

TEST(JobSize, RefusesWhatCannotEndWell) {
  job_size whole;
  whole.views = 1;
  whole.largest_width = whole.largest_height = 1000;
  whole.view_bytes = 14e6;
  for (const std::vector<std::string>& c : testing::case_rows("job_acceptance_cases.txt")) {
    const std::vector<double> n = testing::numbers(c.at(1));
    console_capture capture;
    EXPECT_EQ(job_acceptable(whole, false, n.at(0), n.at(1), n.at(2) != 0, uint64_t(n.at(3))),
              n.at(4) != 0)
        << c[0];
    EXPECT_NE(capture.text().find(c.at(2)), std::string::npos) << c[0] << "\n" << capture.text();
  }
}

// A container's limit, in either control-group version, bounds the memory the job may
// plan for: the smaller headroom counts; "max" (v2) and v1's huge "no limit" leave none.
TEST(JobSize, ReadsTheControlGroupLimitOfEitherVersion) {
  const struct {
    const char *v2_max, *v2_current, *v1_limit, *v1_usage;
    uint64_t headroom;
  } cases[] = {
      {"1000\n", "400\n", nullptr, nullptr, 600},
      {"max\n", "400\n", nullptr, nullptr, 0},
      {nullptr, nullptr, "2000\n", "500\n", 1500},
      {nullptr, nullptr, "9223372036854771712\n", "500\n", 9223372036854771212u},
      {"1000\n", "400\n", "700\n", "500\n", 200},
      {nullptr, nullptr, nullptr, nullptr, 0},
  };
  for (const auto& c : cases) {
    testing::scratch_dir dir("cgroup");
    std::filesystem::create_directories(dir.file("memory"));
    const auto put = [&](const char* name, const char* text) {
      if (text != nullptr) testing::write_text_file(dir.file(name), text);
    };
    put("memory.max", c.v2_max);
    put("memory.current", c.v2_current);
    put("memory/memory.limit_in_bytes", c.v1_limit);
    put("memory/memory.usage_in_bytes", c.v1_usage);
    EXPECT_EQ(control_group_headroom_bytes(dir.file("")), c.headroom) << c.headroom;
  }
}

}  // namespace
}  // namespace aeroquilt
