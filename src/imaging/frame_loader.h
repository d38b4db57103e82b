#pragma once
// Reads one camera frame file into an 8-bit BGR image, applying the corrections that
// belong to loading: the vignette table of raw RGB frames, and the temperature
// conversion, fixed-pattern removal and false colour of 16-bit thermal frames.

#include <cstdint>
#include <map>
#include <mutex>
#include <opencv2/core.hpp>
#include <string>
#include <vector>

#include "imaging/colour_balance.h"
#include "imaging/lens_correction.h"

namespace aeroquilt {

// What loading takes from the configuration (named after its keys).
struct frame_options {
  int32_t image_width_pixels = 0;  // a raw frame must be this size
  int32_t image_height_pixels = 0;
  int32_t use_16bit_image_input = 0;           // frames are 16-bit radiometric counts
  int32_t do_average_image_error_removal = 0;  // running-average length; 0 or less: off
  double tau_set_min_temp = 0;                 // display range of thermal frames, Celsius
  double tau_set_max_temp = 0;
  lens_options lens;  // inactive: frames are used as read
};

// The loader of a run and its radiometric state. load_image may run on up to three
// threads at once (the main thread and two loader channels).
class frame_loader {
 public:
  explicit frame_loader(const frame_options& frame = {});
  // Replaces the options and builds the lens resampling for them (once per run).
  void set_options(const frame_options& frame);
  frame_loader(const frame_loader&) = delete;
  frame_loader& operator=(const frame_loader&) = delete;

  // Reads one image file (raw RGB frame when the name holds "rgb" or "RGB", 16-bit
  // thermal frame, or any other image file); empty after a message when it could not
  // be read. Resampled to the ideal pinhole when a lens is set. Thread-safe.
  cv::Mat load_image(const std::string& name);

  // The frame at `name` for measuring: before the lens resampling, `reduction` (1, 2, 4
  // or 8) times smaller each way by block means (a JPEG decoded at that scale), the
  // corrections of loading applied, no colour gain. Empty after a message when it could
  // not be read. Thread-safe.
  cv::Mat load_reduced(const std::string& name, int reduction);

  frame_options options;
  lens_undistorter lens;
  cv::Mat vignette_table;  // float, image_width_pixels rows x image_height_pixels columns
  bool vignette_ready = false;
  cv::Mat average_error_frame;  // float, the running average of thermal frames
  std::mutex average_mutex;
  // Colour gains by frame path, applied last by load_image; set before any frame is loaded
  // for the views. A frame without one is used as read.
  std::map<std::string, colour_gain> colour_gains;

 private:
  // False (after "failed read") when the file's header declares another frame size.
  bool header_fits(const std::string& name) const;
  cv::Mat load_raw_rgb(const std::string& name);
  cv::Mat load_thermal(const std::string& name);
  cv::Mat load_uncorrected(const std::string& name);
};

// Loads the first min(n, count) images of `paths` to warm up the running average.
void compute_average_frame_error(frame_loader& loader, const std::vector<std::string>& paths,
                                 int average_length);

// Fills the vignette gain table for the loader's frame size, scaled by `multiplier`,
// and sets vignette_ready.
void build_vignette_table(frame_loader& loader, double multiplier);

}  // namespace aeroquilt
