// The configuration reader and its field parsers against the examples in
// tests/data/config_cases.txt (its header describes the format).

#include "base/config.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <map>
#include <sstream>
#include <variant>

#include "base/console.h"
#include "support/scratch.h"

namespace aeroquilt {
namespace {

using testing::unescape;
using field_value = std::variant<double, std::string>;
using field_reader = std::function<field_value(const config_params&)>;

// Each key's field, as a number or a text.
const std::map<std::string, field_reader>& fields() {
#define N(m) {#m, [](const config_params& c) { return field_value(double(c.m)); }},
#define T(m) {#m, [](const config_params& c) { return field_value(c.m); }},
  // clang-format off
  static const std::map<std::string, field_reader> table = {
      N(image_width_pixels) N(image_height_pixels) N(image_kx) N(camera_f)
      N(camera_sensor_width) N(image_channels) N(RPH_scale[0]) N(RPH_scale[1]) N(RPH_scale[2])
      N(RPH_offset[0]) N(RPH_offset[1]) N(RPH_offset[2]) N(Lever_Arm[0]) N(Lever_Arm[1])
      N(Lever_Arm[2]) N(topo_height) N(meridian_longitude) N(generate_DEM_image)
      N(output_pixel_size) N(output_tile_size_pixels) N(do_average_image_error_removal)
      N(image_data_multiplier) N(image_error_multiplier) N(desired_image_intensity)
      N(vingette_removal_multiplier) N(project_subview_only) N(subview_min_lon) N(subview_max_lon)
      N(subview_min_lat) N(subview_max_lat) N(projection_angle_limit) N(use_16bit_image_input)
      N(tau_set_min_temp) N(tau_set_max_temp) N(USE_DEM) N(convert_to_jet_colormap)
      T(DEM_filename) T(image_dir) T(image_dir_raw) T(output_dir) T(FPO_file) T(output_filename)
      T(output_DEM_filename) N(lens_principal_offset_x) N(lens_principal_offset_y) N(lens_k1)
      N(lens_k2) N(lens_p1) N(lens_p2) N(lens_k3) N(composite_mode) N(seam_feather_pixels)
      N(write_source_map) N(write_view_angle_map) N(reference_lon) N(reference_lat)
      N(reference_given) N(live_frame_wait_seconds) N(write_gis_layer) N(write_web_tiles)
      T(opencl_platform) N(colour_balance)
  };
  // clang-format on
#undef N
#undef T
  return table;
}

void expect_number(double actual, double expected, const std::string& label) {
  if (std::isnan(expected)) {
    EXPECT_TRUE(std::isnan(actual)) << label << ": " << actual;
  } else {
    EXPECT_NEAR(actual, expected, 1e-14 * std::abs(expected)) << label;
  }
}

TEST(ConfigCases, EveryExampleGivesItsValues) {
  testing::scratch_dir dir("config");
  int cases = 0;
  for (const std::vector<std::string>& c : testing::case_rows("config_cases.txt")) {
    SCOPED_TRACE(c[0] + " | " + c[1]);
    ASSERT_GE(c.size(), 3u);
    ++cases;
    const std::string input = unescape(c[1]);
    const std::string expected_console = c.size() > 3 ? unescape(c[3]) : "";
    console_capture capture;
    if (c[0] == "number") {
      expect_number(parse_number(input.c_str()), std::stod(c[2]), "number");
    } else if (c[0] == "exponent") {
      EXPECT_EQ(parse_exponent(input.c_str()), std::stol(c[2]));
    } else if (c[0].rfind("field ", 0) == 0) {
      std::string value;
      parse_text_field(input, std::stoi(c[0].substr(6)), value);
      EXPECT_EQ(value, unescape(c[2]));
    } else if (c[0] == "load") {
      testing::write_text_file(dir.file("run.cfg"), input);
      config_params config;
      config.image_width_pixels = 99;  // reset by the reader
      ASSERT_EQ(load_config(dir.file("run.cfg"), config), 1);
      std::istringstream expected(c[2]);
      for (std::string pair; expected >> pair;) {
        const std::string key = pair.substr(0, pair.find('='));
        const std::string value = unescape(pair.substr(pair.find('=') + 1));
        ASSERT_EQ(fields().count(key), 1u) << key;
        const field_value actual = fields().at(key)(config);
        if (std::holds_alternative<std::string>(actual))
          EXPECT_EQ(std::get<std::string>(actual), value) << key;
        else
          expect_number(std::get<double>(actual), std::stod(value), key);
      }
    } else {
      ADD_FAILURE() << "unknown kind " << c[0];
    }
    EXPECT_EQ(capture.text(), expected_console);
  }
  EXPECT_GT(cases, 50);
}

}  // namespace
}  // namespace aeroquilt
