#include "app/job.h"

namespace aeroquilt {

config_params g_config;

flight_log_options flight_log_options_of(const config_params& config) {
  flight_log_options options;
  options.projection_angle_limit = config.projection_angle_limit;
  options.meridian_longitude = config.meridian_longitude;
  return options;
}

camera_options camera_options_of(const config_params& config) {
  camera_options options;
  options.image_width_pixels = config.image_width_pixels;
  options.image_height_pixels = config.image_height_pixels;
  options.image_kx = config.image_kx;
  for (int k = 0; k < 3; ++k) {
    options.RPH_scale[k] = config.RPH_scale[k];
    options.RPH_offset[k] = config.RPH_offset[k];
  }
  options.topo_height = config.topo_height;
  return options;
}

frame_options frame_options_of(const config_params& config) {
  frame_options options;
  options.image_width_pixels = config.image_width_pixels;
  options.image_height_pixels = config.image_height_pixels;
  options.use_16bit_image_input = config.use_16bit_image_input;
  options.do_average_image_error_removal = config.do_average_image_error_removal;
  options.tau_set_min_temp = config.tau_set_min_temp;
  options.tau_set_max_temp = config.tau_set_max_temp;
  options.lens.focal_length_px = config.image_kx;
  options.lens.principal_offset_x = config.lens_principal_offset_x;
  options.lens.principal_offset_y = config.lens_principal_offset_y;
  options.lens.k1 = config.lens_k1;
  options.lens.k2 = config.lens_k2;
  options.lens.p1 = config.lens_p1;
  options.lens.p2 = config.lens_p2;
  options.lens.k3 = config.lens_k3;
  return options;
}

projection_options projection_options_of(const config_params& config) {
  projection_options options;
  options.image_data_multiplier = config.image_data_multiplier;
  options.convert_to_jet_colormap = config.convert_to_jet_colormap;
  options.USE_DEM = config.USE_DEM;
  return options;
}

composite_options composite_options_of(const config_params& config) {
  composite_options options;
  // Values outside 0..2 are checked with the configuration; any other keeps last wins.
  if (config.composite_mode == 1) options.rule = composite_rule::best_view;
  if (config.composite_mode == 2) options.rule = composite_rule::feathered;
  if (config.seam_feather_pixels > 0)
    options.feather_pixels = static_cast<float>(config.seam_feather_pixels);
  options.source_map = config.write_source_map != 0;
  options.angle_map = config.write_view_angle_map != 0;
  return options;
}

}  // namespace aeroquilt
