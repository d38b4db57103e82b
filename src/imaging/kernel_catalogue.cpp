#include "imaging/kernel_catalogue.h"

namespace aeroquilt {

const kernel_signature& signature_of(kernel_id kernel) {
  // Bayer, Copy and block_correlation are created and never launched.
  static const kernel_signature signatures[kernel_count] = {
      {"Bayer", {"raw", "bgr", "width", "height"}},
      {"project_image", {"image_width", "image_height", "view", "output", "image"}},
      {"block_correlation", {"first", "second", "sad", "width", "height", "block"}},
      {"Copy", {"source", "destination", "count"}},
      {"project_image_dem",
       {"image_width", "image_height", "view", "output", "image", "dem", "dem_bytes", "ref_lat_deg",
        "ref_lon_deg"}},
      {"project_image_claimed",
       {"image_width", "image_height", "view", "output", "image", "claimed", "line", "footprint",
        "span", "cols"}},
      {"project_image_dem_claimed",
       {"image_width", "image_height", "view", "output", "image", "dem", "dem_bytes", "ref_lat_deg",
        "ref_lon_deg", "claimed", "line"}},
      {"composite_best_view",
       {"image_width", "image_height", "view", "output", "image", "dem", "dem_bytes", "rec",
        "score", "source", "best", "plane_row"}},
      {"composite_feather",
       {"image_width", "image_height", "view", "output", "image", "dem", "dem_bytes", "rec",
        "score", "source", "best", "sum", "plane_row", "cameras", "camera_count"}},
      {"composite_blend", {"view", "output", "best", "sum", "feather", "plane_row"}},
      {"composite_best_view_flat",
       {"image_width", "image_height", "view", "rec", "score", "source", "span", "cols"}},
      {"composite_sample_won_flat",
       {"image_width", "image_height", "view", "output", "image", "rec", "source", "span",
        "cols"}},
      {"composite_extras_flat",
       {"image_width", "image_height", "view", "rec", "source", "best", "plane_row", "span",
        "cols"}},
      {"composite_feather_flat",
       {"image_width", "image_height", "view", "output", "image", "rec", "score", "source", "best",
        "sum", "plane_row", "cameras", "camera_count", "span", "cols"}},
      {"composite_won_bounds", {"view", "source", "bounds", "line_count"}},
      {"fill_blocks", {"buffer", "pattern"}},
  };
  return signatures[static_cast<int>(kernel)];
}

bool spans_rows(kernel_id kernel) {
  return kernel == kernel_id::project_image_claimed ||
         kernel == kernel_id::composite_best_view_flat ||
         kernel == kernel_id::composite_sample_won_flat ||
         kernel == kernel_id::composite_extras_flat ||
         kernel == kernel_id::composite_feather_flat;
}

}  // namespace aeroquilt
