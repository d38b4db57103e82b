#include "output/png_encoder.h"

#include <isa-l/crc.h>
#include <isa-l/igzip_lib.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <thread>

namespace aeroquilt {
namespace {

constexpr std::size_t kWindowBytes = 32768;    // deflate's window: the dictionary
constexpr std::size_t kBandBytes = 1u << 20;   // raw bytes per band, about
constexpr std::size_t kChunkBytes = 1u << 16;  // IDAT chunk payload
constexpr int kDeflateLevel = 2;               // ISA-L's level for zlib's 2 and above

std::size_t level_buffer_bytes(int level) {
  switch (level) {
    case 0:
      return ISAL_DEF_LVL0_DEFAULT;
    case 1:
      return ISAL_DEF_LVL1_DEFAULT;
    case 2:
      return ISAL_DEF_LVL2_DEFAULT;
    default:
      return ISAL_DEF_LVL3_DEFAULT;
  }
}

struct band_result {
  std::vector<unsigned char> deflated;
  uLong adler = 1;
  std::size_t filtered_bytes = 0;
  bool ok = false;
};

// One image row in PNG channel order (RGB, RGBA or grey); `transparent`: a BGR row as
// RGBA, black pixels transparent and every other opaque.
void png_order_row(const cv::Mat& image, int row, bool transparent, unsigned char* out) {
  const unsigned char* in = image.ptr<unsigned char>(row);
  const int channels = image.channels();
  if (transparent) {
    for (int column = 0; column < image.cols; ++column, in += 3, out += 4) {
      out[0] = in[2];
      out[1] = in[1];
      out[2] = in[0];
      out[3] = (in[0] | in[1] | in[2]) != 0 ? 255 : 0;
    }
    return;
  }
  if (channels == 1) {
    std::memcpy(out, in, image.cols);
    return;
  }
  for (int column = 0; column < image.cols; ++column, in += channels, out += channels) {
    out[0] = in[2];
    out[1] = in[1];
    out[2] = in[0];
    if (channels == 4) out[3] = in[3];
  }
}

// In 16-bit lanes (the distances reach 510), twice as many per vector as in int.
inline int paeth(int a, int b, int c) {
  const int16_t pa = static_cast<int16_t>(std::abs(static_cast<int16_t>(b - c)));
  const int16_t pb = static_cast<int16_t>(std::abs(static_cast<int16_t>(a - c)));
  const int16_t pc = static_cast<int16_t>(std::abs(static_cast<int16_t>(a + b - 2 * c)));
  return pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
}

inline unsigned magnitude(unsigned char value) { return value < 128 ? value : 256u - value; }

// One filter over a row into `out`, summing the magnitudes; gives up (returning a sum
// above `limit`) once the sum passes `limit`, as the reference library does.
template <typename Predict>
unsigned long filter_with(const unsigned char* raw, const unsigned char* prior, std::size_t length,
                          std::size_t bpp, unsigned long limit, unsigned char* out,
                          Predict predict) {
  unsigned long sum = 0;
  for (std::size_t k = 0; k < bpp && k < length; ++k) {
    out[k] = static_cast<unsigned char>(raw[k] - predict(0, prior[k], 0));
    sum += magnitude(out[k]);
  }
  // 32-bit sums within a block keep the vectorised loop narrow.
  constexpr std::size_t kBlock = 1024;
  for (std::size_t block = bpp; block < length; block += kBlock) {
    const std::size_t block_end = std::min(length, block + kBlock);
    uint32_t block_sum = 0;
    for (std::size_t k = block; k < block_end; ++k) {
      const auto value =
          static_cast<unsigned char>(raw[k] - predict(raw[k - bpp], prior[k], prior[k - bpp]));
      out[k] = value;
      block_sum += magnitude(value);
    }
    sum += block_sum;
    if (sum > limit) return sum;
  }
  return sum;
}

// Filters `raw` (the row above: `prior`, all zero for the first row) into `out`: the
// filter byte, then the row. The reference library's adaptive choice: the filter
// whose bytes, read as signed, have the least sum of magnitudes (the first on a tie).
// Compiled for AVX2 as well, picked at run time where the processor has it.
[[gnu::target_clones("avx2", "default")]] void filter_row(const unsigned char* raw,
                                                          const unsigned char* prior,
                                                          std::size_t length, int bpp,
                                                          std::vector<unsigned char>& trial,
                                                          unsigned char* out) {
  trial.resize(5 * length);
  const std::size_t step = static_cast<std::size_t>(bpp);
  unsigned long best_sum = ~0ul;
  int best = 0;
  const auto consider = [&](int type, unsigned long sum) {
    if (sum < best_sum) {
      best_sum = sum;
      best = type;
    }
  };
  unsigned char* t = trial.data();
  consider(0, filter_with(raw, prior, length, step, best_sum, t, [](int, int, int) { return 0; }));
  consider(1, filter_with(raw, prior, length, step, best_sum, t + length,
                          [](int a, int, int) { return a; }));
  consider(2, filter_with(raw, prior, length, step, best_sum, t + 2 * length,
                          [](int, int b, int) { return b; }));
  consider(3, filter_with(raw, prior, length, step, best_sum, t + 3 * length,
                          [](int a, int b, int) { return (a + b) >> 1; }));
  consider(4, filter_with(raw, prior, length, step, best_sum, t + 4 * length,
                          [](int a, int b, int c) { return paeth(a, b, c); }));
  out[0] = static_cast<unsigned char>(best);
  std::memcpy(out + 1, t + best * length, length);
}

// A worker's buffers, kept from band to band: fresh ones would be page-faulted in for
// every band.
struct band_scratch {
  std::vector<unsigned char> previous, current, trial, filtered, deflated;
  std::vector<uint8_t> level_buffer;
};

// The two deflate engines: ISA-L's igzip is about five times as fast as zlib and
// compresses photographs as tightly as zlib's level 3, but smooth renderings such as
// thermal mosaics some 15 % less tightly; zlib is kept for those.
enum class deflater { isal, zlib };

// Raw deflate of `input_bytes` at `input` into scratch.deflated, primed with the `window`
// bytes before `input`; ended by a sync flush, or for the last band the final block.
// The deflated size, or 0 on failure.
std::size_t deflate_isal(const unsigned char* input, std::size_t input_bytes, std::size_t window,
                         int level, bool last, band_scratch& scratch) {
  const int isal_level = std::min(level, kDeflateLevel);
  // Zeroed for every band, as a new buffer would be: the bytes must not depend on which
  // worker took the band before.
  std::vector<uint8_t>& level_buffer = scratch.level_buffer;
  level_buffer.assign(level_buffer_bytes(isal_level), 0);
  isal_zstream z;
  isal_deflate_init(&z);
  z.level = static_cast<uint32_t>(isal_level);
  z.level_buf = level_buffer.empty() ? nullptr : level_buffer.data();
  z.level_buf_size = static_cast<uint32_t>(level_buffer.size());
  if (window > 0 && isal_deflate_set_dict(&z, const_cast<uint8_t*>(input - window),
                                          static_cast<uint32_t>(window)) != COMP_OK)
    return 0;
  // Incompressible input grows by a few bytes per 64 KiB block; a band is about 1 MiB.
  const std::size_t bound = input_bytes + input_bytes / 64 + 4096;
  if (scratch.deflated.size() < bound) scratch.deflated.resize(bound);
  z.next_in = const_cast<uint8_t*>(input);
  z.avail_in = static_cast<uint32_t>(input_bytes);
  z.next_out = scratch.deflated.data();
  z.avail_out = static_cast<uint32_t>(bound);
  z.flush = last ? NO_FLUSH : SYNC_FLUSH;
  z.end_of_stream = last ? 1 : 0;
  const bool ok = isal_deflate(&z) == COMP_OK && z.avail_in == 0 &&
                  (last ? z.internal_state.state == ZSTATE_END : z.avail_out > 0);
  return ok ? z.total_out : 0;
}

// The same with zlib at `level`.
std::size_t deflate_zlib(const unsigned char* input, std::size_t input_bytes, std::size_t window,
                         int level, bool last, band_scratch& scratch) {
  z_stream z{};
  if (deflateInit2(&z, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) return 0;
  bool ok = window == 0 ||
            deflateSetDictionary(&z, input - window, static_cast<uInt>(window)) == Z_OK;
  // deflateBound leaves out the sync flush's empty block.
  const std::size_t bound = deflateBound(&z, input_bytes) + 64;
  if (scratch.deflated.size() < bound) scratch.deflated.resize(bound);
  z.next_in = const_cast<unsigned char*>(input);
  z.avail_in = static_cast<uInt>(input_bytes);
  z.next_out = scratch.deflated.data();
  z.avail_out = static_cast<uInt>(bound);
  const int status = ok ? deflate(&z, last ? Z_FINISH : Z_SYNC_FLUSH) : Z_STREAM_ERROR;
  ok = (last ? status == Z_STREAM_END : status == Z_OK) && z.avail_in == 0 && z.avail_out > 0;
  const std::size_t deflated = z.total_out;
  deflateEnd(&z);
  return ok ? deflated : 0;
}

// Filters rows [first, end) of `image` and deflates those from `start` on with `engine`,
// primed with the last window of the ones before it.
band_result deflate_band(const cv::Mat& image, bool transparent, int first, int start, int end,
                         int level, bool last, deflater engine, band_scratch& scratch) {
  band_result result;
  const int bpp = transparent ? 4 : image.channels();
  const std::size_t length = static_cast<std::size_t>(image.cols) * bpp;
  std::vector<unsigned char>&previous = scratch.previous, &current = scratch.current;
  previous.assign(length, 0);
  current.resize(length);
  if (first > 0) png_order_row(image, first - 1, transparent, previous.data());
  const std::size_t filtered_bytes = static_cast<std::size_t>(end - first) * (length + 1);
  if (scratch.filtered.size() < filtered_bytes) scratch.filtered.resize(filtered_bytes);
  unsigned char* filtered = scratch.filtered.data();
  for (int row = first; row < end; ++row) {
    png_order_row(image, row, transparent, current.data());
    filter_row(current.data(), previous.data(), length, bpp, scratch.trial,
               filtered + static_cast<std::size_t>(row - first) * (length + 1));
    std::swap(previous, current);
  }
  const std::size_t primed = static_cast<std::size_t>(start - first) * (length + 1);
  const unsigned char* input = filtered + primed;
  const std::size_t input_bytes = filtered_bytes - primed;
  const std::size_t window = std::min(primed, kWindowBytes);
  const std::size_t deflated =
      engine == deflater::isal ? deflate_isal(input, input_bytes, window, level, last, scratch)
                               : deflate_zlib(input, input_bytes, window, level, last, scratch);
  result.deflated.assign(scratch.deflated.data(), scratch.deflated.data() + deflated);
  result.adler = isal_adler32(1, input, input_bytes);
  result.filtered_bytes = input_bytes;
  result.ok = deflated > 0;
  return result;
}

void put_u32(std::vector<unsigned char>& out, uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8)
    out.push_back(static_cast<unsigned char>(value >> shift));
}

void put_chunk(std::vector<unsigned char>& out, const char* type, const unsigned char* data,
               std::size_t size) {
  put_u32(out, static_cast<uint32_t>(size));
  const std::size_t type_at = out.size();
  out.insert(out.end(), type, type + 4);
  if (size > 0) out.insert(out.end(), data, data + size);
  put_u32(out, crc32_gzip_refl(0, out.data() + type_at, 4 + size));
}

}  // namespace

std::vector<unsigned char> encode_png(const cv::Mat& image, int level, int threads,
                                      png_pixels pixels) {
  const bool transparent = pixels == png_pixels::transparent_black;
  if (image.depth() != CV_8U || image.empty()) return {};
  if (transparent ? image.channels() != 3
                  : (image.channels() != 1 && image.channels() != 3 && image.channels() != 4))
    return {};
  const int channels = transparent ? 4 : image.channels();
  level = std::clamp(level, 0, 9);
  const std::size_t length = static_cast<std::size_t>(image.cols) * channels;
  const int rows_per_band =
      static_cast<int>(std::max<std::size_t>(1, (kBandBytes + length - 1) / length));
  // Rows before a band whose filtered bytes fill the window.
  const int primer_rows = static_cast<int>((kWindowBytes + length) / (length + 1));
  const int band_count = (image.rows + rows_per_band - 1) / rows_per_band;

  if (threads <= 0) threads = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  // Runs job(k, scratch) for k in [0, count) on up to `threads` workers.
  const auto run = [threads](int count, const auto& job) {
    std::atomic<int> next{0};
    const auto work = [&] {
      band_scratch scratch;
      for (int k = next++; k < count; k = next++) job(k, scratch);
    };
    std::vector<std::thread> workers;
    for (int t = 1; t < std::min(threads, count); ++t) workers.emplace_back(work);
    work();
    for (std::thread& worker : workers) worker.join();
  };
  const auto band = [&](int b, deflater engine, band_scratch& scratch) {
    const int start = b * rows_per_band;
    const int end = std::min(image.rows, start + rows_per_band);
    try {
      return deflate_band(image, transparent, std::max(0, start - primer_rows), start, end, level,
                          b + 1 == band_count, engine, scratch);
    } catch (const std::bad_alloc&) {
      return band_result{};
    }
  };

  // The engine is chosen from three sample bands deflated both ways: ISA-L unless it
  // falls more than 1 % behind zlib there. The choice depends on the image alone.
  std::vector<int> samples = {band_count / 4, band_count / 2, band_count * 3 / 4};
  samples.erase(std::unique(samples.begin(), samples.end()), samples.end());
  const int sample_count = static_cast<int>(samples.size());
  std::vector<band_result> sampled(2 * sample_count);
  run(2 * sample_count, [&](int k, band_scratch& scratch) {
    sampled[k] = band(samples[k / 2], k % 2 == 0 ? deflater::isal : deflater::zlib, scratch);
  });
  std::size_t isal_bytes = 0, zlib_bytes = 0;
  for (int k = 0; k < 2 * sample_count; ++k)
    (k % 2 == 0 ? isal_bytes : zlib_bytes) += sampled[k].deflated.size();
  const deflater engine = isal_bytes * 100 <= zlib_bytes * 101 ? deflater::isal : deflater::zlib;

  std::vector<band_result> bands(band_count);
  for (int k = 0; k < sample_count; ++k)
    bands[samples[k]] = std::move(sampled[2 * k + (engine == deflater::isal ? 0 : 1)]);
  run(band_count, [&](int b, band_scratch& scratch) {
    if (std::find(samples.begin(), samples.end(), b) == samples.end())
      bands[b] = band(b, engine, scratch);
  });

  // Sized once: growing by doubling would copy the whole stream again and again.
  std::size_t stream_bytes = 2 + 4;
  for (const band_result& band : bands) stream_bytes += band.deflated.size();
  std::vector<unsigned char> stream;
  stream.reserve(stream_bytes);
  // The zlib header: deflate with a 32 KiB window and the level's flag.
  const unsigned level_flags = level < 2 ? 0 : level < 6 ? 1 : level == 6 ? 2 : 3;
  unsigned header = (0x78u << 8) | (level_flags << 6);
  header += 31 - header % 31;
  stream.push_back(static_cast<unsigned char>(header >> 8));
  stream.push_back(static_cast<unsigned char>(header & 0xff));
  uLong adler = 1;
  for (const band_result& band : bands) {
    if (!band.ok) return {};
    stream.insert(stream.end(), band.deflated.begin(), band.deflated.end());
    adler = adler32_combine(adler, band.adler, static_cast<z_off_t>(band.filtered_bytes));
  }
  put_u32(stream, static_cast<uint32_t>(adler));

  std::vector<unsigned char> png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
  png.reserve(8 + 25 + stream.size() + 12 * (stream.size() / kChunkBytes + 1) + 12);
  std::vector<unsigned char> ihdr;
  put_u32(ihdr, static_cast<uint32_t>(image.cols));
  put_u32(ihdr, static_cast<uint32_t>(image.rows));
  ihdr.push_back(8);
  ihdr.push_back(channels == 1 ? 0 : channels == 3 ? 2 : 6);
  ihdr.insert(ihdr.end(), {0, 0, 0});  // deflate, adaptive filtering, no interlace
  put_chunk(png, "IHDR", ihdr.data(), ihdr.size());
  for (std::size_t at = 0; at < stream.size(); at += kChunkBytes)
    put_chunk(png, "IDAT", stream.data() + at, std::min(kChunkBytes, stream.size() - at));
  put_chunk(png, "IEND", nullptr, 0);
  return png;
}

}  // namespace aeroquilt
