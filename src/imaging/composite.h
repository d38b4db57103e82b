#pragma once
// The compositing rules of overlapping images: last wins, best view (each output pixel
// from the image that sees it nearest the vertical), feathered seams; the per-pixel
// source and view-angle planes; and the record the compositing kernels read.

#include <cstdint>

#include "imaging/device_calls.h"
#include "terrain/dem_sampling.h"
#include "terrain/view_params.h"

namespace aeroquilt {

enum class composite_rule : int32_t {
  last_wins = 0,  // flight-log order, the last image that sees a pixel keeps it
  best_view = 1,  // the smallest off-nadir angle of the viewing ray; ties to the later image
  feathered = 2,  // best view, blended within feather_pixels of each seam
};

struct composite_options {
  composite_rule rule = composite_rule::last_wins;
  float feather_pixels = 16.0f;  // output pixels on each side of a seam
  bool source_map = false;       // keep the per-pixel source plane
  bool angle_map = false;        // keep the per-pixel off-nadir angle plane
  // No frame has a black (no-data) pixel: best view finds each pixel's frame from
  // geometry alone, then samples it once.
  bool frames_never_black = false;
  // Feathering keeps the planes of its later passes for a band of the view's rows at a
  // time: a quarter of the view, or at least this many pixels.
  int64_t feather_band_pixels = int64_t(4) << 20;

  // Whether anything beyond the last-wins rendering is asked for.
  bool active() const { return rule != composite_rule::last_wins || source_map || angle_map; }
};

// Where a view lies in the survey's pixel grid: the survey's west and north edges (the
// record's x_min and y_max) and the view's first row and column in it. Pixels are
// placed from these, so a tile renders what the whole view renders at the same pixel.
struct survey_placement {
  view_params survey = empty_view_params();
  int row_offset = 0;
  int column_offset = 0;
};

// The placement of `view`, a window of `survey` on its grid (a tile, or the survey itself).
survey_placement place_in_survey(const view_params& survey, const view_params& view);

// The 168-byte record the compositing kernels read (floats; ints where named).
#pragma pack(push, 1)
struct composite_record {
  float origin_x = 0, origin_y = 0;  // local metres of survey pixel (0, 0)
  int32_t row_offset = 0, column_offset = 0;
  float camera[3] = {0, 0, 0};  // camera centre, local metres
  int32_t source = 0;           // flight-log line
  int32_t flags = 0;
  float feather_pixels = 0;
  float dem_fraction_lat = 0, dem_fraction_lon = 0;  // reference point within its DEM cell
  int32_t dem_row = 0, dem_column = 0;               // its cell in the view DEM
  float ref_lat_deg = 0, ref_lon_deg = 0;
  // With composite_footprint: four lines (a, b, c) with a x + b y + c >= 0 on every ground
  // point (z = 0) the frame can see, and four within which it sees every point.
  float footprint[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  float inner[12] = {0, 0, -1, 0, 0, -1, 0, 0, -1, 0, 0, -1};  // none: holds nowhere
  // With composite_footprint: bounds, with room for rounding, of how many frame columns
  // and rows one output pixel spans anywhere the frame sees (none: 1e30).
  float edge_slope[2] = {1e30f, 1e30f};
};
#pragma pack(pop)
static_assert(sizeof(composite_record) == 168, "composite_record is a 168-byte wire record");

// Flag bits of composite_record::flags, as the kernels define them.
constexpr int32_t composite_use_dem = 1, composite_absolute_dem = 2, composite_write_colour = 4,
                  composite_last_wins = 8, composite_extras = 16, composite_claimed = 32,
                  composite_geometry = 64, composite_sample_won = 128, composite_footprint = 256;

// The per-pixel planes of a composited view (row-major, width x height), read where the
// device left them: its buffers mapped for the host, which the planes keep.
struct composite_planes {
  const uint32_t* source = nullptr;  // flight-log line, 0 where nothing was projected
  const float* angle_deg = nullptr;  // off-nadir angle, NaN where source is 0 (angle map only)
  mapped_buffer source_memory, angle_memory;
};

// The lines of `record`'s footprint from the camera matrices of `view` for a frame of
// `width` x `height` on flat ground (z = 0), widened by `margin` metres so that rounding
// never leaves out a pixel the frame sees, and its inner lines, narrowed by as much so
// that rounding never takes in one the frame does not, and its edge slopes; false
// (nothing written) when a frame corner's ray does not reach the ground in front of the
// camera.
bool flat_footprint_lines(const view_params& view, int width, int height, double margin,
                          composite_record& record);

// The record fields every image of a view shares: the placement, the feather width, the
// reference point (degrees) and, with `use_dem` and `absolute`, the reference point's cell
// in the view DEM counted from the DEM file's corner, so that every view of the survey
// takes the same heights.
composite_record composite_view_record(const survey_placement& placement, const view_dem& dem,
                                       bool use_dem, bool absolute, double ref_lat_deg,
                                       double ref_lon_deg, float feather_pixels);

}  // namespace aeroquilt
