#pragma once
// The device side of one view: its buffers and the launches that draw a frame into it
// by the compositing rule, then its pixels and planes mapped for the host.

#include <cstdint>
#include <opencv2/core.hpp>
#include <vector>

#include "geometry/camera_model.h"
#include "imaging/composite.h"
#include "imaging/gpu_context.h"
#include "terrain/dem_sampling.h"
#include "terrain/view_params.h"

namespace aeroquilt {

// A view's pixels and planes between renderings, so that a rendering with more frames
// goes on where an earlier one ended (row-major, width x height values each).
struct view_state {
  cv::Mat image;                 // BGR
  std::vector<uint32_t> claim;   // last wins: the flight-log line that wrote each pixel
  std::vector<float> score;      // the other rules and maps: the holder's score
  std::vector<uint32_t> source;  // and its line
};

// The rectangle of view pixels (inclusive) a frame is drawn over.
struct footprint_window {
  int r0 = 0, r1 = -1, c0 = 0, c1 = -1;
  int rows() const { return r1 - r0 + 1; }
  int cols() const { return c1 - c0 + 1; }
};

// Rows of a feathered view's bands: a quarter of the view, or enough for `least_pixels`
// (the whole view when it is smaller).
int feather_band_rows(int width, int height, int64_t least_pixels);

class view_device {
 public:
  // Frames are drawn onto `dem` (built for the view) when `use_dem`, about the reference
  // point in degrees. Nothing is made before begin().
  view_device(gpu_context& gpu, const composite_options& options, bool use_dem, const view_dem& dem,
              double ref_lat_deg, double ref_lon_deg);
  // Waits for the queue (queued writes read the caller's memory), then frees the buffers.
  // A call that fails waits for it too before it returns.
  ~view_device();
  view_device(const view_device&) = delete;
  view_device& operator=(const view_device&) = delete;

  // Makes the buffers of `view`, placed in the survey by `placement`: its output from
  // `initial` (height x width BGR, alive until the first draw or read returns; empty:
  // all zero, filled on the device rather than copied from the host) and its
  // record; for last wins the claim plane (when the device holds it, or must: a view
  // going on from `start`); for the compositing rules their planes, with the view DEM
  // uploaded once. The planes start from `start` when given, alive as `initial` is.
  cl_status begin(const view_params& view, const cv::Mat& initial,
                  const survey_placement& placement, const view_state* start = nullptr);

  // Whether frames are drawn from the last back (the claimed last-wins projection), how
  // many passes over them the rule makes and which passes read their pixels. Feathering
  // makes three: best view, the won pixels' terms (geometry only), the feather; best view
  // from geometry two.
  bool reverse() const { return static_cast<bool>(claim_); }
  int passes() const { return feathered() ? 3 : geometric() ? 2 : 1; }
  bool reads_frames(int pass) const {
    return !((feathered() && pass == 1) || (geometric() && pass == 0));
  }

  // Feathering keeps the planes of its later passes (terms and sums, 32 bytes a pixel)
  // for band_rows() view rows at a time (feather_band_rows): those passes go band by
  // band, from the band begun at row 0. begin_band blends the band before and starts the
  // one from `first_row`, within which draw() then takes their windows; finish() blends
  // the last. Best view and last wins have one band, the whole view.
  int band_rows() const { return band_rows_; }
  cl_status begin_band(int first_row);

  // Draws `frame` (camera width x height BGR; none in a pass that reads no frames) of
  // `geometry` over `window` in `pass`; `view` is the begun view with the frame's
  // matrices written in.
  cl_status draw(int pass, const image_geometry& geometry, const cv::Mat& frame,
                 const footprint_window& window, const view_params& view);

  // Blocking read of the view's pixels into `image` (made height x width BGR).
  cl_status read_output(cv::Mat& image);

  // Ends the view: the blend of feathering, then `image` becomes the view's pixels (the
  // device's buffer mapped, kept by the matrix) and, when a map is asked for, the source
  // plane is mapped into `planes`, with the off-nadir angles (the score plane, turned into
  // degrees) for the angle map; the device must draw nothing more into the view. With
  // `end`, the state a later rendering goes on from.
  cl_status finish(cv::Mat& image, composite_planes& planes, view_state* end = nullptr);

 private:
  bool feathered() const { return options_.rule == composite_rule::feathered; }
  // Best view from geometry, then one sample per pixel, in the pass that reads the
  // frames: best view's second, feathering's last.
  bool geometric() const {
    return options_.rule != composite_rule::last_wins && options_.frames_never_black;
  }
  kernel_launch projection() const;
  kernel_launch compositing(int pass) const;
  // Feathering's blend of the current band.
  cl_status blend_band();
  // A second pass (best view from geometry's colour, feathering's terms) draws only the
  // pixels each image won in the first: once that is done, the box of each line's
  // pixels, which the second pass's windows are cut to.
  cl_status find_won_bounds();
  // `window` cut to the box of the pixels `line` won; false when it won none.
  bool cut_to_won(uint32_t line, footprint_window& window) const;
  // Whether `pass` works on the band's planes.
  bool banded(int pass) const { return feathered() && pass > 0; }
  // Waits for the queue, whatever it holds.
  void settle();

  gpu_context& gpu_;
  composite_options options_;
  bool use_dem_;
  const view_dem& dem_;
  double ref_lat_deg_, ref_lon_deg_;
  view_params view_host_{};             // the begun view, as the blend reads it
  int band_first_ = 0, band_rows_ = 0;  // the view rows the float4 planes hold
  composite_record base_;
  composite_record record_host_;  // the frame's record, read by a write still queued
  // The claimed projection's footprint lines (as the record's) and, last, 1 where they hold.
  float footprint_host_[16] = {};
  cl_int composite_dem_bytes_ = 0;
  cl_int line_ = 1;  // the drawn frame's flight-log line
  // Claimed last wins: the claim plane is the source plane, there is no other.
  bool claimed_source() const { return claim_ && options_.rule == composite_rule::last_wins; }
  // The plane of each pixel's source line.
  const device_buffer& source_plane() const { return claimed_source() ? claim_ : source_; }
  // Whether the compositing kernels run: for every rule but last wins, and for last
  // wins's maps, save a source map alone from a claim plane, which is that map already.
  bool composites() const {
    return options_.active() && !(claimed_source() && !options_.angle_map);
  }

  // Feathering: the camera of each line best view drew (3 floats a line, as the records
  // hold them), for the feather's angle of the best image; in `cameras_` from its pass on.
  std::vector<float> cameras_host_;
  // The highest line drawn in the first pass, and the won boxes (first row, last row,
  // first column, last column a line from 0) once found.
  uint32_t first_pass_last_line_ = 0;
  std::vector<cl_int> won_bounds_;

  device_buffer output_, record_, claim_, footprint_;
  device_buffer score_, source_, best_, sum_, composite_, cameras_;
};

}  // namespace aeroquilt
