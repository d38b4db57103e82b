// Runs the built program and checks its messages and exit statuses.
#include <gtest/gtest.h>

#include "support/scratch.h"

namespace aeroquilt {
namespace {

using testing::aeroquilt_binary;
using testing::run_command;
using testing::scratch_dir;
using testing::write_text_file;

TEST(RunMain, NoArgumentAsksForTheConfigurationAndStops) {
  std::string output;
  EXPECT_EQ(run_command(aeroquilt_binary(), output), 0);
  EXPECT_EQ(output, "need configuration file argument\n");
}

TEST(RunMain, MissingConfigurationStopsWithExitZero) {
  std::string output;
  EXPECT_EQ(run_command(aeroquilt_binary() + " /nonexistent/survey.cfg", output), 0);
  EXPECT_EQ(output, "Config file not found\n");
}

TEST(RunMain, EmptyConfigurationIsRefusedBeforeAnyStage) {
  scratch_dir dir("run");
  write_text_file(dir.file("empty.cfg"), "# nothing here\n");
  std::string output;
  EXPECT_EQ(run_command(aeroquilt_binary() + " " + dir.file("empty.cfg"), output), 0);
  EXPECT_NE(output.find("image_kx"), std::string::npos) << output;
  EXPECT_NE(output.find("camera_f"), std::string::npos);
  EXPECT_NE(output.find("camera_sensor_width"), std::string::npos);
  EXPECT_EQ(output.find("DEM"), std::string::npos) << "no later stage may run";
}

TEST(RunMain, MissingKernelFileIsFatalWithStatusTwo) {
  scratch_dir dir("run");
  write_text_file(dir.file("survey.cfg"),
                  "image_width_pixels,64\nimage_height_pixels,48\nimage_kx,100\nimage_channels,3\n"
                  "DEM_filename," + dir.file("none.dem") + "\n");
  std::string output;
  // Started from a folder without kernels/direct_registration.cl.
  EXPECT_EQ(run_command("cd " + dir.file("") + " && " + aeroquilt_binary() + " survey.cfg", output), 2);
  EXPECT_NE(output.find("cannot open .cl file"), std::string::npos) << output;
}

}  // namespace
}  // namespace aeroquilt
