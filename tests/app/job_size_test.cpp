#include "app/job_size.h"

#include <gtest/gtest.h>

#include "base/console.h"

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
    const std::vector<tile_window> tiles =
        c.tile_size == 0 ? std::vector<tile_window>{}
                         : plan_tiles(c.width, c.height, int64_t(c.width) * c.height, c.tile_size);
    const job_size size = measure_job(view_of(c.width, c.height), c.tile_size, true);
    int64_t pixels = tiles.empty() ? int64_t(c.width) * c.height : 0;
    for (const tile_window& tile : tiles) pixels += int64_t(tile.row_count) * tile.column_count;
    EXPECT_EQ(size.views, std::max<int64_t>(1, tiles.size())) << c.width << " x " << c.height;
    EXPECT_EQ(size.pixels, pixels) << c.width << " x " << c.height;
  }
  EXPECT_FALSE(plan_tiles(100000, 50000, int64_t(100000) * 50000, 1000000000).empty());
}

TEST(JobSize, RefusesWhatCannotEndWell) {
  job_size whole;
  whole.views = 1;
  whole.largest_width = whole.largest_height = 1000;
  whole.view_bytes = 14e6;
  const struct {
    const char* name;
    double pixel_size, finest_frame_m;
    bool allowed;
    uint64_t available;
    bool accepted;
    const char* says;
  } cases[] = {
      {"usual", 0.5, 0.5, false, 1u << 30, true, "job: 1 view of up to 1000 x 1000 pixels"},
      {"20 times finer", 0.025, 0.5, false, 1u << 30, true, "job:"},
      {"over 20 times finer", 0.024, 0.5, false, 1u << 30, false, "allow_fine_pixel_size,1"},
      {"finer, allowed", 0.001, 0.5, true, 1u << 30, true, "job:"},
      {"no frame resolution", 0.001, 0.0, false, 1u << 30, true, "job:"},
      {"beyond memory", 0.5, 0.5, false, 10000000, false, "tile it with output_tile_size_pixels"},
  };
  for (const auto& c : cases) {
    console_capture capture;
    EXPECT_EQ(job_acceptable(whole, false, c.pixel_size, c.finest_frame_m, c.allowed, c.available),
              c.accepted)
        << c.name;
    EXPECT_NE(capture.text().find(c.says), std::string::npos) << c.name << "\n" << capture.text();
  }
}

}  // namespace
}  // namespace aeroquilt
