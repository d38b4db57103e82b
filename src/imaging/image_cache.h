#pragma once
// The input cache of a run: slots that hold preloaded camera frames (each offset by 1
// per channel), filled by two loader channels through the run's frame loader.

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <opencv2/core.hpp>
#include <string>
#include <thread>
#include <vector>

#include "imaging/frame_loader.h"

namespace aeroquilt {

constexpr int max_cache_slots = 1500;
// Slots enough for the frame drawn and the two the loader channels read ahead, with room
// for frames skipped between them.
constexpr int read_ahead_slots = 8;

enum slot_state : int { slot_empty = 0, slot_ready = 1, slot_loading = 2 };
enum loader_channel : int { channel_A = 0, channel_B = 1 };

class image_cache {
 public:
  // Frames are read through `loader`, which must outlive the cache.
  explicit image_cache(frame_loader& loader);
  ~image_cache();  // joins loader A, then loader B
  image_cache(const image_cache&) = delete;
  image_cache& operator=(const image_cache&) = delete;

  // The frame at `name` (offset by 1 per channel), from its slot or read now. It shares
  // the slot's pixels: read them, never write into them. True when it has at least one
  // column.
  bool get_image(const std::string& name, cv::Mat& image);

  // Starts `channel` loading `name` into a slot: 2 already cached, 0 no slots, 1 started.
  int start_loader(loader_channel channel, const std::string& name);

  // Starts a channel loading `name` unless a slot holds it, ready or loading: an idle
  // channel, else the one that started first, whose frame is wanted first. Unlike
  // start_loader it never waits for a frame not yet wanted, so both channels keep loading.
  // Returns as start_loader.
  int read_ahead(const std::string& name);

  // Waits for a channel that is loading `name`, so that get_image finds it ready.
  void await(const std::string& name);

  // Sets the number of usable slots (clamped to 0..1500) and empties every slot;
  // joins the loaders first, since they write into the slots.
  void set_slot_count(int count);
  int slot_count() const { return slot_count_; }

  // Joins both loader channels.
  void join_threads();

  // Slot access for tests and diagnostics.
  int slot_state_of(int slot) const;
  const std::string& slot_name(int slot) const;
  const cv::Mat& slot_image(int slot) const;
  int next_slot() const { return next_slot_; }

 private:
  struct channel_state {
    std::string name;
    std::thread thread;
    int slot = -1;        // the slot `thread` fills
    std::uint64_t start = 0;  // when it started, in loads started
  };

  // Advances the round-robin index and names the slot; joins a loader still
  // filling that slot first, so that one slot never has two writers.
  int reserve_slot(const std::string& name);
  int find_slot(const std::string& name) const;
  void join_loader(channel_state& loader);
  frame_loader& loader_;
  int slot_count_ = 0;
  std::vector<std::string> slot_names_;
  std::array<std::atomic<int>, max_cache_slots> slot_states_{};
  std::vector<cv::Mat> slot_images_;  // max_cache_slots entries, never resized
  int next_slot_ = 0;
  channel_state channels_[2];
  std::uint64_t loads_started_ = 0;
};

// Sizes the cache's slots from a memory budget (bytes) and prints the slot count.
void size_image_cache(image_cache& cache, double budget_bytes, double bytes_per_image);

}  // namespace aeroquilt
