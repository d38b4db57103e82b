#pragma once
// The view operation: one output view (the whole image or a tile) rendered on the device
// from a chosen list of frames, by a compositing rule. It builds the view's DEM, takes
// the frames in the rule's order with their prefetch, draws each over its window and
// returns the finished canvas (with its planes) or the reason it has none. Where the
// view's files go is the caller's.

#include <opencv2/core.hpp>
#include <string>
#include <vector>

#include "geometry/camera_model.h"
#include "imaging/composite.h"
#include "imaging/frame_source.h"
#include "imaging/gpu_context.h"
#include "imaging/view_device.h"
#include "terrain/dem_sampling.h"
#include "terrain/view_params.h"

namespace aeroquilt {

// How every view of a run is rendered.
struct view_options {
  composite_options compositing;  // the rule where frames overlap, and the planes kept
  bool use_dem = false;           // frames onto the view DEM, not flat ground (USE_DEM)
  std::string DEM_name;           // named when a view's DEM is made
  double preview_scale = 0.1;     // of the preview window
};

// What every view of a run is rendered with: the device, the corrected frames, the
// frames' geometries, the DEM (rebuilt for each view), the survey grid the views are cut
// from and the run's reference point in degrees.
struct view_setting {
  gpu_context& gpu;
  frame_source& frames;
  const std::vector<image_geometry>& geometries;
  view_dem& dem;
  view_params survey;
  double ref_lat_deg = 0, ref_lon_deg = 0;
  view_options options;
};

enum class view_status {
  rendered,           // the canvas holds the view
  dem_not_covered,    // the DEM does not cover the view (its message printed)
  nothing_projected,  // no chosen frame fell in the view or could be projected
  device_failed,      // a device call failed: `failure` says which
};

struct rendered_view {
  view_status status = view_status::nothing_projected;
  std::string failure;      // device_failed: "clEnqueueReadBuffer (view output) failed with ..."
  int projected = 0;        // frames drawn into the view
  view_params view{};       // the view's record (the last frame's matrices in it)
  cv::Mat image;            // BGR, row 0 north, black where nothing was projected
  composite_planes planes;  // when a map is asked for
};

// Seconds spent per stage, for benchmarks: with it the frames are taken one by one
// (no prefetch) and each frame's launches are waited for, so that each stage is timed
// on its own.
struct view_timing {
  double frames_s = 0, launches_s = 0, readback_s = 0;
  double window_megapixels = 0;
};

// Renders `view` (a window of setting.survey's grid) from the frames `chosen` (indices
// into setting.geometries, in flight-log order), showing it in the preview as it grows.
// With `state`, the view goes on from the state an earlier rendering of it left there
// (when it has the view's size; feathered views are made afresh) and leaves its own:
// drawing the frames in turns gives the view of all of them at once, whatever the order
// of the turns. Fatal for a view under 1 pixel wide or high, or over 2.5e9 pixels
// ("output range error\n").
rendered_view render_view_canvas(const view_setting& setting, const view_params& view,
                                 const std::vector<int>& chosen, view_timing* timing = nullptr,
                                 view_state* state = nullptr);

// Every frame of a list of `count`, in order.
std::vector<int> all_frames(int count);

// The pixels of `view` a frame is drawn over: those whose grid position (rows down from
// `grid`'s north edge y_max, columns east from its west edge x_min, both cut at
// grid.pixel_size and truncated toward zero) falls within `footprint`'s bounding box
// widened by `margin_px`, less the view's first row and column in that grid
// (`row_offset`, `column_offset`), clamped to the view. False when none does.
bool frame_window(const arma::mat& footprint, const view_params& grid, int row_offset,
                  int column_offset, int margin_px, const view_params& view,
                  footprint_window& window);

// The window of `geometry` in `view` as the view operation cuts it for the setting's
// rule; false when the frame does not reach the view.
bool frame_window_in_view(const view_setting& setting, const image_geometry& geometry,
                          const view_params& view, footprint_window& window);

// Writes `geometry`'s camera matrices into the record's first 21 floats.
void write_image_matrices(const image_geometry& geometry, view_params& view);

}  // namespace aeroquilt
