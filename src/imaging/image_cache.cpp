// The slot table of the input cache and its two loader channels.

#include "imaging/image_cache.h"

#include <chrono>
#include <cmath>
#include <cstdint>

#include "base/console.h"
#include "imaging/radiometry.h"

namespace aeroquilt {

image_cache::image_cache(frame_loader& loader) : loader_(loader), slot_images_(max_cache_slots) {}

image_cache::~image_cache() { join_threads(); }

void image_cache::join_loader(channel_state& loader) {
  if (loader.thread.joinable()) loader.thread.join();
  loader.slot = -1;
}

void image_cache::join_threads() {
  join_loader(channels_[channel_A]);
  join_loader(channels_[channel_B]);
}

void image_cache::set_slot_count(int count) {
  // The loaders write into the slot table that is reset here.
  join_loader(channels_[channel_A]);
  join_loader(channels_[channel_B]);
  if (count < 0) count = 0;
  if (count > max_cache_slots) count = max_cache_slots;
  slot_count_ = count;
  slot_names_.assign(static_cast<std::size_t>(count), std::string());
  for (int slot = 0; slot < max_cache_slots; ++slot) {
    slot_states_[slot].store(slot_empty, std::memory_order_relaxed);
    slot_images_[slot].release();
  }
  next_slot_ = 0;
}

int image_cache::slot_state_of(int slot) const {
  return slot_states_.at(static_cast<std::size_t>(slot)).load(std::memory_order_acquire);
}

const std::string& image_cache::slot_name(int slot) const {
  static const std::string no_name;
  if (slot < 0 || slot >= slot_count_) return no_name;
  return slot_names_[static_cast<std::size_t>(slot)];
}

const cv::Mat& image_cache::slot_image(int slot) const {
  return slot_images_.at(static_cast<std::size_t>(slot));
}

int image_cache::find_slot(const std::string& name) const {
  for (int slot = 0; slot < slot_count_; ++slot) {
    if (slot_names_[static_cast<std::size_t>(slot)].find(name) != std::string::npos) return slot;
  }
  return -1;
}

int image_cache::reserve_slot(const std::string& name) {
  next_slot_ = next_slot_ + 1;
  if (next_slot_ >= slot_count_) next_slot_ = 0;
  const int slot = next_slot_;
  for (channel_state& loader : channels_) {
    if (loader.slot == slot) join_loader(loader);
  }
  slot_names_[static_cast<std::size_t>(slot)] = name;
  return slot;
}

int image_cache::start_loader(loader_channel channel, const std::string& name) {
  channel_state& loader = channels_[channel];
  join_loader(loader);
  if (find_slot(name) >= 0) return 2;
  if (slot_count_ == 0) return 0;

  const int slot = reserve_slot(name);
  loader.name = name;
  slot_states_[slot].store(slot_loading, std::memory_order_relaxed);
  loader.slot = slot;
  loader.start = ++loads_started_;
  // The thread gets its own copy of the name; the slot image is published by the
  // release store of the state, which the projector reads with acquire.
  loader.thread = std::thread([this, slot, path = name] {
    slot_images_[static_cast<std::size_t>(slot)] = add_projection_offset(loader_.load_image(path));
    slot_states_[slot].store(slot_ready, std::memory_order_release);
  });
  return 1;
}

int image_cache::read_ahead(const std::string& name) {
  if (find_slot(name) >= 0) return 2;  // ready or on its way
  if (slot_count_ == 0) return 0;
  const auto busy = [this](const channel_state& loader) {
    return loader.slot >= 0 && slot_states_[loader.slot].load(std::memory_order_acquire) ==
                                   slot_loading;
  };
  const channel_state& a = channels_[channel_A];
  const channel_state& b = channels_[channel_B];
  loader_channel channel = channel_A;
  if (busy(a) && (!busy(b) || b.start < a.start)) channel = channel_B;
  return start_loader(channel, name);
}

void image_cache::await(const std::string& name) {
  const int slot = find_slot(name);
  if (slot < 0) return;
  for (channel_state& loader : channels_) {
    if (loader.slot == slot) join_loader(loader);
  }
}

bool image_cache::get_image(const std::string& name, cv::Mat& image) {
  const int slot = find_slot(name);
  bool found = false;
  if (slot >= 0) {
    int state = slot_states_[slot].load(std::memory_order_acquire);
    if (state != slot_loading) {
      found = true;
    } else {
      console_printf("waiting for image to cache %s\n", name.c_str());
      for (int wait = 0; state != slot_ready && wait < 2; ++wait) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        state = slot_states_[slot].load(std::memory_order_acquire);
      }
      found = state == slot_ready;
      if (!found) console_printf("image cache timeout %s\n", name.c_str());
    }
    if (found) image = slot_images_[static_cast<std::size_t>(slot)];
  }
  if (!found) {
    console_printf("image not in cache %s\n", name.c_str());
    image = add_projection_offset(loader_.load_image(name));
    if (slot_count_ > 0) {
      const int reserved = reserve_slot(name);
      slot_images_[static_cast<std::size_t>(reserved)] = image;
      slot_states_[reserved].store(slot_ready, std::memory_order_release);
    }
  }
  return image.cols >= 1;
}

void size_image_cache(image_cache& cache, double budget_bytes, double bytes_per_image) {
  // Clamped in double: a zero or tiny image size must not overflow the conversion.
  const double quotient = budget_bytes / bytes_per_image;
  int count = 0;
  if (quotient >= max_cache_slots) {
    count = max_cache_slots;
  } else if (quotient > 0.0) {
    count = static_cast<int>(quotient);
  }
  cache.set_slot_count(count);
  console_printf("Cache number compute,  Allowing %d images\n", count);
}

}  // namespace aeroquilt
