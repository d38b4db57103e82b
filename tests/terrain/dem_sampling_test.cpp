#include "terrain/dem_sampling.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "app/console.h"
#include "support/dem_builder.h"
#include "support/scratch.h"

namespace aeroquilt {
namespace {

using testing::scratch_dir;

constexpr double pi = 3.141592653589793;

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

TEST(BuildViewDem, RefusesViewsLeavingTheDemAndKeepsThePreviousGrid) {
  dem_fixture fixture(20, 20, 10.0, 40.0, 0.25, [](int i, int j) { return float(i + j); });
  ASSERT_EQ(build_view_dem(fixture.dem, 41.0f, 11.0f, 42.0f, 12.0f), 1);
  const std::vector<unsigned char> before = fixture.dem.dem_buffer;
  const char* refusal = "DEM: input range out of bounds with respect to the current DEM file\n";
  const float outside[][4] = {
      {41.0f, 9.9f, 42.0f, 12.0f},   // west edge west of the DEM, the rest inside
      {39.9f, 11.0f, 42.0f, 12.0f},  // south
      {41.0f, 11.0f, 45.1f, 12.0f},  // north of 45.0
      {41.0f, 11.0f, 42.0f, 15.1f},  // east of 15.0
      {std::nanf(""), 11.0f, 42.0f, 12.0f},
  };
  for (const auto& view : outside) {
    console_capture capture;
    EXPECT_EQ(build_view_dem(fixture.dem, view[0], view[1], view[2], view[3]), 0);
    EXPECT_EQ(capture.text(), refusal);
  }
  EXPECT_TRUE(fixture.dem.built);
  EXPECT_EQ(fixture.dem.dem_buffer, before);
}

TEST(BuildViewDem, RefusesANodeGridBeyondA32BitBuffer) {
  // Header only: 1e-5 deg cells over 2 x 2 deg give 2e5 x 2e5 nodes, 3.7e12 bytes.
  view_dem dem;
  dem.grid = std::make_unique<DEM_grid>();
  dem.grid->column_count = dem.grid->row_count = 200000;
  dem.grid->cell_size = 1e-5;
  dem.grid->north_latitude = dem.grid->east_longitude = 2.0;
  dem.cell_size = 1e-5f;
  console_capture capture;
  EXPECT_EQ(build_view_dem(dem, 0.1f, 0.1f, 1.9f, 1.9f), 0);
  EXPECT_NE(capture.text().find("DEM nodes"), std::string::npos) << capture.text();
  EXPECT_FALSE(dem.built);
  EXPECT_TRUE(dem.nodes.empty());
}

TEST(DemPatches, PlanarDemIsReproducedIncludingTheNorthAndEastEdges) {
  // h = alpha * column; column j at longitude 7.0 + j * 0.01.
  const float alpha = 2.5f;  // metres per cell
  dem_fixture fixture(40, 40, 7.0, 46.0, 0.01, [&](int, int j) { return alpha * j; });
  view_dem& dem = fixture.dem;
  ASSERT_EQ(build_view_dem(dem, 46.1f, 7.1f, 46.3f, 7.3f), 1);
  for (const dem_node& node : dem.nodes) {
    EXPECT_EQ(node.d_lon, alpha);
    EXPECT_EQ(node.d_lat, 0.0f);
    EXPECT_EQ(node.d_latlon, 0.0f);
  }
  const auto plane = [&](float longitude) { return alpha * (longitude - 7.0) / 0.01; };
  // A float longitude near 7 deg is good to 5e-7 deg = 5e-5 cell = 1.3e-4 m here.
  const double tolerance = 2e-3;  // metres
  std::mt19937 random(12);
  std::uniform_real_distribution<float> lat(dem.lat_start, dem.lat_end),
      lon(dem.lon_start, dem.lon_end);
  for (int k = 0; k < 2000; ++k) {
    const float a = lat(random), b = lon(random);
    ASSERT_NEAR(view_dem_height(dem, a, b), plane(b), tolerance) << a << " " << b;
  }
  std::uniform_real_distribution<float> inner_lat(46.1f, 46.3f), inner_lon(7.1f, 7.3f);
  for (int k = 0; k < 500; ++k) {
    const float a = inner_lat(random), b = inner_lon(random);
    ASSERT_NEAR(dem_height_bicubic(dem, a, b), plane(b), tolerance) << a << " " << b;
  }
  // The north and east edges sit on the last node row and column.
  for (int k = 0; k < 100; ++k) {
    const float b = lon(random), a = lat(random);
    ASSERT_NEAR(view_dem_height(dem, dem.lat_end, b), plane(b), tolerance) << b;
    ASSERT_NEAR(view_dem_height(dem, a, dem.lon_end), plane(dem.lon_end), tolerance) << a;
  }
}

// Random terrain: the patches pass through the node heights, the edge patches
// continue the surface, and the node grid agrees with the on-the-fly patch.
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

// Terrain for the ray tests: 200 x 200 cells of 0.001 deg about (0, 0), so that
// the local frame at phi0 = lambda0 = 0 has one cell = 6378137 * pi / 180e3 m.
constexpr double ray_cell_deg = 0.001;
const double ray_cell_m = 6378137.0 * pi / 180.0 * ray_cell_deg;  // 111.32 m

TEST(IntersectRayDem, VerticalRayMeetsFlatTerrainBelowTheOrigin) {
  dem_fixture fixture(200, 200, -0.1, -0.1, ray_cell_deg, [](int, int) { return 25.0f; });
  const float down[3] = {0.0f, 0.0f, -1.0f}, origin[3] = {30.0f, -40.0f, 500.0f};
  float point[3] = {0, 0, 0};
  console_capture capture;
  ASSERT_EQ(intersect_ray_dem(fixture.dem, down, origin, 0.0f, 0.0f, point), 1);
  // The first evaluation is at the origin, the second on the ground: the written
  // point is the second one.
  EXPECT_EQ(point[0], 30.0f);
  EXPECT_EQ(point[1], -40.0f);
  EXPECT_EQ(point[2], 25.0f);
  EXPECT_EQ(capture.text(), "");
}

TEST(IntersectRayDem, RayLeavingTheDemFails) {
  dem_fixture fixture(200, 200, -0.1, -0.1, ray_cell_deg, [](int, int) { return 25.0f; });
  float point[3] = {0, 0, 0};
  console_capture capture;
  // Starts inside, 1000 m up, slanted 45 deg east: meets the ground ~1 km east, but
  // the origin sits 1 km from the east edge, so the second evaluation is outside.
  const double east_edge_m = 0.1 * ray_cell_m / ray_cell_deg;
  const float slant[3] = {1.0f, 0.0f, -1.0f};
  const float near_edge[3] = {float(east_edge_m - 500.0), 0.0f, 1000.0f};
  EXPECT_EQ(intersect_ray_dem(fixture.dem, slant, near_edge, 0.0f, 0.0f, point), 0);
  EXPECT_EQ(capture.text(), "image out of range of DEM\n");
}

TEST(IntersectRayDem, RaysThatDoNotPointDownAreRefused) {
  dem_fixture fixture(200, 200, -0.1, -0.1, ray_cell_deg, [](int, int) { return 25.0f; });
  const float origin[3] = {0.0f, 0.0f, 500.0f};
  const float level[3] = {1.0f, 0.0f, 0.0f}, up[3] = {0.0f, 0.3f, 1.0f}, none[3] = {0, 0, 0};
  for (const float* direction : {level, up, none}) {
    float point[3] = {-1, -1, -1};
    console_capture capture;
    EXPECT_EQ(intersect_ray_dem(fixture.dem, direction, origin, 0.0f, 0.0f, point), 0);
    EXPECT_NE(capture.text().find("does not point down"), std::string::npos);
    EXPECT_EQ(point[0], -1.0f);
  }
}

}  // namespace
}  // namespace aeroquilt
