#include "imaging/kernel_catalogue.h"

#include <cctype>
#include <cstddef>
#include <map>
#include <vector>

#include "imaging/composite.h"
#include "terrain/dem_sampling.h"
#include "terrain/view_params.h"

namespace aeroquilt {

const kernel_signature& signature_of(kernel_id kernel) {
  // Bayer, Copy and block_correlation are created and never launched.
  static const kernel_signature signatures[kernel_count] = {
      {"Bayer", {"raw", "bgr", "width", "height"}},
      {"project_image", {"image_width", "image_height", "view", "output", "image"}},
      {"block_correlation", {"first", "second", "sad", "width", "height", "block"}},
      {"Copy", {"source", "destination", "count"}},
      {"project_image_dem",
       {"image_width", "image_height", "view", "output", "image", "dem", "dem_bytes", "ref_lat_deg",
        "ref_lon_deg"}},
      {"project_image_claimed",
       {"image_width", "image_height", "view", "output", "image", "claimed", "line", "footprint",
        "span", "cols"}},
      {"project_image_dem_claimed",
       {"image_width", "image_height", "view", "output", "image", "dem", "dem_bytes", "ref_lat_deg",
        "ref_lon_deg", "claimed", "line"}},
      {"composite_best_view",
       {"image_width", "image_height", "view", "output", "image", "dem", "dem_bytes", "rec",
        "score", "source", "best", "plane_row"}},
      {"composite_feather",
       {"image_width", "image_height", "view", "output", "image", "dem", "dem_bytes", "rec",
        "score", "source", "best", "sum", "plane_row", "cameras", "camera_count"}},
      {"composite_blend", {"view", "output", "best", "sum", "feather", "plane_row"}},
      {"composite_best_view_flat",
       {"image_width", "image_height", "view", "rec", "score", "source", "span", "cols"}},
      {"composite_sample_won_flat",
       {"image_width", "image_height", "view", "output", "image", "rec", "source", "span", "cols"}},
      {"composite_extras_flat",
       {"image_width", "image_height", "view", "rec", "source", "best", "plane_row", "span",
        "cols"}},
      {"composite_feather_flat",
       {"image_width", "image_height", "view", "output", "image", "rec", "score", "source", "best",
        "sum", "plane_row", "cameras", "camera_count", "span", "cols"}},
      {"composite_won_bounds", {"view", "source", "bounds", "line_count"}},
      {"fill_blocks", {"buffer", "pattern"}},
  };
  return signatures[static_cast<int>(kernel)];
}

bool spans_rows(kernel_id kernel) {
  return kernel == kernel_id::project_image_claimed ||
         kernel == kernel_id::composite_best_view_flat ||
         kernel == kernel_id::composite_sample_won_flat ||
         kernel == kernel_id::composite_extras_flat || kernel == kernel_id::composite_feather_flat;
}

namespace {

bool word_character(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }

// The identifier at `at` (after any white space), moving `at` past it.
std::string next_word(const std::string& text, std::size_t& at) {
  while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at]))) ++at;
  const std::size_t start = at;
  while (at < text.size() && word_character(text[at])) ++at;
  return text.substr(start, at - start);
}

// Every "#define NAME <integer>" of the text.
std::map<std::string, long> integer_defines(const std::string& text) {
  std::map<std::string, long> defines;
  for (std::size_t at = text.find("#define"); at != std::string::npos;
       at = text.find("#define", at)) {
    at += 7;
    const std::string name = next_word(text, at);
    const std::string value = next_word(text, at);
    const bool integer =
        !value.empty() && value.find_first_not_of("0123456789") == std::string::npos;
    if (!name.empty() && integer) defines[name] = std::stol(value);
  }
  return defines;
}

// The parameter names of every "__kernel void name(...)" of the text, in order.
std::map<std::string, std::vector<std::string>> kernel_parameters(const std::string& text) {
  std::map<std::string, std::vector<std::string>> kernels;
  for (std::size_t at = text.find("__kernel"); at != std::string::npos;
       at = text.find("__kernel", at)) {
    at += 8;
    if (next_word(text, at) != "void") continue;
    const std::string name = next_word(text, at);
    const std::size_t open = text.find_first_not_of(" \t\r\n", at);
    const std::size_t close = text.find(')', at);
    if (name.empty() || open == std::string::npos || text[open] != '(' ||
        close == std::string::npos)
      continue;
    std::vector<std::string>& parameters = kernels[name];
    // The last word before each comma and before the closing parenthesis.
    std::size_t from = open + 1;
    while (from <= close) {
      std::size_t end = text.find(',', from);
      if (end == std::string::npos || end > close) end = close;
      std::size_t last = end;
      while (last > from && !word_character(text[last - 1])) --last;
      std::size_t first = last;
      while (first > from && word_character(text[first - 1])) --first;
      if (last > first) parameters.push_back(text.substr(first, last - first));
      from = end + 1;
    }
  }
  return kernels;
}

}  // namespace

std::string kernel_file_mismatch(const std::string& source) {
  // The kernels count 4-byte words; the flag bits are listed as words too.
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
      {"COMP_ORIGIN_X", offsetof(composite_record, origin_x)},
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
  const std::map<std::string, long> defines = integer_defines(source);
  for (const auto& [name, bytes] : offsets) {
    const auto found = defines.find(name);
    if (found == defines.end()) return std::string(name) + " is not defined";
    if (found->second * 4 != static_cast<long>(bytes))
      return std::string(name) + " is " + std::to_string(found->second) + ", not " +
             std::to_string(bytes / 4);
  }
  const auto kernels = kernel_parameters(source);
  for (int k = 0; k < kernel_count; ++k) {
    const kernel_signature& signature = signature_of(static_cast<kernel_id>(k));
    const auto found = kernels.find(signature.name);
    if (found == kernels.end()) return std::string("no kernel ") + signature.name;
    if (found->second !=
        std::vector<std::string>(signature.arguments.begin(), signature.arguments.end()))
      return std::string("kernel ") + signature.name + " takes other parameters";
  }
  return "";
}

}  // namespace aeroquilt
