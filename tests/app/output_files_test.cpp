#include "app/output_files.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <opencv2/imgcodecs.hpp>
#include <sstream>

#include "support/scratch.h"

namespace aeroquilt {
namespace {

using testing::read_file;
using testing::scratch_dir;
using testing::write_text_file;

// Names in `folder`, sorted.
std::vector<std::string> listing(const scratch_dir& dir) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

TEST(AtomicText, ReplacesTheFileAndLeavesNothingElse) {
  scratch_dir dir("text");
  const std::string path = dir.file("view.kml");
  write_text_file(path, "old contents, longer than the new ones");
  ASSERT_EQ(write_text_atomically(path, "new"), write_outcome::written);
  EXPECT_EQ(read_file(path), "new");
  EXPECT_EQ(listing(dir), std::vector<std::string>{"view.kml"});
}

TEST(AtomicImage, FailedEncodingKeepsThePreviousFileAndNoTemporary) {
  scratch_dir dir("image_fail");
  const std::string path = dir.file("view.jpg");
  write_text_file(path, "previous");
  EXPECT_EQ(write_image_atomically(path, cv::Mat(), {}, nullptr), write_outcome::not_written);
  EXPECT_EQ(read_file(path), "previous");
  EXPECT_EQ(listing(dir), std::vector<std::string>{"view.jpg"});
}

}  // namespace
}  // namespace aeroquilt
