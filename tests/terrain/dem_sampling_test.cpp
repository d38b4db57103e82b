#include "terrain/dem_sampling.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "base/console.h"
#include "support/dem_builder.h"
#include "support/scratch.h"

namespace aeroquilt {
namespace {

using testing::scratch_dir;

// A view DEM loaded from a DEM file written for the test.
struct dem_fixture {
  scratch_dir dir{"dem_sampling"};
  view_dem dem;

  dem_fixture(int32_t columns, int32_t rows, double west, double south, double cell,
              const testing::dem_height_fn& height) {
    const std::string path = dir.file("terrain.dem");
    testing::write_dem_file(path, columns, rows, west, south, cell, height);
    load_dem(dem, path);
  }
};

TEST(BuildViewDem, NodeGridExtentFollowsTheCellRaster) {
  // cs 0.25 deg, south 40: a view 40.6..41.3 snaps to 40.5..41.25 plus two cells each side.
  dem_fixture fixture(20, 20, 10.0, 40.0, 0.25, [](int, int) { return 5.0f; });
  console_capture capture;
  ASSERT_EQ(build_view_dem(fixture.dem, 40.6f, 11.1f, 41.3f, 11.9f), 1);
  const view_dem& dem = fixture.dem;
  EXPECT_FLOAT_EQ(dem.lat_start, 40.0f);
  EXPECT_FLOAT_EQ(dem.lat_end, 41.75f);
  EXPECT_EQ(dem.node_rows, 8);
  EXPECT_FLOAT_EQ(dem.lon_start, 10.5f);  // 11.0 - 0.5
  EXPECT_FLOAT_EQ(dem.lon_end, 12.25f);   // 11.75 + 0.5
  EXPECT_EQ(dem.node_cols, 8);
  EXPECT_TRUE(dem.built);
  EXPECT_EQ(capture.text(), "");
}

// Random terrain: the patches pass through the node heights, the edge patches
// continue the surface, and the node grid agrees with the on-the-fly patch.
// Near 121 degrees a float step of longitude (7.6e-6) is more than half of a 6.5e-6
// degree cell: nodes placed in single precision read a neighbouring cell, nodes placed
// exactly (the compositing rules) read their own. Each cell's height is its column.
TEST(BuildViewDem, ExactNodesReadTheirOwnCellsWhereFloatStepsAreCoarse) {
  const double cell = 6.5e-6, west = 121.0 - 300 * cell, south = 24.0 - 300 * cell;
  dem_fixture fixture(600, 600, west, south, cell, [](int, int j) { return float(j); });
  console_capture capture;
  int misread_float = 0;
  for (const bool exact : {false, true}) {
    fixture.dem.exact_nodes = exact;
    ASSERT_EQ(build_view_dem(fixture.dem, 24.0f - 1e-4f, 121.0f - 1e-4f, 24.0f, 121.0f), 1);
    const view_dem& dem = fixture.dem;
    const double first = std::round((dem.lon_start - west) / cell);
    int misread = 0;
    for (int k = 0; k < dem.node_cols; ++k) misread += dem.row_table[2][k].height != first + k;
    if (exact)
      EXPECT_EQ(misread, 0);
    else
      misread_float = misread;
  }
  EXPECT_GT(misread_float, 0) << "the float grid should show the fault this guards against";
}

TEST(DemPatches, NodeGridAndOnTheFlyPatchesDescribeOneSurface) {
  std::mt19937 random(13);
  std::uniform_real_distribution<float> heights(100.0f, 900.0f);
  dem_fixture fixture(40, 40, 7.0, 46.0, 0.01, [&](int, int) { return heights(random); });
  view_dem& dem = fixture.dem;
  ASSERT_EQ(build_view_dem(dem, 46.1f, 7.1f, 46.3f, 7.3f), 1);
  // Float degrees near 46 deg are good to 3.8e-6 deg = 4e-4 cell: at a node the
  // index may pick the neighbouring patch near its far edge, and with slopes of up
  // to ~1000 m per cell that is worth up to 0.4 m. A patch built the wrong way
  // round misses by hundreds of metres.
  const double position_tolerance = 0.5;  // metres
  for (const dem_node& node : dem.nodes) {
    ASSERT_NEAR(view_dem_height(dem, node.lat, node.lon), node.height, position_tolerance);
  }
  // Continuity across the north and east edges: a step of 1e-3 cell (a few float
  // ulps of the coordinate) moves the height by under 5 m on these slopes of at
  // most ~2400 m per cell, while the heights differ by hundreds of metres.
  const float nudge = 1e-3f * dem.cell_size;
  for (int k = 0; k < dem.node_cols - 1; ++k) {
    const float b = dem.lon_start + (k + 0.37f) * dem.cell_size;
    ASSERT_NEAR(view_dem_height(dem, dem.lat_end, b), view_dem_height(dem, dem.lat_end - nudge, b),
                5.0);
  }
  for (int r = 0; r < dem.node_rows - 1; ++r) {
    const float a = dem.lat_start + (r + 0.61f) * dem.cell_size;
    ASSERT_NEAR(view_dem_height(dem, a, dem.lon_end), view_dem_height(dem, a, dem.lon_end - nudge),
                5.0);
  }
  // Two nodes inside the grid every node has its full cross derivative, so both
  // evaluators build the same patch.
  std::uniform_real_distribution<float> lat(dem.lat_start + 2 * dem.cell_size,
                                            dem.lat_end - 2 * dem.cell_size),
      lon(dem.lon_start + 2 * dem.cell_size, dem.lon_end - 2 * dem.cell_size);
  for (int k = 0; k < 1000; ++k) {
    const float a = lat(random), b = lon(random);
    ASSERT_NEAR(view_dem_height(dem, a, b), dem_height_bicubic(dem, a, b), position_tolerance)
        << a << " " << b;
  }
}

}  // namespace
}  // namespace aeroquilt
