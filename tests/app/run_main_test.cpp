// Runs the built program and checks its messages and exit statuses.
#include <gtest/gtest.h>

#include <filesystem>

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

TEST(RunMain, HelpAndVersionAnswerWithoutTouchingFiles) {
  scratch_dir dir("run");
  std::string output;
  EXPECT_EQ(run_command("cd " + dir.file("") + " && " + aeroquilt_binary() + " --help", output), 0);
  EXPECT_EQ(output.rfind("usage: aeroquilt CONFIGURATION_FILE\n", 0), 0u) << output;
  EXPECT_EQ(run_command("cd " + dir.file("") + " && " + aeroquilt_binary() + " --version", output),
            0);
  EXPECT_EQ(output.rfind("aeroquilt ", 0), 0u) << output;
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

TEST(RunMain, InstalledProgramFindsItsKernelFileFromAnyFolder) {
  scratch_dir dir("install");
  std::string output;
  ASSERT_EQ(run_command("cmake --install " +
                            std::filesystem::path(aeroquilt_binary()).parent_path().string() +
                            " --prefix " + dir.file("prefix"),
                        output),
            0)
      << output;
  // From a folder without kernels/: the kernel file is found beside the program, so
  // the run gets past the program build to the channel check that follows it.
  write_text_file(
      dir.file("survey.cfg"),
      "image_width_pixels,64\nimage_height_pixels,48\nimage_kx,100\nimage_channels,5\n");
  EXPECT_EQ(
      run_command("cd " + dir.file("") + " && " + dir.file("prefix/bin/aeroquilt") + " survey.cfg",
                  output),
      2);
  EXPECT_EQ(output.find("cannot open .cl file"), std::string::npos) << output;
  EXPECT_NE(output.find("OpenCl invalid number channel"), std::string::npos) << output;
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
                  "DEM_filename," +
                      dir.file("none.dem") + "\n");
  std::string output;
  // Started from a folder without kernels/direct_registration.cl.
  EXPECT_EQ(run_command("cd " + dir.file("") + " && " + aeroquilt_binary() + " survey.cfg", output),
            2);
  EXPECT_NE(output.find("cannot open .cl file"), std::string::npos) << output;
}

}  // namespace
}  // namespace aeroquilt
