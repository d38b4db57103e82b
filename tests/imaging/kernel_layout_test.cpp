// The kernel file names the offsets at which it reads the view record and the packed
// view DEM; they must be the offsets the C++ records are laid out with.

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <regex>

#include "imaging/composite.h"
#include "imaging/kernel_catalogue.h"
#include "support/scratch.h"
#include "terrain/dem_sampling.h"
#include "terrain/view_params.h"

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

TEST(KernelLayout, KernelOffsetsAreTheRecordsOffsets) {
  // Kernel name, byte offset in C++ (the kernel counts 4-byte words).
  const std::pair<const char*, std::size_t> offsets[] = {
      {"VIEW_EXTRINSIC", offsetof(view_params, camera_extrinsic)},
      {"VIEW_INTRINSIC", offsetof(view_params, camera_intrinsic)},
      {"VIEW_X_MIN", offsetof(view_params, x_min)},
      {"VIEW_Y_MAX", offsetof(view_params, y_max)},
      {"VIEW_PIXEL_SIZE", offsetof(view_params, pixel_size)},
      {"VIEW_WIDTH", offsetof(view_params, width)},
      {"VIEW_HEIGHT", offsetof(view_params, height)},
      {"VIEW_REF_LAT_RAD", offsetof(view_params, ref_lat_rad)},
      {"DEM_HEADER_FLOATS", dem_buffer_header_bytes},
      {"DEM_NODE_FLOATS", sizeof(dem_node)},
      {"COMP_ORIGIN_Y", offsetof(composite_record, origin_y)},
      {"COMP_ROW_OFFSET", offsetof(composite_record, row_offset)},
      {"COMP_COL_OFFSET", offsetof(composite_record, column_offset)},
      {"COMP_CAMERA", offsetof(composite_record, camera)},
      {"COMP_SOURCE", offsetof(composite_record, source)},
      {"COMP_FLAGS", offsetof(composite_record, flags)},
      {"COMP_FEATHER", offsetof(composite_record, feather_pixels)},
      {"COMP_DEM_FRAC_LAT", offsetof(composite_record, dem_fraction_lat)},
      {"COMP_DEM_FRAC_LON", offsetof(composite_record, dem_fraction_lon)},
      {"COMP_DEM_ROW", offsetof(composite_record, dem_row)},
      {"COMP_DEM_COL", offsetof(composite_record, dem_column)},
      {"COMP_REF_LAT_DEG", offsetof(composite_record, ref_lat_deg)},
      {"COMP_REF_LON_DEG", offsetof(composite_record, ref_lon_deg)},
      {"COMP_FOOTPRINT_LINES", offsetof(composite_record, footprint)},
      {"COMP_INNER_LINES", offsetof(composite_record, inner)},
      {"COMP_EDGE_SLOPE", offsetof(composite_record, edge_slope)},
      // Flag bits, counted in words so that the table reads them as bytes / 4.
      {"COMP_USE_DEM", 4 * composite_use_dem},
      {"COMP_ABSOLUTE_DEM", 4 * composite_absolute_dem},
      {"COMP_WRITE_COLOUR", 4 * composite_write_colour},
      {"COMP_LAST_WINS", 4 * composite_last_wins},
      {"COMP_EXTRAS", 4 * composite_extras},
      {"COMP_CLAIMED", 4 * composite_claimed},
      {"COMP_GEOMETRY", 4 * composite_geometry},
      {"COMP_SAMPLE_WON", 4 * composite_sample_won},
      {"COMP_FOOTPRINT", 4 * composite_footprint},
  };
  const std::map<std::string, long> defines = kernel_defines();
  for (const auto& [name, bytes] : offsets) {
    ASSERT_EQ(defines.count(name), 1u) << name;
    EXPECT_EQ(defines.at(name) * 4, static_cast<long>(bytes)) << name;
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

// The host binds every kernel's arguments by name: the catalogue's names are the kernel
// file's parameters, in their order.
TEST(KernelLayout, CatalogueNamesEveryKernelsParametersInOrder) {
  const std::string source = read_file(source_dir() + "/kernels/direct_registration.cl");
  for (int k = 0; k < kernel_count; ++k) {
    const kernel_signature& signature = signature_of(static_cast<kernel_id>(k));
    std::smatch declaration;
    ASSERT_TRUE(std::regex_search(
        source, declaration,
        std::regex(R"(__kernel\s+void\s+)" + std::string(signature.name) + R"(\s*\(([^)]*)\))")))
        << signature.name;
    std::vector<std::string> parameters;
    const std::string list = declaration[1].str();
    const std::regex last_word(R"((\w+)\s*(,|$))");
    for (auto it = std::sregex_iterator(list.begin(), list.end(), last_word);
         it != std::sregex_iterator(); ++it) {
      parameters.push_back((*it)[1].str());
    }
    EXPECT_EQ(parameters,
              std::vector<std::string>(signature.arguments.begin(), signature.arguments.end()))
        << signature.name;
  }
}

}  // namespace
}  // namespace aeroquilt::testing
