#pragma once
// The configuration record of a run and its reader.

#include <cstdint>
#include <string>

#include "base/field_parsers.h"

namespace aeroquilt {

// One run's settings, fields named after their keys. Numbers are 0 and texts
// empty unless the file gives them; `image_kx` is derived when left 0.
struct config_params {
  int32_t image_width_pixels = 0;
  int32_t image_height_pixels = 0;
  double image_kx = 0;
  double camera_f = 0;
  double camera_sensor_width = 0;
  int32_t image_channels = 0;
  double RPH_scale[3] = {0, 0, 0};   // roll, pitch, heading
  double RPH_offset[3] = {0, 0, 0};  // degrees
  double Lever_Arm[3] = {0, 0, 0};
  double topo_height = 0;         // metres
  double meridian_longitude = 0;  // degrees
  std::string DEM_filename;
  std::string image_dir;
  std::string image_dir_raw;
  std::string output_dir;
  std::string FPO_file;
  std::string output_filename;
  std::string output_DEM_filename;
  int32_t generate_DEM_image = 0;
  double output_pixel_size = 0;  // metres
  int32_t output_tile_size_pixels = 0;
  int32_t do_average_image_error_removal = 0;
  double image_data_multiplier = 0;
  double image_error_multiplier = 0;
  double desired_image_intensity = 0;
  double vingette_removal_multiplier = 0;
  int32_t project_subview_only = 0;
  double subview_min_lon = 0;
  double subview_max_lon = 0;
  double subview_min_lat = 0;
  double subview_max_lat = 0;
  double projection_angle_limit = 0;  // degrees; 0 selects 80
  int32_t use_16bit_image_input = 0;
  double tau_set_min_temp = 0;  // degrees Celsius
  double tau_set_max_temp = 0;
  int32_t USE_DEM = 0;
  int32_t convert_to_jet_colormap = 0;
  // Lens of the frames (Brown model, OpenCV's order); all 0: frames used as read.
  double lens_principal_offset_x = 0;  // pixels right of column image_width_pixels/2
  double lens_principal_offset_y = 0;  // pixels below row image_height_pixels/2
  double lens_k1 = 0;
  double lens_k2 = 0;
  double lens_p1 = 0;
  double lens_p2 = 0;
  double lens_k3 = 0;
  // 1: a pixel size more than 20 times finer than the frames' ground resolution is
  // accepted (otherwise the run is refused before projecting).
  int32_t allow_fine_pixel_size = 0;
  // Threads of the PNG encoder of mosaic views: 0 all cores, 1 the single-threaded
  // library encoder (the bytes of earlier versions).
  int32_t png_encode_threads = 0;
  // Compositing where frames overlap: 0 last image wins, 1 best view, 2 best view with
  // feathered seams; and the per-pixel maps written beside each view.
  int32_t composite_mode = 0;
  double seam_feather_pixels = 0;  // 0 selects 16
  int32_t write_source_map = 0;
  int32_t write_view_angle_map = 0;
  // The local frame's reference point in degrees (otherwise the survey centre); which of
  // the two were given: 1 reference_lon, 2 reference_lat.
  double reference_lon = 0;
  double reference_lat = 0;
  int32_t reference_given = 0;
  // Live runs: seconds a flight-log line waits for its frame (0: 30).
  double live_frame_wait_seconds = 0;
  // 1: a tiled mosaic is also one GIS layer (<name>.vrt, and of each map); 1: also the
  // web map (OUTDIR/web/: XYZ tiles, a Leaflet page), which implies the GIS layer.
  int32_t write_gis_layer = 0;
  int32_t write_web_tiles = 0;
  // The OpenCL platform to run on: the first whose name contains this text (empty: the
  // first platform).
  std::string opencl_platform;
  // 1: one gain per frame and channel, solved from the frames' overlaps, takes the
  // brightness steps out of the seams (0: frames as read).
  int32_t colour_balance = 0;
};

// Reads the file at `path` into `config` (reset to all zero first); a CR LF line end
// counts as LF. Returns 1 when the file opened, 0 (after "Config file not found\n")
// when not. `key_lines`, when given, receives the number of lines that set a key.
int load_config(const std::string& path, config_params& config, int* key_lines = nullptr);

}  // namespace aeroquilt
