#pragma once
// The image store of a run, used twice by the job: as the output canvas that
// receives projected views, and as the input cache whose slots hold preloaded
// camera images, filled by two loader channels.

#include <array>
#include <atomic>
#include <memory>
#include <mutex>
#include <opencv2/core.hpp>
#include <string>
#include <thread>
#include <vector>

#include "base/config.h"
#include "terrain/view_params.h"

namespace aeroquilt {

constexpr int max_cache_slots = 1500;

enum slot_state : int { slot_empty = 0, slot_ready = 1, slot_loading = 2 };
enum loader_channel : int { channel_A = 0, channel_B = 1 };

class image_cache {
 public:
  image_cache();
  ~image_cache();  // joins loader A, loader B, then the writer thread
  image_cache(const image_cache&) = delete;
  image_cache& operator=(const image_cache&) = delete;

  // Reads one image file into an 8-bit BGR image (raw RGB frame, 16-bit thermal
  // frame or any other image file); empty when it could not be read. A raw frame
  // must hold a whole frame of the configured size. Thread-safe.
  cv::Mat load_image(const std::string& name);

  // Makes the image at `name` the current image (offset by 1 per channel).
  // True when the current image then has at least one column.
  bool get_image(const std::string& name);

  // Starts `channel` loading `name` into a slot: 2 already cached, 0 no slots, 1 started.
  int start_loader(loader_channel channel, const std::string& name);

  // Sets the number of usable slots (clamped to 0..1500) and empties every slot;
  // joins the loaders first, since they write into the slots.
  void set_slot_count(int count);
  int slot_count() const { return slot_count_; }

  // Joins every running thread of this cache (loaders, then the writer).
  void join_threads();

  // --- the image the projector or the canvas works on
  cv::Mat current_image;
  // --- output canvas: installed view record and its rasters
  view_params view{};
  cv::Mat view_count;  // 16-bit single channel, same size as the view raster

  // --- radiometric state (input cache)
  cv::Mat vignette_table;  // float, image_width_pixels rows x image_height_pixels columns
  bool vignette_ready = false;
  cv::Mat average_error_frame;  // float, the running average of thermal frames
  std::mutex average_mutex;

  // --- PNG writer (output canvas)
  cv::Mat png_copy;
  std::string png_name;
  std::vector<int> png_params;
  std::thread writer_thread;
  bool png_written = false;  // the writer thread's result; read after joining it

  // Slot access for tests and diagnostics.
  int slot_state_of(int slot) const;
  const std::string& slot_name(int slot) const;
  const cv::Mat& slot_image(int slot) const;
  int next_slot() const { return next_slot_; }

 private:
  struct channel_state {
    std::string name;
    std::thread thread;
    int slot = -1;  // the slot `thread` fills
  };

  // Advances the round-robin index and names the slot; joins a loader still
  // filling that slot first, so that one slot never has two writers.
  int reserve_slot(const std::string& name);
  int find_slot(const std::string& name) const;
  void join_loader(channel_state& loader);
  cv::Mat load_raw_rgb(const std::string& name);
  cv::Mat load_thermal(const std::string& name);

  int slot_count_ = 0;
  std::vector<std::string> slot_names_;
  std::array<std::atomic<int>, max_cache_slots> slot_states_{};
  std::vector<cv::Mat> slot_images_;  // max_cache_slots entries, never resized
  int next_slot_ = 0;
  channel_state channels_[2];
};

// Sizes the cache's slots from a memory budget (bytes) and prints the slot count.
void size_image_cache(image_cache& cache, double budget_bytes, double bytes_per_image);

// Copies `view` into the canvas and makes its black rasters; refuses a view of
// more than 2.5e9 pixels ("output range error\n", fatal) or of width/height below 1.
void install_view(image_cache& canvas, const view_params& view);

// Loads the first min(n, count) images of `paths` to warm up the running average.
void compute_average_frame_error(image_cache& cache, const std::vector<std::string>& paths,
                                 int average_length);

// Fills the vignette gain table from the configuration and sets vignette_ready.
void build_vignette_table(image_cache& cache, config_params config);

}  // namespace aeroquilt
