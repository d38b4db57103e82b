#include "output/png_encoder.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cmath>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <random>

#include "output/view_files.h"

namespace aeroquilt {
namespace {

// Noise with runs of repeated pixels, so that every filter and match length occurs.
cv::Mat awkward_image(int rows, int columns, int channels, unsigned seed) {
  std::mt19937 random(seed);
  cv::Mat image(rows, columns, CV_8UC(channels));
  unsigned char* p = image.data;
  const std::size_t total = image.total() * channels;
  for (std::size_t k = 0; k < total; ++k)
    p[k] = (k >= static_cast<std::size_t>(channels) && random() % 4 != 0)
               ? p[k - channels]
               : static_cast<unsigned char>(random());
  return image;
}

uint32_t big_endian(const unsigned char* p) {
  return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

// Walks the chunks (every CRC checked) and inflates the IDAT data as one zlib stream,
// which checks its Adler-32; returns the inflated bytes (empty on any fault).
std::vector<unsigned char> inflated_idat(const std::vector<unsigned char>& png,
                                         std::size_t expected_size) {
  std::vector<unsigned char> stream;
  for (std::size_t at = 8; at + 12 <= png.size();) {
    const uint32_t length = big_endian(&png[at]);
    if (at + 12 + length > png.size()) return {};
    if (crc32(0, &png[at + 4], length + 4) != big_endian(&png[at + 8 + length])) return {};
    if (std::equal(&png[at + 4], &png[at + 8], "IDAT"))
      stream.insert(stream.end(), &png[at + 8], &png[at + 8 + length]);
    at += 12 + length;
  }
  std::vector<unsigned char> out(expected_size + 1);
  uLongf out_size = out.size();
  if (uncompress(out.data(), &out_size, stream.data(), stream.size()) != Z_OK) return {};
  out.resize(out_size);
  return out;
}

// rows, columns, channels: one row, one pixel, odd widths, rows of one byte, and
// images of several bands (about 1 MiB of pixels each) with rows wider than the window.
const int kSizes[][3] = {{1, 1, 3},      {1, 777, 4},  {5, 333, 3},   {3, 1, 1},
                         {700, 2000, 4}, {2, 9000, 4}, {60000, 7, 3}, {301, 1201, 1}};

TEST(PngEncoder, DecodesToTheSamePixelsThroughAValidStream) {
  unsigned seed = 1;
  for (const auto& size : kSizes) {
    const cv::Mat image = awkward_image(size[0], size[1], size[2], seed++);
    for (const int level : {3, 0, 9}) {
      SCOPED_TRACE(::testing::Message()
                   << size[0] << " x " << size[1] << " x " << size[2] << ", level " << level);
      const std::vector<unsigned char> png = encode_png(image, level, 3);
      ASSERT_FALSE(png.empty());
      const cv::Mat decoded = cv::imdecode(png, cv::IMREAD_UNCHANGED);
      ASSERT_EQ(decoded.type(), image.type());
      ASSERT_EQ(decoded.size(), image.size());
      EXPECT_EQ(cv::norm(decoded, image, cv::NORM_INF), 0.0);
      const std::size_t row_bytes = static_cast<std::size_t>(size[1]) * size[2] + 1;
      const std::vector<unsigned char> filtered = inflated_idat(png, row_bytes * size[0]);
      ASSERT_EQ(filtered.size(), row_bytes * size[0]);
      for (int row = 0; row < size[0]; ++row) EXPECT_LE(filtered[row * row_bytes], 4);
    }
  }
}

TEST(PngEncoder, BytesDoNotDependOnTheThreadCount) {
  const cv::Mat image = awkward_image(900, 1500, 4, 7);
  const std::vector<unsigned char> one = encode_png(image, 3, 1);
  EXPECT_EQ(encode_png(image, 3, 4), one);
  EXPECT_EQ(encode_png(image, 3, 0), one);
}

TEST(PngEncoder, TransparentBlackIsTheViewsTransparentCopy) {
  // Sparse noise: many all-black pixels, and pixels black in one or two channels only.
  cv::Mat bgr = awkward_image(333, 517, 3, 11);
  bgr.setTo(0, awkward_image(333, 517, 3, 12) < 128);
  const std::vector<unsigned char> png = encode_png(bgr, 3, 2, png_pixels::transparent_black);
  const cv::Mat decoded = cv::imdecode(png, cv::IMREAD_UNCHANGED);
  ASSERT_EQ(decoded.type(), CV_8UC4);
  EXPECT_EQ(cv::norm(decoded, transparent_copy(bgr), cv::NORM_INF), 0.0);
  EXPECT_EQ(png, encode_png(transparent_copy(bgr), 3, 1));
}

// Never much larger than the image library's file at the same level: neither for a
// textured scene nor for a smooth grey rendering such as a thermal mosaic, which one
// deflate engine compresses some 15 % less tightly than zlib.
TEST(PngEncoder, CompressesAsTightlyAsTheLibrary) {
  cv::Mat smooth(1500, 1400, CV_32F), texture(1500, 1400, CV_8UC3);
  for (int r = 0; r < smooth.rows; ++r)
    for (int c = 0; c < smooth.cols; ++c)
      smooth.at<float>(r, c) = 120.0f + 60.0f * std::sin(r * 0.011f) * std::cos(c * 0.007f) +
                               25.0f * std::sin((r + 2 * c) * 0.031f);
  cv::Mat noise(smooth.size(), CV_32F);
  cv::randn(noise, 0.0, 1.5);
  cv::Mat grey;
  cv::Mat(smooth + noise).convertTo(grey, CV_8U);
  cv::cvtColor(grey, grey, cv::COLOR_GRAY2BGR);
  cv::randu(texture, cv::Scalar::all(0), cv::Scalar::all(256));
  cv::GaussianBlur(texture, texture, cv::Size(7, 7), 2.0);
  for (const cv::Mat& image : {grey, texture}) {
    std::vector<unsigned char> library;
    cv::imencode(".png", transparent_copy(image), library, {cv::IMWRITE_PNG_COMPRESSION, 3});
    const std::vector<unsigned char> bands = encode_png(image, 3, 2, png_pixels::transparent_black);
    EXPECT_LE(bands.size(), library.size() * 101 / 100);
    EXPECT_EQ(
        cv::norm(cv::imdecode(bands, cv::IMREAD_UNCHANGED), transparent_copy(image), cv::NORM_INF),
        0.0);
  }
}

TEST(PngEncoder, RefusesWhatItCannotEncode) {
  EXPECT_TRUE(encode_png(cv::Mat(), 3, 1).empty());
  EXPECT_TRUE(encode_png(cv::Mat(4, 4, CV_16UC3, cv::Scalar::all(1)), 3, 1).empty());
  EXPECT_TRUE(encode_png(cv::Mat(4, 4, CV_8UC2, cv::Scalar::all(1)), 3, 1).empty());
  EXPECT_TRUE(
      encode_png(cv::Mat(4, 4, CV_8UC4, cv::Scalar::all(1)), 3, 1, png_pixels::transparent_black)
          .empty());
}

}  // namespace
}  // namespace aeroquilt
