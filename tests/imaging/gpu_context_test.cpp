// Opening, failing and releasing the OpenCL device. These tests need a real
// OpenCL device (PoCL here) and fail when none is found.

#include "imaging/gpu_context.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "app/fatal_error.h"
#include "support/scratch.h"

namespace aeroquilt {
namespace {

// A camera frame small enough for every test: 64 x 48 pixels, 3 channels.
constexpr int32_t frame_width = 64;
constexpr int32_t frame_height = 48;

// Runs with the working directory set to `folder`, restoring it afterwards.
class working_directory {
 public:
  explicit working_directory(const std::filesystem::path& folder)
      : saved_(std::filesystem::current_path()) {
    std::filesystem::current_path(folder);
  }
  ~working_directory() { std::filesystem::current_path(saved_); }

 private:
  std::filesystem::path saved_;
};

struct open_outcome {
  std::string fatal_message;  // empty when the open succeeded
  std::string out, err;
};

open_outcome open_capturing(gpu_context& gpu, int32_t width, int32_t height, int32_t channels) {
  open_outcome outcome;
  ::testing::internal::CaptureStdout();
  ::testing::internal::CaptureStderr();
  try {
    gpu.open_gpu_device(width, height, channels);
  } catch (const fatal_error& error) {
    outcome.fatal_message = error.what();
  }
  outcome.err = ::testing::internal::GetCapturedStderr();
  outcome.out = ::testing::internal::GetCapturedStdout();
  return outcome;
}

// A scratch folder holding kernels/direct_registration.cl with `source`.
void write_kernel_file(const testing::scratch_dir& scratch, const std::string& source) {
  std::filesystem::create_directories(scratch.path() / "kernels");
  testing::write_text_file((scratch.path() / kernel_source_path).string(), source);
}

TEST(GpuContextOpen, ListsPlatformsAndDevicesThenCreatesTheContext) {
  gpu_context gpu;
  const open_outcome outcome = open_capturing(gpu, frame_width, frame_height, 3);
  ASSERT_EQ(outcome.fatal_message, "") << outcome.err;
  EXPECT_TRUE(gpu.is_open());
  EXPECT_EQ(gpu.image_width(), frame_width);
  EXPECT_EQ(gpu.image_height(), frame_height);
  EXPECT_EQ(gpu.channels(), 3);
  // Names carry no terminating zero byte; every line is ended.
  const std::regex listing(
      "Found [1-9][0-9]* platform\\(s\\)\n(\t \\([0-9]+\\) : [^\n\\x00]*\n)+"
      "Found [1-9][0-9]* device\\(s\\)\n(\t \\([0-9]+\\) : [^\n\\x00]*\n)+"
      "Context created\n");
  EXPECT_TRUE(std::regex_match(outcome.out, listing)) << outcome.out;
  EXPECT_NE(outcome.out.find("\t (1) : "), std::string::npos);
  EXPECT_EQ(gpu.dem_buffer_capacity(), device_dem_buffer_bytes);
}

TEST(GpuContextOpen, FrameOverFourHundredMillionPixelsIsFatalBeforeAnyListing) {
  struct frame {
    int32_t width, height;
  };
  // 20001 x 20000 is just over the limit; 65536 x 65536 wraps to 0 in 32 bits;
  // two negative sizes give a positive product.
  for (const frame f : {frame{20001, 20000}, frame{65536, 65536}, frame{-20000, -20000}}) {
    gpu_context gpu;
    const open_outcome outcome = open_capturing(gpu, f.width, f.height, 3);
    EXPECT_EQ(outcome.fatal_message, "invalid width or height") << f.width << "x" << f.height;
    EXPECT_EQ(outcome.out, "");
    EXPECT_FALSE(gpu.is_open());
  }
}

TEST(GpuContextOpen, ChannelCountOutsideOneToFourIsFatalAfterTheListing) {
  for (const int32_t channels : {0, 5}) {
    gpu_context gpu;
    const open_outcome outcome = open_capturing(gpu, frame_width, frame_height, channels);
    EXPECT_EQ(outcome.fatal_message, "OpenCl invalid number channel") << channels;
    EXPECT_NE(outcome.out.find("Context created\n"), std::string::npos);
  }
}

TEST(GpuContextOpen, BuildErrorPrintsTheCodeAndLogThenIsFatal) {
  testing::scratch_dir scratch("gpu_bad_source");
  write_kernel_file(scratch, "__kernel void project_image(int a) { this is not C; }\n");
  working_directory in_scratch(scratch.path());
  gpu_context gpu;
  const open_outcome outcome = open_capturing(gpu, frame_width, frame_height, 3);
  EXPECT_EQ(outcome.fatal_message, "OpenCl device open failed\n");
  // CL_BUILD_PROGRAM_FAILURE, followed by the compiler's log.
  const std::string code_line = "OpenCL call failed with error -11\n";
  const std::size_t at = outcome.err.find(code_line);
  ASSERT_NE(at, std::string::npos) << outcome.err;
  EXPECT_GT(outcome.err.size(), at + code_line.size() + 1) << "no build log";
}

}  // namespace
}  // namespace aeroquilt
