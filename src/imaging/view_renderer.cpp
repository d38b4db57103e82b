#include "imaging/view_renderer.h"

#include <cstdint>
#include <string>

#include "base/console.h"
#include "base/fatal_error.h"
#include "imaging/preview.h"
#include "imaging/view_projection.h"

namespace aeroquilt {

void install_view(output_canvas& canvas, const view_params& view) {
  canvas.view = view;
  if (view.width < 1 || view.height < 1) {
    const std::string message = "invalid view size " + std::to_string(view.width) + " x " +
                                std::to_string(view.height) + "\n";
    console_printf("%s", message.c_str());
    throw fatal_error(message);
  }
  const int64_t pixels = static_cast<int64_t>(view.width) * static_cast<int64_t>(view.height);
  if (pixels > 2500000000LL) {
    console_printf("output range error\n");
    throw fatal_error("output range error\n");
  }
  canvas.image = cv::Mat::zeros(view.height, view.width, CV_8UC3);
}

render_result render_view_images(output_canvas& canvas, const std::vector<image_geometry>& geometries,
                                 const view_dem& dem, frame_source& frames, gpu_context& gpu,
                                 bool use_dem, double ref_lat_deg, double ref_lon_deg,
                                 double preview_scale) {
  render_result result;
  // Without its output buffer a view would be read back as all black.
  if (!gpu.create_view_buffers(canvas.view, canvas.image.data)) return result;
  result.device_buffer = true;
  // The last image to see a pixel owns it. Taken from the last image back, with a claim
  // mask, each pixel is sampled once; without the mask (no memory for it) they are
  // taken in flight-log order, each overwriting the earlier ones.
  const int count = static_cast<int>(geometries.size());
  const bool reverse = gpu.create_claim_mask();
  const int step = reverse ? -1 : 1;
  for (int i = 0; i < count; ++i) {
    const int k = reverse ? count - 1 - i : i;
    if (project_view_image(k, step, geometries, frames, gpu, canvas.view, dem, use_dem, ref_lat_deg,
                           ref_lon_deg) == 0)
      continue;
    ++result.projected;
    if (k % 20 == 0) {
      // Only a display can show an intermediate state; the final read-back below
      // fills the raster either way.
      if (display_available()) gpu.read_view_output(canvas.image.data);
      show_preview(canvas.image, preview_scale);
    }
  }
  gpu.read_view_output(canvas.image.data);
  show_preview(canvas.image, preview_scale);
  gpu.release_view_buffers();
  return result;
}

}  // namespace aeroquilt
