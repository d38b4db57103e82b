#include "imaging/composite.h"

#include <algorithm>
#include <cmath>

#include "base/console.h"
#include "imaging/preview.h"
#include "imaging/view_projection.h"

namespace aeroquilt {
namespace {

// Pixels added around a footprint's window: rays near a frame edge over relief can fall
// just outside the box of the corner points.
constexpr int window_margin_px = 2;

// The record fields that stay the same for every image of the view.
composite_record view_record(const survey_placement& placement, const view_dem& dem, bool use_dem,
                             bool absolute, double ref_lat_deg, double ref_lon_deg,
                             const composite_options& options) {
  composite_record record;
  record.origin_x = placement.survey.x_min;
  record.origin_y = placement.survey.y_max;
  record.row_offset = placement.row_offset;
  record.column_offset = placement.column_offset;
  record.feather_pixels = options.feather_pixels;
  record.ref_lat_deg = static_cast<float>(ref_lat_deg);
  record.ref_lon_deg = static_cast<float>(ref_lon_deg);
  if (use_dem) record.flags |= composite_use_dem;
  if (use_dem && absolute && dem.grid && dem.cell_size > 0.0f) {
    // Cells counted from the DEM file's corner in double precision: the reference
    // point's cell and fraction are the same for every view, and the view DEM's first
    // node is a whole number of cells from that corner.
    const double cs = dem.cell_size;
    const double t_lat = (ref_lat_deg - dem.grid->south_latitude) / cs;
    const double t_lon = (ref_lon_deg - dem.grid->west_longitude) / cs;
    const double start_row = std::round((dem.lat_start - dem.grid->south_latitude) / cs);
    const double start_col = std::round((dem.lon_start - dem.grid->west_longitude) / cs);
    record.dem_fraction_lat = static_cast<float>(t_lat - std::floor(t_lat));
    record.dem_fraction_lon = static_cast<float>(t_lon - std::floor(t_lon));
    record.dem_row = static_cast<int32_t>(std::floor(t_lat) - start_row);
    record.dem_column = static_cast<int32_t>(std::floor(t_lon) - start_col);
    record.flags |= composite_absolute_dem;
  }
  return record;
}

// The image's window in the view, cut on the survey's grid (not clamped to it: tiles
// reach past the survey) so that every tile takes the same pixels; false when it
// misses the view.
bool placed_window(const image_geometry& geometry, const survey_placement& placement,
                   const view_params& view, footprint_window& window) {
  const arma::mat& footprint = geometry.footprint_corners;
  const double p = placement.survey.pixel_size;
  if (!(p > 0)) return false;
  const double x_min = placement.survey.x_min, y_max = placement.survey.y_max;
  const double c0 = std::floor((footprint.col(0).min() - x_min) / p);
  const double c1 = std::floor((footprint.col(0).max() - x_min) / p);
  const double r0 = std::floor((y_max - footprint.col(1).max()) / p);
  const double r1 = std::floor((y_max - footprint.col(1).min()) / p);
  const double first_row = r0 - placement.row_offset - window_margin_px;
  const double last_row = r1 - placement.row_offset + window_margin_px;
  const double first_col = c0 - placement.column_offset - window_margin_px;
  const double last_col = c1 - placement.column_offset + window_margin_px;
  if (!(first_row < view.height && first_col < view.width && last_row >= 0 && last_col >= 0))
    return false;
  window.r0 = static_cast<int>(std::max(first_row, 0.0));
  window.c0 = static_cast<int>(std::max(first_col, 0.0));
  window.r1 = static_cast<int>(std::min(last_row, view.height - 1.0));
  window.c1 = static_cast<int>(std::min(last_col, view.width - 1.0));
  return true;
}

}  // namespace

survey_placement place_in_survey(const view_params& survey, const view_params& view) {
  survey_placement placement;
  placement.survey = survey;
  const double p = survey.pixel_size;
  if (p > 0) {
    placement.column_offset =
        static_cast<int>(std::lround((double(view.x_min) - survey.x_min) / p));
    placement.row_offset = static_cast<int>(std::lround((double(survey.y_max) - view.y_max) / p));
  }
  return placement;
}

render_result render_composite_view(output_canvas& canvas, const survey_placement& placement,
                                    const std::vector<image_geometry>& geometries,
                                    const view_dem& dem, frame_source& frames, gpu_context& gpu,
                                    bool use_dem, double ref_lat_deg, double ref_lon_deg,
                                    double preview_scale, const composite_options& options,
                                    composite_planes& planes) {
  render_result result;
  view_params& view = canvas.view;
  const bool last_wins = options.rule == composite_rule::last_wins;
  const bool feathered = options.rule == composite_rule::feathered;
  if (!gpu.create_view_buffers(view, canvas.image.data)) return result;
  if (!gpu.create_composite_planes(feathered, use_dem ? dem.dem_buffer.data() : nullptr,
                                   use_dem ? dem.buffer_size : 0)) {
    return result;
  }
  result.device_buffer = true;

  // Last wins: the planes follow the view's own kernels, so they take the view's own
  // pixel placement and DEM arithmetic.
  survey_placement own;
  own.survey = view;
  composite_record base = view_record(last_wins ? own : placement, dem, use_dem, !last_wins,
                                      ref_lat_deg, ref_lon_deg, options);
  if (last_wins) base.flags |= composite_last_wins;
  if (!last_wins) base.flags |= composite_write_colour;
  if (feathered) base.flags |= composite_extras;

  const int count = static_cast<int>(geometries.size());
  // One pass over the images; feathering makes a second.
  for (int pass = 0; pass < (feathered ? 2 : 1); ++pass) {
    for (int k = 0; k < count; ++k) {
      const image_geometry& geometry = geometries[k];
      footprint_window window;
      if (last_wins) {
        if (!view_window(geometry.footprint_corners, view, window)) continue;
      } else if (!placed_window(geometry, placement, view, window)) {
        continue;
      }
      frames.prefetch(k + 1 < count ? geometries[k + 1].path : std::string(),
                      k + 2 < count ? geometries[k + 2].path : std::string());
      const cv::Mat image = frames.frame(geometry.path);
      if (image.empty() || image.cols != gpu.image_width() || image.rows != gpu.image_height() ||
          image.type() != CV_8UC3 || !image.isContinuous()) {
        if (pass == 0) {
          console_printf("image not projected, missing or not %dx%d pixels: %s\n",
                         gpu.image_width(), gpu.image_height(), geometry.path.c_str());
        }
        continue;
      }
      write_image_matrices(geometry, view);
      composite_record record = base;
      for (int axis = 0; axis < 3; ++axis)
        record.camera[axis] = static_cast<float>(geometry.camera_position(axis));
      record.source = std::clamp(geometry.log_line, 0, 65535);
      if (last_wins) {
        if (use_dem) {
          gpu.enqueue_projection_dem(image.data, window.r0, window.rows(), window.c0, window.cols(),
                                     view, dem.dem_buffer.data(), dem.buffer_size,
                                     static_cast<float>(ref_lat_deg),
                                     static_cast<float>(ref_lon_deg));
        } else {
          gpu.enqueue_projection(image.data, window.r0, window.rows(), window.c0, window.cols(),
                                 view);
        }
      }
      gpu.enqueue_composite(pass == 1, image.data, window.r0, window.rows(), window.c0,
                            window.cols(), view, &record);
      if (pass == 0) ++result.projected;
    }
  }
  if (feathered) gpu.enqueue_composite_blend(view, options.feather_pixels);

  gpu.read_view_output(canvas.image.data);
  if (options.source_map || options.angle_map) {
    const std::size_t pixels = static_cast<std::size_t>(view.width) * view.height;
    planes.source.assign(pixels, 0);
    planes.angle_deg.assign(pixels, 0.0f);
    gpu.read_composite_planes(planes.angle_deg.data(), planes.source.data());
    // The device keeps the squared tangent of the angle, which orders as the angle does.
    for (float& angle : planes.angle_deg)
      angle = static_cast<float>(std::atan(std::sqrt(double(angle))) * 180.0 / M_PI);
  }
  show_preview(canvas.image, preview_scale);
  gpu.release_view_buffers();
  return result;
}

}  // namespace aeroquilt
