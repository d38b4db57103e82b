#include "terrain/dem_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>

#include "app/console.h"
#include "support/dem_builder.h"
#include "support/scratch.h"
#include "terrain/dem_sampling.h"

namespace aeroquilt {
namespace {

using testing::dem_file_bytes;
using testing::scratch_dir;
using testing::write_dem_file;

// Distinct, non-zero height per cell so that a wrong cell or a 0 "outside" shows.
float tagged_height(int i, int j) { return 100.0f * j + i + 0.25f; }

// The small file of the format description: A = 3, B = 2, C = 10, D = 50, E = 0.5.
std::string write_example(const scratch_dir& dir) {
  const std::string path = dir.file("example.dem");
  write_dem_file(path, 3, 2, 10.0, 50.0, 0.5, tagged_height);
  return path;
}

float float_at(const std::string& bytes, std::size_t offset) {
  float value;
  std::memcpy(&value, bytes.data() + offset, 4);
  return value;
}

bool grid_is_empty(const DEM_grid& grid) {
  return !grid.mapped() && !grid.stream_open() && grid.column_count == 0 && grid.row_count == 0 &&
         grid.cell_size == 0 && grid.south_latitude == 0 && grid.west_longitude == 0 &&
         grid.north_latitude == 0 && grid.east_longitude == 0;
}

TEST(DemFileStream, PrintsRangeAndPausesOneSecond) {
  scratch_dir dir("dem_file");
  const std::string path = write_example(dir);
  DEM_grid grid;
  console_capture capture;
  ASSERT_EQ(open_dem_stream(grid, path), 1);
  EXPECT_EQ(capture.text(), "DEM loaded " + path +
                                "\nRange 10.000000 11.500000 50.000000 51.000000\n"
                                "cell_size 0.500000\n\n");
  EXPECT_EQ(capture.paused_ms(), 1000);
  EXPECT_TRUE(grid.stream_open());
  EXPECT_FALSE(grid.mapped());
}

TEST(DemFileMapping, MapsSilentlyAndDerivesBounds) {
  scratch_dir dir("dem_file");
  const std::string path = write_example(dir);
  DEM_grid grid;
  console_capture capture;
  ASSERT_EQ(map_dem_file(grid, path), 1);
  EXPECT_EQ(capture.text(), "");
  EXPECT_TRUE(grid.mapped());
  EXPECT_EQ(grid.column_count, 3);
  EXPECT_EQ(grid.row_count, 2);
  EXPECT_EQ(grid.north_latitude, 51.0);
  EXPECT_EQ(grid.east_longitude, 11.5);
}

// Both modes must find the cells at the byte offsets of the file format.
TEST(DemCellHeight, ReadsCellsAtTheirFileOffsetsInBothModes) {
  scratch_dir dir("dem_file");
  const std::string path = write_example(dir);
  const std::string bytes = testing::read_file(path);
  DEM_grid mapped, streamed;
  console_capture capture;
  ASSERT_EQ(map_dem_file(mapped, path), 1);
  ASSERT_EQ(open_dem_stream(streamed, path), 1);
  for (const DEM_grid* grid : {&mapped, &streamed}) {
    EXPECT_EQ(dem_cell_height(*grid, 51.0, 10.0), float_at(bytes, 32));
    EXPECT_EQ(dem_cell_height(*grid, 50.5, 11.0), float_at(bytes, 32 + 4 * (2 * 2 + 1)));
  }
}

TEST(DemCellHeight, EdgesAndHalvesFollowRoundingAwayFromZero) {
  scratch_dir dir("dem_file");
  const std::string path = write_example(dir);
  DEM_grid grid;
  ASSERT_EQ(map_dem_file(grid, path), 1);
  // South edge: row index B, outside the stored rows.
  EXPECT_EQ(dem_cell_height(grid, 50.0, 10.5), 0.0f);
  // North edge: row 0.
  EXPECT_EQ(dem_cell_height(grid, 51.0, 10.5), tagged_height(0, 1));
  // East edge: column A, outside.
  EXPECT_EQ(dem_cell_height(grid, 50.5, 11.5), 0.0f);
  // West edge: column 0.
  EXPECT_EQ(dem_cell_height(grid, 50.5, 10.0), tagged_height(1, 0));
  // Half a cell south of the north edge: row value 0.5 rounds to row 1.
  EXPECT_EQ(dem_cell_height(grid, 50.75, 10.0), tagged_height(1, 0));
  // Half a cell east of the west edge: column value 0.5 rounds to column 1.
  EXPECT_EQ(dem_cell_height(grid, 51.0, 10.25), tagged_height(0, 1));
  // Far outside and not-a-number: 0, without converting a huge value to an index.
  EXPECT_EQ(dem_cell_height(grid, 1e30, 10.0), 0.0f);
  EXPECT_EQ(dem_cell_height(grid, std::nan(""), 10.0), 0.0f);
}

TEST(DemCellHeight, MappedAndStreamModesAreBitIdentical) {
  scratch_dir dir("dem_file");
  const std::string path = dir.file("random.dem");
  std::mt19937 random(20240611);
  std::uniform_real_distribution<float> heights(-50.0f, 3000.0f);
  write_dem_file(path, 37, 23, -3.25, 12.5, 0.01, [&](int, int) { return heights(random); });
  DEM_grid mapped, streamed;
  console_capture capture;
  ASSERT_EQ(map_dem_file(mapped, path), 1);
  ASSERT_EQ(open_dem_stream(streamed, path), 1);
  // Points over the grid and one cell beyond each edge (bounds 12.5..12.73, -3.25..-2.88).
  std::uniform_real_distribution<double> latitude(12.49, 12.74), longitude(-3.26, -2.87);
  for (int k = 0; k < 5000; ++k) {
    const double lat = latitude(random), lon = longitude(random);
    const float a = dem_cell_height(mapped, lat, lon), b = dem_cell_height(streamed, lat, lon);
    ASSERT_EQ(std::memcmp(&a, &b, 4), 0) << lat << " " << lon;
  }
}

// A file over 2 GiB (sparse): the stream must seek with a 64-bit offset.
TEST(DemCellHeight, StreamReadsCellsBeyondTwoGibibytes) {
  scratch_dir dir("dem_file");
  const std::string path = dir.file("large.dem");
  // 32768 columns x 16384 rows of 4 bytes: 2 GiB of heights; E = 1/1024 degree is exact.
  const int32_t columns = 32768, rows = 16384;
  const double cell = 1.0 / 1024.0;
  const std::string header = dem_file_bytes(columns, rows, 0.0, 0.0, cell, nullptr);
  const int fd = ::open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  const off_t last_cell = 32 + 4 * (off_t(rows) * (columns - 1) + (rows - 1));  // 2147483676
  const float marker = 1234.5f;
  ASSERT_EQ(::pwrite(fd, header.data(), header.size(), 0), ssize_t(header.size()));
  ASSERT_EQ(::pwrite(fd, &marker, 4, last_cell), 4);
  ::close(fd);

  DEM_grid grid;
  console_capture capture;
  ASSERT_EQ(open_dem_stream(grid, path), 1);
  // The south-east cell: row B - 1 at latitude D + E, column A - 1.
  EXPECT_EQ(dem_cell_height(grid, cell, (columns - 1) * cell), marker);
}

// Each corrupt file is refused once, by name, and leaves the grid all zero.
TEST(DemLoad, RefusesCorruptFilesWithOneMessage) {
  scratch_dir dir("dem_file");
  const auto flat = [](int, int) { return 7.0f; };
  const std::string good = dem_file_bytes(4, 3, 1.0, 2.0, 0.5, flat);
  const double inf = std::numeric_limits<double>::infinity();
  struct corrupt_case {
    std::string name;
    std::string bytes;
  };
  const corrupt_case cases[] = {
      {"empty", ""},
      {"short_header", good.substr(0, 20)},
      {"header_only", good.substr(0, 32)},
      {"one_byte_short", good.substr(0, good.size() - 1)},
      {"zero_columns", dem_file_bytes(0, 3, 1.0, 2.0, 0.5, flat)},
      {"negative_rows", dem_file_bytes(4, -3, 1.0, 2.0, 0.5, flat) + good.substr(32)},
      {"zero_cell", dem_file_bytes(4, 3, 1.0, 2.0, 0.0, flat)},
      {"negative_cell", dem_file_bytes(4, 3, 1.0, 2.0, -0.5, flat)},
      {"nan_cell", dem_file_bytes(4, 3, 1.0, 2.0, std::nan(""), flat)},
      {"infinite_cell", dem_file_bytes(4, 3, 1.0, 2.0, inf, flat)},
      // 4*A*B = 2^34 bytes: wraps to 0 in 32-bit arithmetic.
      {"product_wraps", dem_file_bytes(65536, 65536, 1.0, 2.0, 0.5, nullptr)},
  };
  for (const corrupt_case& item : cases) {
    SCOPED_TRACE(item.name);
    const std::string path = dir.file(item.name + ".dem");
    testing::write_binary_file(path, item.bytes.data(), item.bytes.size());
    view_dem dem;
    console_capture capture;
    load_dem(dem, path);
    const std::string text = capture.text();
    EXPECT_EQ(text.find("DEM file " + path + " refused: "), 0u) << text;
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << text;
    ASSERT_TRUE(dem.grid);
    EXPECT_TRUE(grid_is_empty(*dem.grid));
    EXPECT_EQ(dem.cell_size, 0.0f);
    EXPECT_EQ(dem_cell_height(*dem.grid, 2.5, 1.5), 0.0f);
  }
}

TEST(DemLoad, StreamRefusesATruncatedFileToo) {
  scratch_dir dir("dem_file");
  const std::string good = dem_file_bytes(4, 3, 1.0, 2.0, 0.5, tagged_height);
  const std::string path = dir.file("short.dem");
  testing::write_binary_file(path, good.data(), good.size() - 4);
  DEM_grid grid;
  console_capture capture;
  EXPECT_EQ(open_dem_stream(grid, path), 0);
  EXPECT_EQ(capture.text().find("DEM file " + path + " refused: "), 0u);
  EXPECT_TRUE(grid_is_empty(grid));
}

TEST(DemLoad, MissingFileFallsBackToStreamAndStaysEmpty) {
  scratch_dir dir("dem_file");
  const std::string path = dir.file("absent.dem");
  view_dem dem;
  console_capture capture;
  load_dem(dem, path);
  EXPECT_EQ(capture.text(), "unable to open DEM file " + path + "\n");
  EXPECT_TRUE(grid_is_empty(*dem.grid));
}

TEST(DemLoad, SetsCellSizeAndHermiteBasis) {
  scratch_dir dir("dem_file");
  view_dem dem;
  load_dem(dem, write_example(dir));
  EXPECT_TRUE(dem.grid->mapped());
  EXPECT_EQ(dem.cell_size, 0.5f);
  const arma::mat expected = {{1, 0, 0, 0}, {0, 0, 1, 0}, {-3, 3, -2, -1}, {2, -2, 1, 1}};
  EXPECT_TRUE(arma::approx_equal(dem.hermite_basis, expected, "absdiff", 0.0));
}

TEST(DemLoad, LoadingAgainReplacesThePreviousFile) {
  scratch_dir dir("dem_file");
  const std::string first = write_example(dir);
  const std::string second = dir.file("second.dem");
  write_dem_file(second, 5, 4, -1.0, -2.0, 0.25, [](int, int) { return 42.0f; });

  DEM_grid grid;
  console_capture capture;
  ASSERT_EQ(map_dem_file(grid, first), 1);
  ASSERT_EQ(map_dem_file(grid, second), 1);
  EXPECT_EQ(grid.column_count, 5);
  EXPECT_EQ(dem_cell_height(grid, -1.5, -0.5), 42.0f);
  ASSERT_EQ(open_dem_stream(grid, first), 1);
  ASSERT_EQ(open_dem_stream(grid, first), 1);
  release_dem(grid);
  EXPECT_TRUE(grid_is_empty(grid));

  view_dem dem;
  load_dem(dem, first);
  load_dem(dem, second);
  EXPECT_EQ(dem.cell_size, 0.25f);
  EXPECT_EQ(dem_cell_height(*dem.grid, -1.5, -0.5), 42.0f);
}

}  // namespace
}  // namespace aeroquilt
