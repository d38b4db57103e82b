#pragma once
// The device side of one view: its buffers and the launches that draw a frame into it
// by the compositing rule, then the read-back of its pixels and planes.

#include <opencv2/core.hpp>

#include "geometry/camera_model.h"
#include "imaging/composite.h"
#include "imaging/gpu_context.h"
#include "terrain/dem_sampling.h"
#include "terrain/view_params.h"

namespace aeroquilt {

// The rectangle of view pixels (inclusive) a frame is drawn over.
struct footprint_window {
  int r0 = 0, r1 = -1, c0 = 0, c1 = -1;
  int rows() const { return r1 - r0 + 1; }
  int cols() const { return c1 - c0 + 1; }
};

class view_device {
 public:
  // Frames are drawn onto `dem` (built for the view) when `use_dem`, about the reference
  // point in degrees. Nothing is made before begin().
  view_device(gpu_context& gpu, const composite_options& options, bool use_dem, const view_dem& dem,
              double ref_lat_deg, double ref_lon_deg);
  // Waits for the queue (queued writes read the caller's memory), then frees the buffers.
  ~view_device();
  view_device(const view_device&) = delete;
  view_device& operator=(const view_device&) = delete;

  // Makes the buffers of `view`, placed in the survey by `placement`: its output from
  // `initial` (height x width BGR, alive until the first draw or read returns) and its
  // record; for the plain last-wins rule the claim mask when the device holds it; for
  // the compositing rules their planes, with the view DEM uploaded once.
  cl_status begin(const view_params& view, const cv::Mat& initial,
                  const survey_placement& placement);

  // Whether frames are drawn from the last back (the claimed last-wins projection), and
  // how many passes over them the rule makes.
  bool reverse() const { return static_cast<bool>(claim_); }
  int passes() const { return options_.rule == composite_rule::feathered ? 2 : 1; }

  // Draws `frame` (camera width x height BGR) of `geometry` over `window` in `pass`;
  // `view` is the begun view with the frame's matrices written in.
  cl_status draw(int pass, const image_geometry& geometry, const cv::Mat& frame,
                 const footprint_window& window, const view_params& view);

  // Blocking read of the view's pixels into `image` (height x width BGR).
  cl_status read_output(cv::Mat& image);

  // Ends the view: the blend of feathering, then its pixels into `image` and, when a map is
  // asked for, the source and off-nadir angle planes into `planes`.
  cl_status finish(const view_params& view, cv::Mat& image, composite_planes& planes);

 private:
  kernel_launch projection() const;
  kernel_launch compositing(int pass) const;

  gpu_context& gpu_;
  composite_options options_;
  bool use_dem_;
  const view_dem& dem_;
  double ref_lat_deg_, ref_lon_deg_;
  int width_ = 0, height_ = 0;
  composite_record base_;
  cl_int composite_dem_bytes_ = 0;
  device_buffer output_, record_, claim_;
  device_buffer score_, source_, best_, sum_, composite_;
};

}  // namespace aeroquilt
