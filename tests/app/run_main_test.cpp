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
  EXPECT_EQ(output.rfind("need configuration file argument\n\nusage: aeroquilt", 0), 0u) << output;
}

TEST(RunMain, HelpAndVersionAnswerWithoutTouchingFiles) {
  scratch_dir dir("run");
  std::string output;
  for (const char* help : {" --help", " -h"}) {
    EXPECT_EQ(run_command("cd " + dir.file("") + " && " + aeroquilt_binary() + help, output), 0);
    EXPECT_EQ(output.rfind("usage: aeroquilt CONFIGURATION_FILE\n", 0), 0u) << output;
  }
  EXPECT_EQ(run_command("cd " + dir.file("") + " && " + aeroquilt_binary() + " --version", output),
            0);
  EXPECT_EQ(output.rfind("aeroquilt ", 0), 0u) << output;
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

// Passes every check the configuration alone decides, so that the run opens the GPU
// (compiling the kernel file) and then stops at the missing flight log.
const char* const gpu_config =
    "image_width_pixels,64\nimage_height_pixels,48\nimage_kx,100\nimage_channels,3\n"
    "output_pixel_size,1\noutput_filename,m.png\nFPO_file,none.txt\n";

TEST(RunMain, InstalledProgramFindsItsKernelFileFromAnyFolder) {
  scratch_dir dir("install");
  std::string output;
  ASSERT_EQ(run_command("cmake --install " +
                            std::filesystem::path(aeroquilt_binary()).parent_path().string() +
                            " --prefix " + dir.file("prefix"),
                        output),
            0)
      << output;
  write_text_file(dir.file("survey.cfg"), gpu_config);
  EXPECT_EQ(
      run_command("cd " + dir.file("") + " && " + dir.file("prefix/bin/aeroquilt") + " survey.cfg",
                  output),
      0);
  EXPECT_NE(output.find("Context created\n"), std::string::npos) << output;
  EXPECT_NE(output.find("FPO file not found"), std::string::npos) << output;
}

}  // namespace
}  // namespace aeroquilt
