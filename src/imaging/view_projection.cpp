#include "imaging/view_projection.h"

#include <cmath>

#include "base/console.h"

namespace aeroquilt {

bool view_window(const arma::mat& footprint, const view_params& view, footprint_window& window) {
  const double xmin = footprint.col(0).min(), xmax = footprint.col(0).max();
  const double ymin = footprint.col(1).min(), ymax = footprint.col(1).max();
  const double x_min = view.x_min, y_max = view.y_max, p = view.pixel_size;
  // Quotients truncated toward zero, as the window is specified.
  const double c0 = std::trunc((xmin - x_min) / p), c1 = std::trunc((xmax - x_min) / p);
  const double r0 = std::trunc(-(ymax - y_max) / p), r1 = std::trunc(-(ymin - y_max) / p);
  if (!(r0 < view.height) || !(c0 < view.width) || r1 < 0 || c1 < 0) return false;
  window.r0 = r0 < 0 ? 0 : static_cast<int>(r0);
  window.c0 = c0 < 0 ? 0 : static_cast<int>(c0);
  window.r1 = r1 >= view.height ? view.height - 1 : static_cast<int>(r1);
  window.c1 = c1 >= view.width ? view.width - 1 : static_cast<int>(c1);
  return true;
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

int project_view_image(int index, int step, const std::vector<image_geometry>& geometries,
                       frame_source& frames, gpu_context& gpu, view_params& view,
                       const view_dem& dem, bool use_dem, double ref_lat_deg, double ref_lon_deg) {
  const image_geometry& geometry = geometries[index];
  footprint_window window;
  if (!view_window(geometry.footprint_corners, view, window)) return 0;

  const int count = static_cast<int>(geometries.size());
  const auto path_at = [&](int i) {
    return i >= 0 && i < count ? geometries[i].path : std::string();
  };
  frames.prefetch(path_at(index + step), path_at(index + 2 * step));

  const cv::Mat image = frames.frame(geometry.path);
  // The upload copies a whole configured frame: anything else would read past the
  // image or shear it, so such an image is left out of the view.
  if (image.empty() || image.cols != gpu.image_width() || image.rows != gpu.image_height() ||
      image.type() != CV_8UC3 || !image.isContinuous()) {
    console_printf("image not projected, missing or not %dx%d pixels: %s\n", gpu.image_width(),
                   gpu.image_height(), geometry.path.c_str());
    return 0;
  }

  write_image_matrices(geometry, view);
  if (use_dem) {
    gpu.enqueue_projection_dem(image.data, window.r0, window.rows(), window.c0, window.cols(), view,
                               dem.dem_buffer.data(), dem.buffer_size,
                               static_cast<float>(ref_lat_deg), static_cast<float>(ref_lon_deg));
  } else {
    gpu.enqueue_projection(image.data, window.r0, window.rows(), window.c0, window.cols(), view);
  }
  return 1;
}

}  // namespace aeroquilt
