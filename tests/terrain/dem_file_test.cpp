#include "terrain/dem_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "base/console.h"
#include "support/dem_builder.h"
#include "support/scratch.h"
#include "terrain/dem_sampling.h"

namespace aeroquilt {
namespace {

using testing::dem_file_bytes;
using testing::scratch_dir;

// Distinct, non-zero height per cell so that a wrong cell or a 0 "outside" shows.
float tagged_height(int i, int j) { return 100.0f * j + i + 0.25f; }

// The cases of tests/data/dem_cell_cases.txt, read mapped and streamed.
TEST(DemCellHeight, FindsCellsByFormatInBothModes) {
  scratch_dir dir("dem_file");
  const std::string path = dir.file("example.dem");
  testing::write_dem_file(path, 3, 2, 10.0, 50.0, 0.5, tagged_height);
  DEM_grid mapped, streamed;
  console_capture capture;
  ASSERT_EQ(map_dem_file(mapped, path), 1);
  ASSERT_EQ(open_dem_stream(streamed, path), 1);
  EXPECT_EQ(mapped.north_latitude, 51.0);
  EXPECT_EQ(mapped.east_longitude, 11.5);
  for (const std::vector<std::string>& row : testing::case_rows("dem_cell_cases.txt")) {
    const std::vector<double> c = testing::numbers(row.at(0));
    const float height = c.at(2) < 0 ? 0.0f : tagged_height(int(c[2]), int(c.at(3)));
    for (const DEM_grid* grid : {&mapped, &streamed})
      EXPECT_EQ(dem_cell_height(*grid, c[0], c[1]), height) << row[0];
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
  EXPECT_EQ(dem_cell_height(grid, cell, (columns - 1) * cell), marker);  // south-east cell
}

// A corrupt file is refused by the mapping and the stream alike (the catalogue of bad
// inputs has the messages); a missing one is named.
TEST(DemLoad, RefusesCorruptAndMissingFiles) {
  scratch_dir dir("dem_file");
  const std::string good = dem_file_bytes(4, 3, 1.0, 2.0, 0.5, [](int, int) { return 7.0f; });
  for (const std::string& bytes : {good.substr(0, 20), good.substr(0, good.size() - 1)}) {
    testing::write_binary_file(dir.file("bad.dem"), bytes.data(), bytes.size());
    DEM_grid mapped, streamed;
    console_capture capture;
    EXPECT_EQ(map_dem_file(mapped, dir.file("bad.dem")), 0) << bytes.size();
    EXPECT_EQ(open_dem_stream(streamed, dir.file("bad.dem")), 0) << bytes.size();
    EXPECT_EQ(dem_cell_height(mapped, 2.5, 1.5), 0.0f);
  }
  view_dem dem;
  console_capture capture;
  load_dem(dem, dir.file("absent.dem"));
  EXPECT_EQ(capture.text(), "unable to open DEM file " + dir.file("absent.dem") + "\n");
}

// A DEM cut short while the run uses it: a mapping would end the process with SIGBUS
// on the next lookup; the heights read at load time keep answering.
TEST(DemCellHeight, SurvivesTheFileShrinkingUnderIt) {
  scratch_dir dir("dem_file");
  const std::string path = dir.file("shrinks.dem");
  testing::write_dem_file(path, 3, 2, 10.0, 50.0, 0.5, tagged_height);
  DEM_grid grid;
  console_capture capture;
  ASSERT_EQ(map_dem_file(grid, path), 1);
  ASSERT_EQ(::truncate(path.c_str(), 0), 0);
  EXPECT_EQ(dem_cell_height(grid, 50.5, 11.0), tagged_height(1, 2));
}

}  // namespace
}  // namespace aeroquilt
