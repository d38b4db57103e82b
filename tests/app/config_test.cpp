#include "app/config.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include "app/console.h"
#include "support/scratch.h"

namespace aeroquilt {
namespace {

using testing::scratch_dir;
using testing::write_text_file;

// Writes `text` as a configuration file and loads it; returns load_config's result.
int load_text(const std::string& text, config_params& config, std::string* console = nullptr) {
  scratch_dir dir("config");
  const std::string path = dir.file("run.cfg");
  write_text_file(path, text);
  console_capture capture;
  const int result = load_config(path, config);
  if (console) *console = capture.text();
  return result;
}

// ---- parse_number / parse_exponent ------------------------------------------

TEST(ParseNumber, ReproducesTheWorkedValues) {
  console_capture quiet;
  EXPECT_DOUBLE_EQ(parse_number("1.5"), 1.5);
  EXPECT_DOUBLE_EQ(parse_number("-0.25"), -0.25);
  EXPECT_DOUBLE_EQ(parse_number("-.5"), -0.5);
  EXPECT_DOUBLE_EQ(parse_number("1.5e3"), 1500.0);
  EXPECT_DOUBLE_EQ(parse_number("2e-3"), 0.002);
  EXPECT_DOUBLE_EQ(parse_number("12.5 # note"), 12.5);
  EXPECT_DOUBLE_EQ(parse_number("12,5"), 12.0);
  EXPECT_DOUBLE_EQ(parse_number("+7"), 7.0);
  EXPECT_DOUBLE_EQ(parse_number(".5"), 5.0);    // the point before the first digit is unseen
  EXPECT_DOUBLE_EQ(parse_number("2E3"), 2.03);  // capital E takes a place, not an exponent
  EXPECT_EQ(quiet.text(), "");
}

TEST(ParseNumber, StopsAtLineEndsAndSkipsLeadingText) {
  EXPECT_DOUBLE_EQ(parse_number(" 640\n"), 640.0);
  EXPECT_DOUBLE_EQ(parse_number("0.05\r\n"), 0.05);
  EXPECT_DOUBLE_EQ(parse_number("4e6"), 4000000.0);
  EXPECT_DOUBLE_EQ(parse_number("4000000"), 4000000.0);
  EXPECT_DOUBLE_EQ(parse_number("abc 42"), 42.0);
}

TEST(ParseNumber, ReadsOnlyTheFirst25Characters) {
  EXPECT_DOUBLE_EQ(parse_number((std::string(24, ' ') + "7").c_str()), 7.0);  // position 24
  EXPECT_DOUBLE_EQ(parse_number((std::string(23, ' ') + "12.5").c_str()), 12.0);
  // 30 digits: only the first 25 count, each keeping its place value.
  const double read = parse_number("123456789012345678901234567890");
  EXPECT_NEAR(read / 1.234567890123456789012345e24, 1.0, 1e-14);
}

TEST(ParseNumber, ReportsAWindowWithoutDigitsAndGivesZero) {
  console_capture capture;
  EXPECT_EQ(parse_number("abc"), 0.0);
  EXPECT_EQ(parse_number((std::string(25, ' ') + "7").c_str()), 0.0);
  EXPECT_EQ(parse_number(""), 0.0);
  EXPECT_EQ(capture.text(),
            "Could not find number.\nCould not find number.\nCould not find number.\n");
}

TEST(ParseNumber, ExponentWithoutDigitsIsReportedAndCountsAsZero) {
  console_capture capture;
  EXPECT_DOUBLE_EQ(parse_number("3e"), 3.0);
  EXPECT_EQ(capture.text(), "Could not find number.\n");
}

TEST(ParseExponent, ReadsSignedIntegersFromATenCharacterWindow) {
  console_capture capture;
  EXPECT_EQ(parse_exponent("12"), 12);
  EXPECT_EQ(parse_exponent("-3"), -3);
  EXPECT_EQ(parse_exponent("+4"), 4);
  EXPECT_EQ(parse_exponent("7x9"), 7);
  EXPECT_EQ(parse_exponent((std::string(9, ' ') + "5").c_str()), 5);  // position 9
  EXPECT_EQ(capture.text(), "");
  EXPECT_EQ(parse_exponent((std::string(10, ' ') + "5").c_str()), 0);
  EXPECT_EQ(capture.text(), "Could not find number.\n");
}

TEST(ParseExponent, SaturatesTenDigitsInsteadOfOverflowing) {
  EXPECT_EQ(parse_exponent("9999999999"), std::numeric_limits<int32_t>::max());
  EXPECT_EQ(parse_exponent("-9999999999"), -999999999);  // the sign takes a window place
}

// ---- parse_text_field -----------------------------------------------------------

TEST(ParseTextField, TakesTheFieldUntrimmed) {
  std::string value;
  parse_text_field("image_dir, /data/images/\n", 2, value);
  EXPECT_EQ(value, " /data/images/");
  parse_text_field("FPO_file,C:/log.txt\r\n", 2, value);
  EXPECT_EQ(value, "C:/log.txt\r");
  parse_text_field("IMG_0001.jpg,45.1,9.2\n", 1, value);
  EXPECT_EQ(value, "IMG_0001.jpg");
  parse_text_field("key,value", 2, value);  // no newline: up to the end
  EXPECT_EQ(value, "value");
}

TEST(ParseTextField, RestartsAtTheLineStartWhenCommasRunOut) {
  std::string value;
  parse_text_field("a,b\n", 3, value);
  EXPECT_EQ(value, "a");
  parse_text_field("no commas here\n", 2, value);
  EXPECT_EQ(value, "no commas here");
}

// ---- load_config ------------------------------------------------------------

TEST(LoadConfig, MissingFileReportsAndLeavesADefaultRecord) {
  config_params config;
  config.image_width_pixels = 99;
  config.DEM_filename = "stale";
  console_capture capture;
  EXPECT_EQ(load_config("/nonexistent/folder/run.cfg", config), 0);
  EXPECT_EQ(capture.text(), "Config file not found\n");
  EXPECT_EQ(config.image_width_pixels, 0);
  EXPECT_EQ(config.DEM_filename, "");
}

TEST(LoadConfig, EveryKeyFillsItsOwnField) {
  const std::string text =
      "image_width_pixels,640\n"
      "image_height_pixels,512\n"
      "image_kx,1100.5\n"
      "camera_sensor_width,10.88\n"
      "camera_f,13\n"
      "RPH_scale[0],1.1\nRPH_scale[1],1.2\nRPH_scale[2],1.3\n"
      "RPH_offset[0],0.1\nRPH_offset[1],-0.2\nRPH_offset[2],0.3\n"
      "Lever_Arm[0],4\nLever_Arm[1],5\nLever_Arm[2],6\n"
      "topo_height,120.5\n"
      "meridian_longitude,-117\n"
      "image_channels,3\n"
      "DEM_filename,dem/area.dem\n"
      "image_dir,img/\n"
      "image_dir_raw,raw/\n"
      "FPO_file,log/fpo.txt\n"
      "output_DEM_filename,dem_view.png\n"
      "generate_DEM_image,1\n"
      "output_dir,out/\n"
      "output_filename,mosaic.jpg\n"
      "output_pixel_size,0.25\n"
      "output_tile_size_pixels,4000\n"
      "do_average_image_error_removal,1\n"
      "image_data_multiplier,1.75\n"
      "image_error_multiplier,0.5\n"
      "desired_image_intensity,128\n"
      "USE_DEM,1\n"
      "project_subview_only,1\n"
      "subview_min_lon,-117.1\n"
      "subview_max_lon,-116.9\n"
      "subview_min_lat,33.1\n"
      "subview_max_lat,33.3\n"
      "projection_angle_limit,25\n"
      "convert_to_jet_colormap,1\n"
      "vingette_removal_multiplier,0.8\n"
      "use_16bit_image_input,1\n"
      "tau_set_min_temp,-10\n"
      "tau_set_max_temp,45\n";
  config_params c;
  std::string console;
  ASSERT_EQ(load_text(text, c, &console), 1);
  EXPECT_EQ(console, "");
  EXPECT_EQ(c.image_width_pixels, 640);
  EXPECT_EQ(c.image_height_pixels, 512);
  EXPECT_DOUBLE_EQ(c.image_kx, 1100.5);
  EXPECT_DOUBLE_EQ(c.camera_sensor_width, 10.88);
  EXPECT_DOUBLE_EQ(c.camera_f, 13.0);
  EXPECT_DOUBLE_EQ(c.RPH_scale[0], 1.1);
  EXPECT_DOUBLE_EQ(c.RPH_scale[1], 1.2);
  EXPECT_DOUBLE_EQ(c.RPH_scale[2], 1.3);
  EXPECT_DOUBLE_EQ(c.RPH_offset[0], 0.1);
  EXPECT_DOUBLE_EQ(c.RPH_offset[1], -0.2);
  EXPECT_DOUBLE_EQ(c.RPH_offset[2], 0.3);
  EXPECT_DOUBLE_EQ(c.Lever_Arm[0], 4.0);
  EXPECT_DOUBLE_EQ(c.Lever_Arm[1], 5.0);
  EXPECT_DOUBLE_EQ(c.Lever_Arm[2], 6.0);
  EXPECT_DOUBLE_EQ(c.topo_height, 120.5);
  EXPECT_DOUBLE_EQ(c.meridian_longitude, -117.0);
  EXPECT_EQ(c.image_channels, 3);
  EXPECT_EQ(c.DEM_filename, "dem/area.dem");
  EXPECT_EQ(c.image_dir, "img/");
  EXPECT_EQ(c.image_dir_raw, "raw/");
  EXPECT_EQ(c.FPO_file, "log/fpo.txt");
  EXPECT_EQ(c.output_DEM_filename, "dem_view.png");
  EXPECT_EQ(c.generate_DEM_image, 1);
  EXPECT_EQ(c.output_dir, "out/");
  EXPECT_EQ(c.output_filename, "mosaic.jpg");
  EXPECT_DOUBLE_EQ(c.output_pixel_size, 0.25);
  EXPECT_EQ(c.output_tile_size_pixels, 4000);
  EXPECT_EQ(c.do_average_image_error_removal, 1);
  EXPECT_DOUBLE_EQ(c.image_data_multiplier, 1.75);
  EXPECT_DOUBLE_EQ(c.image_error_multiplier, 0.5);
  EXPECT_DOUBLE_EQ(c.desired_image_intensity, 128.0);
  EXPECT_EQ(c.USE_DEM, 1);
  EXPECT_EQ(c.project_subview_only, 1);
  EXPECT_DOUBLE_EQ(c.subview_min_lon, -117.1);
  EXPECT_DOUBLE_EQ(c.subview_max_lon, -116.9);
  EXPECT_DOUBLE_EQ(c.subview_min_lat, 33.1);
  EXPECT_DOUBLE_EQ(c.subview_max_lat, 33.3);
  EXPECT_DOUBLE_EQ(c.projection_angle_limit, 25.0);
  EXPECT_EQ(c.convert_to_jet_colormap, 1);
  EXPECT_DOUBLE_EQ(c.vingette_removal_multiplier, 0.8);
  EXPECT_EQ(c.use_16bit_image_input, 1);
  EXPECT_DOUBLE_EQ(c.tau_set_min_temp, -10.0);
  EXPECT_DOUBLE_EQ(c.tau_set_max_temp, 45.0);
}

TEST(LoadConfig, EmptyOrCommentOnlyFileGivesZerosAndAnUnderivableFocalLength) {
  config_params config;
  EXPECT_EQ(load_text("", config), 1);
  EXPECT_TRUE(std::isnan(config.image_kx));  // 0 * 0 / 0
  EXPECT_EQ(load_text("# image_width_pixels,640\n/ camera_f,13\n", config), 1);
  EXPECT_EQ(config.image_width_pixels, 0);
  EXPECT_EQ(config.camera_f, 0.0);
}

TEST(LoadConfig, DerivesFocalLengthInPixelsOnlyWhenZero) {
  config_params config;
  load_text("image_width_pixels,640\ncamera_f,13\ncamera_sensor_width,10.88\n", config);
  EXPECT_DOUBLE_EQ(config.image_kx, 640 * 13 / 10.88);
  load_text("image_width_pixels,640\ncamera_f,13\ncamera_sensor_width,10.88\nimage_kx,0\n", config);
  EXPECT_DOUBLE_EQ(config.image_kx, 640 * 13 / 10.88);
  load_text("image_width_pixels,640\ncamera_f,13\ncamera_sensor_width,10.88\nimage_kx,900\n",
            config);
  EXPECT_DOUBLE_EQ(config.image_kx, 900.0);
}

TEST(LoadConfig, ImageDirAndImageDirRawStayApart) {
  config_params config;
  load_text("image_dir,/a/\n", config);
  EXPECT_EQ(config.image_dir, "/a/");
  EXPECT_EQ(config.image_dir_raw, "");
  load_text("image_dir_raw,/raw/\n", config);
  EXPECT_EQ(config.image_dir, "");
  EXPECT_EQ(config.image_dir_raw, "/raw/");
}

TEST(LoadConfig, OutputDemFilenameLeavesTheElevationModelPathAlone) {
  config_params config;
  load_text("DEM_filename,terrain.dem\noutput_DEM_filename,terrain_view.png\n", config);
  EXPECT_EQ(config.DEM_filename, "terrain.dem");
  EXPECT_EQ(config.output_DEM_filename, "terrain_view.png");
  load_text("output_DEM_filename,terrain_view.png\n", config);
  EXPECT_EQ(config.DEM_filename, "");
  EXPECT_EQ(config.output_DEM_filename, "terrain_view.png");
}

TEST(LoadConfig, KeysAreFoundAnywhereInTheLine) {
  config_params config;
  load_text("  topo_height,12 see meridian_longitude\nset DEM_filename,x.dem\n", config);
  EXPECT_DOUBLE_EQ(config.topo_height, 12.0);
  EXPECT_DOUBLE_EQ(config.meridian_longitude, 12.0);  // same line, same first comma
  EXPECT_EQ(config.DEM_filename, "x.dem");
}

TEST(LoadConfig, BlankAfterTheCommaStaysInTextValues) {
  config_params config;
  load_text("output_dir, out/\n", config);
  EXPECT_EQ(config.output_dir, " out/");
}

TEST(LoadConfig, TextValuesAreNeverCut) {
  const std::string folder = "/" + std::string(400, 'f') + "/";
  config_params config;
  load_text("output_dir," + folder + "\n", config);
  EXPECT_EQ(config.output_dir, folder);
}

TEST(LoadConfig, IntegersTruncateTowardZero) {
  config_params config;
  load_text("image_channels,2.9\nimage_width_pixels,-2.9\n", config);
  EXPECT_EQ(config.image_channels, 2);
  EXPECT_EQ(config.image_width_pixels, -2);
  load_text("output_tile_size_pixels,4e6\n", config);
  EXPECT_EQ(config.output_tile_size_pixels, 4000000);
  load_text("output_tile_size_pixels,4000000\n", config);
  EXPECT_EQ(config.output_tile_size_pixels, 4000000);
}

TEST(LoadConfig, OutOfRangeIntegersSaturate) {
  config_params config;
  load_text("output_tile_size_pixels,1e20\nimage_height_pixels,-1e20\nimage_channels,0e999\n",
            config);
  EXPECT_EQ(config.output_tile_size_pixels, std::numeric_limits<int32_t>::max());
  EXPECT_EQ(config.image_height_pixels, std::numeric_limits<int32_t>::min());
  EXPECT_EQ(config.image_channels, 0);  // 0 * 10^999 is not a number
}

TEST(LoadConfig, KeyWithoutCommaReadsFromTheLineStart) {
  config_params config;
  load_text("USE_DEM 1\nuse_16bit_image_input 1\n", config);
  EXPECT_EQ(config.USE_DEM, 1);
  EXPECT_EQ(config.use_16bit_image_input, 0);  // its key text includes the comma
}

TEST(LoadConfig, OnlyTheFirstCharacterMarksAComment) {
  config_params config;
  load_text("#USE_DEM,1\n", config);
  EXPECT_EQ(config.USE_DEM, 0);
  load_text("/USE_DEM,1\n", config);
  EXPECT_EQ(config.USE_DEM, 0);
  load_text(" #USE_DEM,1\n", config);
  EXPECT_EQ(config.USE_DEM, 1);
}

TEST(LoadConfig, LaterLineWins) {
  config_params config;
  load_text("topo_height,10\ntopo_height,20\nFPO_file,a\nFPO_file,b\n", config);
  EXPECT_DOUBLE_EQ(config.topo_height, 20.0);
  EXPECT_EQ(config.FPO_file, "b");
}

TEST(LoadConfig, MissingNumberIsReportedAndReadingGoesOn) {
  config_params config;
  std::string console;
  load_text("topo_height,none\nimage_channels,3\n", config, &console);
  EXPECT_EQ(console, "Could not find number.\n");
  EXPECT_EQ(config.topo_height, 0.0);
  EXPECT_EQ(config.image_channels, 3);
}

TEST(LoadConfig, ValueIsReadFromItsFirst25Characters) {
  config_params config;
  load_text("output_pixel_size," + std::string(23, ' ') + "12.5\n", config);
  EXPECT_DOUBLE_EQ(config.output_pixel_size, 12.0);
}

TEST(LoadConfig, LinesLongerThan999CharactersArriveInPieces) {
  config_params config;
  // A key cut by the 999-character boundary is lost.
  load_text(std::string(995, 'a') + "USE_DEM,7\n", config);
  EXPECT_EQ(config.USE_DEM, 0);
  // A key just inside the first piece is read.
  load_text(std::string(990, 'a') + "USE_DEM,7\n", config);
  EXPECT_EQ(config.USE_DEM, 7);
  // The second piece of a commented line is a line of its own.
  load_text("#" + std::string(998, 'c') + "USE_DEM,3\n", config);
  EXPECT_EQ(config.USE_DEM, 3);
}

}  // namespace
}  // namespace aeroquilt
