// Frames decoded straight to BGR must be what the generic reader gives, and every
// frame the direct path declines must still load as the generic reader loads it.

#include "imaging/jpeg_frame.h"

#include <gtest/gtest.h>

#include <opencv2/imgcodecs.hpp>
#include <string>
#include <vector>

#include "imaging/frame_loader.h"
#include "support/scratch.h"

namespace aeroquilt {
namespace {

// An EXIF segment (little-endian TIFF, one IFD entry: Orientation = `value`) placed
// after the JFIF segment.
std::vector<uchar> with_orientation(std::vector<uchar> jpeg, uchar value) {
  const std::vector<uchar> app1 = {
      0xFF, 0xE1, 0x00, 0x22, 'E', 'x', 'i', 'f', 0, 0, 'I',   'I', 0x2A, 0, 8, 0, 0, 0,
      1,    0,    0x12, 0x01, 3,   0,   1,   0,   0, 0, value, 0,   0,    0, 0, 0, 0, 0};
  const std::size_t after_app0 = 4 + (std::size_t(jpeg[4]) << 8 | jpeg[5]);
  jpeg.insert(jpeg.begin() + after_app0, app1.begin(), app1.end());
  return jpeg;
}

TEST(JpegFrame, DirectDecodeMatchesTheGenericReaderOrDeclines) {
  cv::Mat colour(23, 37, CV_8UC3), grey(23, 37, CV_8UC1);
  cv::randu(colour, cv::Scalar::all(0), cv::Scalar::all(256));
  cv::randu(grey, cv::Scalar::all(0), cv::Scalar::all(256));
  std::vector<uchar> colour_jpeg, grey_jpeg, png;
  cv::imencode(".jpg", colour, colour_jpeg);
  cv::imencode(".jpg", grey, grey_jpeg);
  cv::imencode(".png", colour, png);
  const std::vector<uchar> truncated(colour_jpeg.begin(),
                                     colour_jpeg.begin() + colour_jpeg.size() * 2 / 3);
  const struct {
    const char* name;
    std::vector<uchar> bytes;
    bool direct;
  } cases[] = {{"colour", colour_jpeg, true},
               {"grey", grey_jpeg, true},
               {"upright tag", with_orientation(colour_jpeg, 1), true},
               {"turned tag", with_orientation(colour_jpeg, 6), false},
               {"truncated", truncated, false},
               {"png", png, false}};
  testing::scratch_dir scratch("jpeg_frame");
  frame_loader loader;
  for (const auto& c : cases) {
    const std::string path = scratch.file(std::string(c.name) + ".img");
    testing::write_binary_file(path, c.bytes.data(), c.bytes.size());
    const cv::Mat generic = cv::imread(path, cv::IMREAD_COLOR);
    ASSERT_FALSE(generic.empty()) << c.name;
    const cv::Mat direct = decode_jpeg_bgr(path);
    EXPECT_EQ(!direct.empty(), c.direct) << c.name;
    for (const cv::Mat& image : {c.direct ? direct : generic, loader.load_image(path)}) {
      ASSERT_EQ(image.size(), generic.size()) << c.name;
      ASSERT_EQ(image.type(), CV_8UC3) << c.name;
      EXPECT_EQ(cv::norm(image, generic, cv::NORM_INF), 0.0) << c.name;
    }
  }
}

}  // namespace
}  // namespace aeroquilt
