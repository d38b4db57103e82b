#include "output/view_files.h"

#include <gtest/gtest.h>

#include <cmath>
#include <opencv2/imgcodecs.hpp>
#include <random>

#include "support/scratch.h"

namespace aeroquilt {
namespace {

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

TEST(OutputExtension, TableOrderAndFirstOccurrenceDecide) {
  std::size_t position = 0;
  EXPECT_EQ(find_output_extension("out/mosaic.png", position), 4);
  EXPECT_EQ(position, 10u);
  EXPECT_EQ(find_output_extension("out/mosaic.PNG", position), 5);   // PNG path too
  EXPECT_EQ(find_output_extension("out/mosaic.tiff", position), 3);  // ".tif" inside ".tiff"
  EXPECT_EQ(find_output_extension("a.tif.png", position), 3);        // .tif is searched first
  EXPECT_EQ(position, 1u);
  EXPECT_EQ(find_output_extension("out/mosaic.jpeg", position), -1);  // ".jpeg" holds no ".jpg"
  EXPECT_EQ(find_output_extension("out/mosaic", position), -1);
}

}  // namespace
}  // namespace aeroquilt
