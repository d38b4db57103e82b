#pragma once
// A PNG encoder that filters and deflates row bands on several threads into one zlib
// stream: each band is raw deflate primed with the 32 KiB of filtered rows before it and
// ended on a byte boundary (a sync flush), the last one finished; the stream's Adler-32
// is combined from the bands'. The deflate engine is ISA-L's igzip, or zlib for images
// that igzip compresses less tightly (judged on sample bands). Decoded pixels are those
// of the image; the bytes depend on the image and level alone, not on the thread count.

#include <opencv2/core.hpp>
#include <vector>

namespace aeroquilt {

// What the PNG holds of the image's pixels.
enum class png_pixels {
  as_is,              // 1 channel grey, 3 BGR or 4 BGRA, written as grey, RGB or RGBA
  transparent_black,  // 3 BGR written as RGBA: black transparent, every other pixel opaque
};

// The PNG file of `image` (8-bit, channels as `pixels` says) at zlib's `level` (0 to 9;
// with igzip, its levels 0 and 1 for zlib's, its level 2 for zlib's 2 and above, which
// compresses photographs as tightly as zlib's 3 at a fifth of the time),
// rows filtered with the adaptive choice of the reference library (the filter whose
// bytes have the least sum of magnitudes). `threads` 0 uses every core. Empty for an
// image of another type or no pixels.
std::vector<unsigned char> encode_png(const cv::Mat& image, int level, int threads,
                                      png_pixels pixels = png_pixels::as_is);

}  // namespace aeroquilt
