// The kernel file names the offsets at which it reads the view record and the packed
// view DEM; they must be the offsets the C++ records are laid out with, and the program
// refuses a file where they are not.

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <regex>

#include "imaging/kernel_catalogue.h"
#include "support/scratch.h"
#include "terrain/dem_sampling.h"

namespace aeroquilt::testing {
namespace {

// Every "#define NAME <integer>" of the kernel file.
std::map<std::string, long> kernel_defines() {
  const std::string source = read_file(source_dir() + "/kernels/direct_registration.cl");
  std::map<std::string, long> defines;
  const std::regex define(R"(#define\s+(\w+)\s+(\d+)\b)");
  for (auto it = std::sregex_iterator(source.begin(), source.end(), define);
       it != std::sregex_iterator(); ++it) {
    defines[(*it)[1].str()] = std::stol((*it)[2].str());
  }
  return defines;
}

// The kernel file's record offsets, flag bits and kernel parameters are those the program
// was built with; a file that differs in any of them is named with what differs.
TEST(KernelLayout, KernelFileMatchesTheProgramAndOtherFilesAreRefused) {
  const std::string source = read_file(source_dir() + "/kernels/direct_registration.cl");
  EXPECT_EQ(kernel_file_mismatch(source), "");
  const struct {
    const char *from, *to, *mismatch;
  } cases[] = {
      {"#define COMP_EDGE_SLOPE 40", "#define COMP_EDGE_SLOPE 41", "COMP_EDGE_SLOPE is 41, not 40"},
      {"#define VIEW_WIDTH ", "#define VIEW_COLUMNS ", "VIEW_WIDTH is not defined"},
      {"#define COMP_FOOTPRINT 256", "#define COMP_FOOTPRINT 512",
       "COMP_FOOTPRINT is 512, not 256"},
      {"int camera_count, int span, int cols)", "int span, int camera_count, int cols)",
       "kernel composite_feather_flat takes other parameters"},
      {"__kernel void composite_blend(", "__kernel void composite_blend_all(",
       "no kernel composite_blend"},
  };
  for (const auto& c : cases) {
    std::string changed = source;
    const std::size_t at = changed.find(c.from);
    ASSERT_NE(at, std::string::npos) << c.from;
    changed.replace(at, std::strlen(c.from), c.to);
    EXPECT_EQ(kernel_file_mismatch(changed), c.mismatch) << c.from;
  }
}

TEST(KernelLayout, PackedDemHeaderHoldsWhatTheKernelReadsWhereItReadsIt) {
  view_dem dem;
  dem.built = true;
  dem.lat_start = 45.25f;
  dem.lon_start = 9.125f;
  dem.cell_size = 0.0625f;
  dem.node_rows = 2;
  dem.node_cols = 3;
  dem.nodes.assign(6, dem_node{});
  dem.nodes[4].coef[0] = 123.5f;
  pack_dem_buffer(dem);
  const std::map<std::string, long> k = kernel_defines();
  const auto word = [&](long index, auto value) {  // the 4 bytes at `index`, as the value's type
    std::memcpy(&value, dem.dem_buffer.data() + 4 * index, 4);
    return value;
  };
  EXPECT_EQ(word(k.at("DEM_LAT_START"), 0.0f), dem.lat_start);
  EXPECT_EQ(word(k.at("DEM_LON_START"), 0.0f), dem.lon_start);
  EXPECT_EQ(word(k.at("DEM_CELL_SIZE"), 0.0f), dem.cell_size);
  EXPECT_EQ(word(k.at("DEM_NODE_ROWS"), int32_t{0}), 2);
  EXPECT_EQ(word(k.at("DEM_NODE_COLS"), int32_t{0}), 3);
  // Node (row 1, column 1) as the kernel finds it: header, then row-major nodes.
  EXPECT_EQ(word(k.at("DEM_HEADER_FLOATS") + (1 * 3 + 1) * k.at("DEM_NODE_FLOATS"), 0.0f), 123.5f);
}

}  // namespace
}  // namespace aeroquilt::testing
