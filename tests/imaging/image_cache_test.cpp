// The input cache: round-robin slots, the offset added once, the bounded wait for a
// loading slot, the two loader channels and read-ahead, and the size check of an output
// view.

#include "imaging/image_cache.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "base/console.h"
#include "support/image_builder.h"
#include "support/scratch.h"

namespace aeroquilt {
namespace {

using testing::scratch_dir;

constexpr int frame_width = 4;
constexpr int frame_height = 3;

// A named pipe standing in for an image file whose load has not finished: the
// loader blocks opening it until feed() writes a whole raw frame into it.
class slow_frame {
 public:
  slow_frame(const std::string& path, uint8_t value) : path_(path), value_(value) {
    if (::mkfifo(path.c_str(), 0600) != 0) throw std::runtime_error("mkfifo " + path);
  }
  ~slow_frame() { feed(); }
  slow_frame(const slow_frame&) = delete;
  slow_frame& operator=(const slow_frame&) = delete;

  // Waits (up to 5 s) for the reader, then writes the frame. Once only.
  void feed() {
    if (fed_) return;
    fed_ = true;
    int fd = -1;
    for (int attempt = 0; attempt < 5000 && fd < 0; ++attempt) {
      fd = ::open(path_.c_str(), O_WRONLY | O_NONBLOCK);  // fails while nobody reads
      if (fd < 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (fd < 0) return;
    ::fcntl(fd, F_SETFL, 0);
    const auto bytes = testing::raw_frame_bytes(
        frame_width, frame_height, std::vector<uint8_t>(frame_width * frame_height * 3, value_));
    if (::write(fd, bytes.data(), bytes.size()) < 0) ADD_FAILURE() << "write " << path_;
    ::close(fd);
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  uint8_t value_;
  bool fed_ = false;
};

class ImageCache : public ::testing::Test {
 protected:
  // A raw frame "<dir>/frame_rgb_<label>.raw" with every byte `value`.
  std::string frame(const std::string& label, uint8_t value) {
    const std::string path = dir_.file("frame_rgb_" + label + ".raw");
    testing::write_raw_frame(path,
                             cv::Mat(frame_height, frame_width, CV_8UC3, cv::Scalar::all(value)));
    return path;
  }
  static int first_byte(const cv::Mat& image) { return image.empty() ? -1 : image.data[0]; }

  frame_loader loader_{testing::frames_of_size(frame_width, frame_height)};
  cv::Mat image_;  // the frame the last get_image gave
  scratch_dir dir_{"image_cache"};
};

TEST_F(ImageCache, AddsTheOffsetOnceOnEveryPath) {
  const std::string loaded = frame("loaded", 0);
  const std::string missed = frame("missed", 0);
  image_cache cache(loader_);
  cache.set_slot_count(4);
  ASSERT_EQ(cache.start_loader(channel_A, loaded), 1);
  cache.join_threads();
  ASSERT_TRUE(cache.get_image(loaded, image_));
  EXPECT_EQ(first_byte(image_), 1);  // loader path

  {
    console_capture quiet;
    ASSERT_TRUE(cache.get_image(missed, image_));
  }
  EXPECT_EQ(first_byte(image_), 1);  // miss path
  ASSERT_TRUE(cache.get_image(missed, image_));
  EXPECT_EQ(first_byte(image_), 1);  // hit on the slot the miss filled
}

TEST_F(ImageCache, SlotStillLoadingTimesOutAndLoadsDirectly) {
  const std::string path = frame("07", 70);
  // The pipe's name contains the frame's name, so the request matches its slot.
  slow_frame pending(path + ".pipe", 90);
  image_cache cache(loader_);
  cache.set_slot_count(4);
  ASSERT_EQ(cache.start_loader(channel_A, pending.path()), 1);
  {
    console_capture capture;
    ASSERT_TRUE(cache.get_image(path, image_));
    EXPECT_EQ(capture.text(), "waiting for image to cache " + path + "\nimage cache timeout " +
                                  path + "\nimage not in cache " + path + "\n");
  }
  EXPECT_EQ(first_byte(image_), 71);
  pending.feed();
  cache.join_threads();
  // The late load lands in its own slot, which is found first from now on.
  EXPECT_EQ(cache.slot_state_of(1), slot_ready);
  EXPECT_EQ(first_byte(cache.slot_image(1)), 91);
}

TEST_F(ImageCache, ReusingASlotWaitsForItsLoaderWithFewSlots) {
  const std::string mine = frame("mine", 20);
  slow_frame pending(dir_.file("frame_rgb_other.raw"), 10);
  image_cache cache(loader_);
  cache.set_slot_count(1);
  ASSERT_EQ(cache.start_loader(channel_A, pending.path()), 1);
  std::thread feeder([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    pending.feed();
  });
  {
    console_capture quiet;
    ASSERT_TRUE(cache.get_image(mine, image_));  // the miss reserves slot 0, which channel A fills
  }
  feeder.join();
  cache.join_threads();
  // Had the loader not been joined first, its later store would have replaced `mine`.
  EXPECT_EQ(cache.slot_name(0), mine);
  EXPECT_EQ(first_byte(cache.slot_image(0)), 21);
  ASSERT_TRUE(cache.get_image(mine, image_));
  EXPECT_EQ(first_byte(image_), 21);
}

// Read-ahead keeps both channels loading: it never waits for a frame already on its way,
// only, with both channels busy, for the one that started first; await makes the frame
// ready, so that taking it neither waits nor times out.
TEST_F(ImageCache, ReadAheadKeepsBothChannelsLoading) {
  using std::chrono::milliseconds;
  slow_frame first(dir_.file("frame_rgb_first.raw"), 10);
  slow_frame second(dir_.file("frame_rgb_second.raw"), 20);
  const std::string third = frame("third", 30);
  image_cache cache(loader_);
  cache.set_slot_count(read_ahead_slots);
  std::thread feeder([&] {
    std::this_thread::sleep_for(milliseconds(300));
    first.feed();
    std::this_thread::sleep_for(milliseconds(600));
    second.feed();
  });
  const auto start = std::chrono::steady_clock::now();
  const auto elapsed = [&] { return std::chrono::steady_clock::now() - start; };
  // No ASSERT before the feeder is joined: a joinable thread must not be left behind.
  EXPECT_EQ(cache.read_ahead(first.path()), 1);
  EXPECT_EQ(cache.read_ahead(second.path()), 1);
  EXPECT_EQ(cache.read_ahead(first.path()), 2);
  EXPECT_LT(elapsed(), milliseconds(200));  // none waited for the first frame
  EXPECT_EQ(cache.slot_state_of(1), slot_loading);
  EXPECT_EQ(cache.slot_state_of(2), slot_loading);

  EXPECT_EQ(cache.read_ahead(third), 1);  // waits for the first, never the second
  EXPECT_LT(elapsed(), milliseconds(800));
  EXPECT_EQ(cache.slot_state_of(1), slot_ready);
  EXPECT_EQ(cache.slot_state_of(2), slot_loading);

  console_capture capture;
  cache.await(second.path());
  EXPECT_TRUE(cache.get_image(second.path(), image_));
  feeder.join();
  EXPECT_EQ(first_byte(image_), 21);
  cache.await(third);
  ASSERT_TRUE(cache.get_image(third, image_));
  EXPECT_EQ(first_byte(image_), 31);
  EXPECT_EQ(capture.text(), "");
}

TEST_F(ImageCache, BothLoadersPrefetchingManyImagesAlwaysDeliverTheRightOne) {
  constexpr int image_count = 40;
  std::vector<std::string> paths;
  for (int k = 0; k < image_count; ++k) {
    paths.push_back(frame((k < 10 ? "0" : "") + std::to_string(k), static_cast<uint8_t>(3 * k)));
  }
  std::mt19937 random(2024);
  // The channels started as the list's prefetch starts them, and by read-ahead.
  for (int run = 0; run < 10; ++run) {
    const int slots = std::vector<int>{1, 2, 3, read_ahead_slots, 64}[run / 2];
    const bool reads_ahead = run % 2 == 1;
    image_cache cache(loader_);
    cache.set_slot_count(slots);
    console_capture quiet;  // timeouts are allowed; wrong images are not
    for (int pass = 0; pass < 3; ++pass) {
      for (int step = 0; step < image_count; ++step) {
        const int k = pass == 1 ? image_count - 1 - step : static_cast<int>(random() % image_count);
        const std::string& next = paths[(k + 1) % image_count];
        const std::string& after = paths[(k + 2) % image_count];
        if (reads_ahead) {
          cache.read_ahead(next);
          cache.read_ahead(after);
          cache.await(paths[k]);
        } else {
          cache.start_loader(channel_A, next);
          cache.start_loader(channel_B, after);
        }
        ASSERT_TRUE(cache.get_image(paths[k], image_)) << slots << " slots, image " << k;
        ASSERT_EQ(first_byte(image_), 3 * k + 1) << slots << " slots, image " << k;
      }
    }
  }
}

}  // namespace
}  // namespace aeroquilt
