#include "app/job_size.h"

#include <algorithm>
#include <cmath>

#include "base/console.h"
#include "base/input_file.h"
#include "output/view_files.h"

namespace aeroquilt {
namespace {

constexpr double kFinestPixelRatio = 20.0;  // pixel size finer than frame resolution / 20
constexpr double kGigabyte = 1024.0 * 1024.0 * 1024.0;

}  // namespace

double bytes_per_view_pixel(bool png_output) {
  // Canvas (3) and device buffer (3); PNG: transparent copy (4, the library encoder's)
  // and an encoded file that may be as large, which also covers the claim plane (4) of
  // last wins; other formats: the claim plane (4) and the encoded file (3).
  return png_output ? 3.0 + 3.0 + 4.0 + 4.0 : 3.0 + 3.0 + 4.0 + 3.0;
}

job_size measure_job(const view_params& survey, const tile_plan& plan, bool png_output,
                     double extra_bytes_per_pixel) {
  job_size size;
  size.views = plan.count();
  if (plan.whole) {
    size.pixels = static_cast<int64_t>(survey.width) * survey.height;
    size.largest_width = survey.width;
    size.largest_height = survey.height;
  } else {
    const int64_t tile_side = plan.side + tile_overlap_pixels;
    size.pixels = size.views * tile_side * tile_side;
    size.largest_width = size.largest_height = static_cast<int>(tile_side);
  }
  size.view_bytes = static_cast<double>(size.largest_width) * size.largest_height *
                    (bytes_per_view_pixel(png_output) + extra_bytes_per_pixel);
  return size;
}

double finest_frame_resolution_m(const std::vector<image_geometry>& geometries) {
  double finest = 0.0;
  for (const image_geometry& geometry : geometries) {
    if (geometry.footprint_corners.n_rows < 4 || geometry.camera_position.n_elem < 3) continue;
    double ground = 0.0;
    for (int row = 0; row < 4; ++row) ground += geometry.footprint_corners(row, 2) / 4.0;
    const double height = geometry.camera_position(2) - ground;
    if (!(height > 0.0 && geometry.focal_length_px > 0.0)) continue;
    const double resolution = height / geometry.focal_length_px;
    if (finest == 0.0 || resolution < finest) finest = resolution;
  }
  return finest;
}

bool job_acceptable(const job_size& size, bool tiled, double pixel_size, double finest_frame_m,
                    bool allow_fine_pixel_size, uint64_t available_bytes) {
  console_printf(
      "job: %lld view%s of up to %d x %d pixels, %.1f megapixels in all, about %.1f MB "
      "of memory per view\n",
      static_cast<long long>(size.views), size.views == 1 ? "" : "s", size.largest_width,
      size.largest_height, static_cast<double>(size.pixels) / 1e6,
      size.view_bytes / (1024.0 * 1024.0));
  if (finest_frame_m > 0.0 && pixel_size * kFinestPixelRatio < finest_frame_m &&
      !allow_fine_pixel_size) {
    console_printf(
        "output_pixel_size %g m is more than 20 times finer than the frames' ground resolution "
        "(%.3g m at best): the views would grow without adding detail; give a larger "
        "output_pixel_size, or allow_fine_pixel_size,1 to run it anyway\n",
        pixel_size, finest_frame_m);
    return false;
  }
  if (available_bytes > 0 && size.view_bytes > static_cast<double>(available_bytes)) {
    console_printf(
        "a view of %d x %d pixels needs about %.1f GB of memory, the machine has %.1f GB "
        "available: %s\n",
        size.largest_width, size.largest_height, size.view_bytes / kGigabyte,
        static_cast<double>(available_bytes) / kGigabyte,
        tiled ? "give a smaller output_tile_size_pixels" : "tile it with output_tile_size_pixels");
    return false;
  }
  return true;
}

bool check_job_size(const mosaic_request& request, const mosaic_job& job, const view_params& survey,
                    const tile_plan& plan) {
  std::size_t extension_position = 0;
  const bool png = find_output_extension(request.joined, extension_position) >= 4;
  // The device's score (4) and source (4) planes, feathering's two float4 planes, and
  // each map converted and encoded.
  const composite_options& compositing = request.views.compositing;
  const double extra = (compositing.active() ? 8.0 : 0.0) +
                       (compositing.rule == composite_rule::feathered ? 32.0 : 0.0) +
                       (compositing.source_map ? 4.0 + 4.0 : 0.0) +
                       (compositing.angle_map ? 4.0 + 4.0 : 0.0);
  const job_size size = measure_job(survey, plan, png, extra);
  return job_acceptable(size, size.views > 1, survey.pixel_size,
                        finest_frame_resolution_m(job.geometries), request.allow_fine_pixel_size,
                        available_memory_bytes());
}

}  // namespace aeroquilt
