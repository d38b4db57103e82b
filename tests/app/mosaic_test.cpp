#include "app/mosaic.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "support/scratch.h"

namespace aeroquilt {
namespace {

using testing::read_file;
using testing::scratch_dir;
using testing::write_text_file;

TEST(TilePlan, FiveThousandByThreeThousandMakesSixTilesColumnByColumn) {
  // 5000 x 3000 pixels, 4,000,000-pixel tiles: S = 2000, three columns, two rows.
  const auto tiles = plan_tiles(5000, 3000, 5000 * 3000, 4000000);
  ASSERT_EQ(tiles.size(), 6u);
  const int expected[6][2] = {{0, 0}, {0, 1}, {1, 0}, {1, 1}, {2, 0}, {2, 1}};
  for (int k = 0; k < 6; ++k) {
    EXPECT_EQ(tiles[k].i, expected[k][0]);
    EXPECT_EQ(tiles[k].j, expected[k][1]);
    EXPECT_EQ(tiles[k].first_row, tiles[k].j * 2000 - 50);
    EXPECT_EQ(tiles[k].first_column, tiles[k].i * 2000 - 50);
    EXPECT_EQ(tiles[k].row_count, 2050);
    EXPECT_EQ(tiles[k].column_count, 2050);
  }
  EXPECT_TRUE(plan_tiles(2000, 2000, 4000000, 4000000).empty());  // equal still fits
  EXPECT_TRUE(plan_tiles(5000, 3000, 15000000, -1).empty());      // negative: no limit
}

TEST(TileNames, IndicesGoBeforeTheFirstDot) {
  EXPECT_EQ(tile_name("out/mosaic.png", 2, 0), "out/mosaic_2_0.png");
  // A dot in a folder name is not the extension's: tiles stay in their folder.
  EXPECT_EQ(tile_name("out/v1.2/mosaic.png", 1, 3), "out/v1.2/mosaic_1_3.png");
  EXPECT_EQ(tile_name("./out/mosaic.tif.png", 0, 2), "./out/mosaic_0_2.tif.png");
}

TEST(LinkIndex, EachEntryIsWrittenOverTheClosingLines) {
  scratch_dir dir("link");
  const std::string path = dir.file("mosaic_link.kml");
  write_text_file(path, empty_link_index());
  ASSERT_TRUE(add_link_index_entry(path, "mosaic_0_0.kml"));
  ASSERT_TRUE(add_link_index_entry(path, "mosaic_0_1.kml"));
  const std::string text = read_file(path);

  // The head of the empty index, the first block without its closing lines, then
  // the second block whole: every write replaces the closing lines of the last.
  const std::string empty = empty_link_index();
  const std::string head = empty.substr(0, empty.find(std::string(20, '\t') + "</Document>"));
  const std::string first = network_link_block("mosaic_0_0.kml");
  const std::string first_open = first.substr(0, first.find(std::string(29, '\t') + "</Document>"));
  EXPECT_EQ(text, head + first_open + network_link_block("mosaic_0_1.kml"));
  EXPECT_NE(text.find(std::string(23, '\t') + "<href>mosaic_0_0.kml</href>\n"), std::string::npos);
}

// Each entry replaces the whole document by rename: the old inode is never written
// to, so a reader holding the previous index keeps a complete document.
TEST(LinkIndex, EntriesReplaceTheDocumentWithoutTouchingThePreviousFile) {
  scratch_dir dir("link_atomic");
  const std::string path = dir.file("mosaic_link.kml");
  write_text_file(path, empty_link_index());
  std::filesystem::create_hard_link(path, dir.file("reader_view.kml"));
  ASSERT_TRUE(add_link_index_entry(path, "mosaic_0_0.kml"));
  EXPECT_EQ(read_file(dir.file("reader_view.kml")), empty_link_index());
  int files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
    ++files;
    EXPECT_EQ(entry.path().filename().string().find(".partial-"), std::string::npos);
  }
  EXPECT_EQ(files, 2);
}

}  // namespace
}  // namespace aeroquilt
