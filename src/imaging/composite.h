#pragma once
// Compositing of overlapping images: best view (each output pixel from the image that
// sees it nearest the vertical), feathered seams, and the per-pixel source and
// view-angle planes. The last-image-wins rendering of view_renderer is left as it is.

#include <cstdint>
#include <vector>

#include "geometry/camera_model.h"
#include "imaging/frame_source.h"
#include "imaging/gpu_context.h"
#include "imaging/view_renderer.h"
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

// The 64-byte record the compositing kernels read (floats; ints where named).
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
};
#pragma pack(pop)
static_assert(sizeof(composite_record) == 64, "composite_record is a 64-byte wire record");

// Flag bits of composite_record::flags, as the kernels define them.
constexpr int32_t composite_use_dem = 1, composite_absolute_dem = 2, composite_write_colour = 4,
                  composite_last_wins = 8, composite_extras = 16;

// The per-pixel planes read back from a composited view (row-major, width x height).
struct composite_planes {
  std::vector<uint16_t> source;  // flight-log line, 0 where nothing was projected
  std::vector<float> angle_deg;  // off-nadir angle; meaningful where source != 0
};

// Renders the canvas's installed view with `options` (which must be active): in
// last-wins order the kernels of view_renderer draw and the planes follow them; in the
// other rules the compositing kernels draw. Reads the view back into canvas.image and,
// when a map is asked for, the planes into `planes`. `dem` must be built for the view;
// the reference point is the run's.
render_result render_composite_view(output_canvas& canvas, const survey_placement& placement,
                                    const std::vector<image_geometry>& geometries,
                                    const view_dem& dem, frame_source& frames, gpu_context& gpu,
                                    bool use_dem, double ref_lat_deg, double ref_lon_deg,
                                    double preview_scale, const composite_options& options,
                                    composite_planes& planes);

}  // namespace aeroquilt
