#include "imaging/view_operation.h"

#include <chrono>
#include <cmath>
#include <cstdint>
#include <numeric>

#include "base/console.h"
#include "base/fatal_error.h"
#include "imaging/preview.h"

namespace aeroquilt {
namespace {

// Pixels added around a frame's window by the compositing rules: rays near a frame edge
// over relief can fall just outside the box of the corner points.
constexpr int composite_margin_px = 2;

// A view of at least one pixel and at most 2.5e9: fatal otherwise.
void require_view_size(const view_params& view) {
  if (view.width < 1 || view.height < 1) {
    const std::string message = "invalid view size " + std::to_string(view.width) + " x " +
                                std::to_string(view.height) + "\n";
    console_printf("%s", message.c_str());
    throw fatal_error(message);
  }
  if (static_cast<int64_t>(view.width) * view.height > 2500000000LL) {
    console_printf("output range error\n");
    throw fatal_error("output range error\n");
  }
}

using clock_type = std::chrono::steady_clock;

double seconds_since(clock_type::time_point start) {
  return std::chrono::duration<double>(clock_type::now() - start).count();
}

rendered_view device_failed(rendered_view result, const cl_status& status) {
  result.status = view_status::device_failed;
  result.failure = status.message();
  result.image.release();
  result.planes = {};
  return result;
}

}  // namespace

std::vector<int> all_frames(int count) {
  std::vector<int> frames(static_cast<std::size_t>(std::max(count, 0)));
  std::iota(frames.begin(), frames.end(), 0);
  return frames;
}

bool frame_window(const arma::mat& footprint, const view_params& grid, int row_offset,
                  int column_offset, int margin_px, const view_params& view,
                  footprint_window& window) {
  const double xmin = footprint.col(0).min(), xmax = footprint.col(0).max();
  const double ymin = footprint.col(1).min(), ymax = footprint.col(1).max();
  const double x_min = grid.x_min, y_max = grid.y_max, p = grid.pixel_size;
  const double c0 = std::trunc((xmin - x_min) / p) - column_offset - margin_px;
  const double c1 = std::trunc((xmax - x_min) / p) - column_offset + margin_px;
  const double r0 = std::trunc(-(ymax - y_max) / p) - row_offset - margin_px;
  const double r1 = std::trunc(-(ymin - y_max) / p) - row_offset + margin_px;
  if (!(r0 < view.height && c0 < view.width && r1 >= 0 && c1 >= 0)) return false;
  window.r0 = r0 < 0 ? 0 : static_cast<int>(r0);
  window.c0 = c0 < 0 ? 0 : static_cast<int>(c0);
  window.r1 = r1 >= view.height ? view.height - 1 : static_cast<int>(r1);
  window.c1 = c1 >= view.width ? view.width - 1 : static_cast<int>(c1);
  return true;
}

bool frame_window_in_view(const view_setting& setting, const image_geometry& geometry,
                          const view_params& view, footprint_window& window) {
  // Last wins places a view's pixels from its own corner, the other rules from the
  // survey's grid, so that a tile takes the whole image's pixels; each cuts its frames'
  // windows on the grid it places pixels on.
  if (setting.options.compositing.rule == composite_rule::last_wins)
    return frame_window(geometry.footprint_corners, view, 0, 0, 0, view, window);
  const survey_placement placement = place_in_survey(setting.survey, view);
  return frame_window(geometry.footprint_corners, placement.survey, placement.row_offset,
                      placement.column_offset, composite_margin_px, view, window);
}

void write_image_matrices(const image_geometry& geometry, view_params& view) {
  const arma::mat E = geometry.canonical_projection * geometry.world_to_camera;
  const arma::mat K = geometry.pixel_axes * geometry.focal_matrix;
  for (int row = 0; row < 3; ++row) {
    for (int column = 0; column < 4; ++column)
      view.camera_extrinsic[4 * row + column] = static_cast<float>(E(row, column));
    for (int column = 0; column < 3; ++column)
      view.camera_intrinsic[3 * row + column] = static_cast<float>(K(row, column));
  }
}

namespace {

// One rendering of the view with `compositing`; `lost` is set, with nothing rendered,
// when a frame best view placed from geometry alone cannot be read to be sampled, since
// the pixels it won belong to other frames then.
rendered_view render_with(const view_setting& setting, const view_params& view,
                          const std::vector<int>& chosen, view_timing* timing, view_state* state,
                          const composite_options& compositing, bool& lost) {
  rendered_view result;
  result.view = view;
  // Feathering blends finished planes: its views are always made from every frame.
  const bool goes_on = state != nullptr && compositing.rule != composite_rule::feathered &&
                       state->image.rows == view.height && state->image.cols == view.width &&
                       state->image.type() == CV_8UC3;
  // A new canvas starts black on the device; the host's is the device's, mapped at the end.
  if (goes_on) result.image = state->image.clone();

  const survey_placement placement = place_in_survey(setting.survey, view);

  view_device device(setting.gpu, compositing, setting.options.use_dem, setting.dem,
                     setting.ref_lat_deg, setting.ref_lon_deg);
  if (const cl_status status =
          device.begin(view, goes_on ? result.image : cv::Mat(), placement,
                       goes_on ? state : nullptr);
      !status.ok())
    return device_failed(std::move(result), status);

  const int count = static_cast<int>(chosen.size());
  const int step = device.reverse() ? -1 : 1;
  // What the passes draw, in order: each frame that reaches the rows a pass covers, over
  // its window's part there. Feathering's later passes go band by band, after best view
  // over the whole view.
  struct drawing {
    int pass, band_first, position;
    footprint_window window;
    bool first_band;  // the first band the frame's window reaches
  };
  std::vector<drawing> drawings;
  // Each frame's window in the view, once (none: the frame misses the view).
  std::vector<footprint_window> windows(static_cast<std::size_t>(count));
  std::vector<char> in_view(static_cast<std::size_t>(count));
  for (int position = 0; position < count; ++position)
    in_view[position] = frame_window_in_view(setting, setting.geometries[chosen[position]], view,
                                             windows[position]);
  const int band = std::max(device.band_rows(), 1);
  for (int first = 0; first < view.height; first += band) {
    for (int pass = first == 0 ? 0 : 1; pass < device.passes(); ++pass) {
      const int lo = pass == 0 ? 0 : first;
      const int hi = pass == 0 ? view.height - 1 : std::min(first + band, view.height) - 1;
      for (int n = 0; n < count; ++n) {
        const int position = step > 0 ? n : count - 1 - n;
        if (!in_view[position]) continue;
        footprint_window window = windows[position];
        const bool first_band = window.r0 >= lo;
        window.r0 = std::max(window.r0, lo);
        window.r1 = std::min(window.r1, hi);
        if (window.r0 <= window.r1) drawings.push_back({pass, first, position, window, first_band});
      }
    }
  }
  // The frames are read ahead in the order the drawings take them.
  const int drawing_count = static_cast<int>(drawings.size());
  std::vector<int> next_reading(static_cast<std::size_t>(drawing_count) + 1, drawing_count);
  for (int d = drawing_count - 1; d >= 0; --d)
    next_reading[d] = device.reads_frames(drawings[d].pass) ? d : next_reading[d + 1];
  const auto path_of = [&](int d) {
    return d < drawing_count ? setting.geometries[chosen[drawings[d].position]].path
                             : std::string();
  };
  const gpu_context& gpu = setting.gpu;
  view_params& record = result.view;
  // The first pass that reads the frames names those it leaves out and counts the others.
  int first_reading = 0;
  while (first_reading + 1 < device.passes() && !device.reads_frames(first_reading))
    ++first_reading;
  for (int d = 0; d < drawing_count; ++d) {
    const drawing& drawn = drawings[d];
    const int pass = drawn.pass;
    const int k = chosen[drawn.position];
    const image_geometry& geometry = setting.geometries[k];
    const bool reads = device.reads_frames(pass);
    if (pass > 0) {
      if (const cl_status status = device.begin_band(drawn.band_first); !status.ok())
        return device_failed(std::move(result), status);
    }
    if (timing == nullptr && reads) {
      const int next = next_reading[d + 1];
      setting.frames.prefetch(path_of(next),
                              path_of(next_reading[std::min(next + 1, drawing_count)]));
    }
    auto start = clock_type::now();
    const cv::Mat frame = reads ? setting.frames.frame(geometry.path) : cv::Mat();
    if (timing != nullptr) timing->frames_s += seconds_since(start);
    // The upload copies a whole configured frame: anything else would read past the
    // image or shear it, so such a frame is left out of the view.
    if (reads && (frame.empty() || frame.cols != gpu.image_width() ||
                  frame.rows != gpu.image_height() || frame.type() != CV_8UC3 ||
                  !frame.isContinuous())) {
      if (pass > first_reading) continue;
      if (pass > 0) {
        lost = true;
        return result;
      }
      console_printf("image not projected, missing or not %dx%d pixels: %s\n",
                     gpu.image_width(), gpu.image_height(), geometry.path.c_str());
      continue;
    }
    write_image_matrices(geometry, record);
    start = clock_type::now();
    if (const cl_status status = device.draw(pass, geometry, frame, drawn.window, record);
        !status.ok())
      return device_failed(std::move(result), status);
    if (timing != nullptr) {
      if (const cl_status status = setting.gpu.finish(); !status.ok())
        return device_failed(std::move(result), status);
      timing->launches_s += seconds_since(start);
      timing->window_megapixels += double(drawn.window.rows()) * drawn.window.cols() / 1e6;
    }
    if (pass != first_reading || !drawn.first_band) continue;
    ++result.projected;
    if (k % 20 != 0) continue;
    // Only a display can show an intermediate state; the canvas is the device's buffer,
    // mapped at the end, either way.
    if (display_available()) {
      if (const cl_status status = device.read_output(result.image); !status.ok())
        return device_failed(std::move(result), status);
    }
    show_preview(result.image, setting.options.preview_scale);
  }
  const auto start = clock_type::now();
  if (const cl_status status = device.finish(result.image, result.planes, state);
      !status.ok())
    return device_failed(std::move(result), status);
  if (timing != nullptr) timing->readback_s += seconds_since(start);
  show_preview(result.image, setting.options.preview_scale);
  result.status = result.projected > 0 ? view_status::rendered : view_status::nothing_projected;
  return result;
}

}  // namespace

rendered_view render_view_canvas(const view_setting& setting, const view_params& view,
                                 const std::vector<int>& chosen, view_timing* timing,
                                 view_state* state) {
  require_view_size(view);
  console_printf("generating DEM for View, %s\n", setting.options.DEM_name.c_str());
  // The compositing rules are ours: their view DEM's nodes sit at exact positions.
  setting.dem.exact_nodes = setting.options.compositing.rule != composite_rule::last_wins;
  if (build_view_dem(setting.dem, view) == 0) {
    rendered_view result;
    result.view = view;
    result.status = view_status::dem_not_covered;
    return result;
  }
  composite_options compositing = setting.options.compositing;
  compositing.frames_never_black = setting.frames.never_black();
  bool lost = false;
  rendered_view result = render_with(setting, view, chosen, timing, state, compositing, lost);
  if (!lost) return result;
  // Drawn again in one pass, which tests every frame before it takes a pixel.
  compositing.frames_never_black = false;
  return render_with(setting, view, chosen, timing, state, compositing, lost);
}

}  // namespace aeroquilt
