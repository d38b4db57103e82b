#pragma once
// Synthetic survey with known ground truth, for end-to-end tests, the demo and benchmarks.
//
// The survey maker writes a complete run (configuration, flight log, DEM, camera
// images) of a made-up ground texture draped over analytic terrain, and keeps
// everything needed to say what the mosaic should show. It deliberately shares no
// code with src/: its ray caster and its conversions are written afresh from
// the frame and camera conventions, so that a fault in the system cannot hide in both.
//
// Frames: geographic degrees (WGS84); the local frame of a run has its origin at
// the survey centre, x east and y north in metres, z up in metres with z = 0 at
// topo_height.

#include <array>
#include <opencv2/core.hpp>
#include <string>
#include <utility>
#include <vector>

namespace aeroquilt::testing {

enum class survey_image_format {
  png,        // 8-bit colour PNG
  raw_rgb,    // headered raw BGR frames; file names contain "rgb"
  thermal16,  // 16-bit single-channel PNG of radiometric counts
  jpeg,       // 8-bit colour JPEG (OpenCV's default quality 95), lossy
  tiff,       // 8-bit colour TIFF, lossless
};

// Everything that shapes a survey. The defaults make a small survey (3 lines of
// 5 frames of 160 x 120 pixels, about 0.5 m ground resolution) that a test
// projects in well under a second.
struct survey_design {
  // Place and heights.
  double centre_latitude_deg = 45.3;
  double centre_longitude_deg = 9.2;
  double topo_height_m = 120.0;
  double meridian_longitude_deg = 9.0;
  double flight_height_m = 250.0;  // camera height above topo_height

  // Camera.
  int image_width = 160;
  int image_height = 120;
  double focal_length_px = 500.0;
  bool focal_from_sensor = false;  // configure camera_f and camera_sensor_width instead of image_kx
  int supersampling = 2;           // n x n rays per camera pixel

  // Flight lines: even lines fly heading_deg, odd lines the reverse.
  int line_count = 3;
  int images_per_line = 5;
  double line_spacing_m = 45.0;
  double image_spacing_m = 24.0;
  double heading_deg = 30.0;
  double attitude_jitter_deg = 1.5;  // roll and pitch drawn uniformly within +-this
  // Pitch added to the frames, forward and back in turn along each line, so that the
  // overlaps see the ground from both sides.
  double tilt_deg = 0.0;
  double heading_jitter_deg = 1.0;
  unsigned seed = 7;

  // Terrain: hills (tens of metres, relative to topo_height) or flat; the DEM
  // file is written either way, since the system always loads it.
  bool hills = false;
  bool use_dem = false;
  double dem_cell_deg = 0.00015;  // about 17 m north-south, 12 m east-west at 45 degrees
  double dem_margin_m = 300.0;    // DEM extent beyond the footprints' bounding box
  // The DEM file given to the tool holds relief_scale * hills + offset, not the true
  // terrain (the truth and the frames keep the true hills): a poor DEM.
  double dem_relief_scale = 1.0;
  double dem_height_offset_m = 0.0;

  // Images and flight log.
  survey_image_format image_format = survey_image_format::png;
  bool flat_colour_frames = false;  // each frame one flat colour, flat_frame_bgr(index)
  // Brightness of frame i times 1 + exposure_step * ((3 i) mod 5 - 2) / 2: the exposure
  // differences that make seams visible (the truth keeps the ground's own colours).
  double exposure_step = 0.0;
  // Brightness of each ray times 1 + view_angle_brightness * e, e the east component of
  // the unit ray from the camera to the ground: ground seen looking east is brighter (the
  // sun low in the west, behind the camera), so one place differs between the frames that
  // see it from either side.
  double view_angle_brightness = 0.0;
  bool utm_positions = false;   // log easting and northing instead of degrees
  double thermal_min_c = 0.0;   // tau_set_min_temp
  double thermal_max_c = 40.0;  // tau_set_max_temp

  // What a survey crew brings instead of a flight log and a DEM file.
  bool tagged_frames = false;  // EXIF GPS and drone-dji XMP attitude in each JPEG or TIFF frame
  // Brown distortion of the frames (OpenCV's model and order); the principal point
  // lies this far right of and below column W/2, row H/2 counted from 1. When any is
  // set the frames show it. camera.yaml (OpenCV) holds the calibration when the frames
  // are distorted, tagged or have a poses file.
  double lens_k1 = 0, lens_k2 = 0, lens_p1 = 0, lens_p2 = 0, lens_k3 = 0;
  double principal_offset_x_px = 0, principal_offset_y_px = 0;
  bool geotiff_dem = false;  // also terrain_utm.tif: heights above the datum, UTM
  // Also poses_utm.csv: name, x, y, z, omega, phi, kappa in the UTM zone (north).
  bool utm_poses_csv = false;
  // The poses file as some crews write it: poses_utm.txt, its cells separated by spaces,
  // and/or the frames named without their extension.
  bool poses_space_separated = false;
  bool poses_names_without_extension = false;
  // Tagged frames that lost their EXIF GPS directory: position only in XMP
  // drone-dji:GpsLatitude, the misspelt GpsLongtitude and AbsoluteAltitude.
  bool xmp_positions = false;
  // 0: drone-dji:CalibratedFocalLength for the frames as they are. N > 0: the frames were
  // resized to 1/N of the sensor, and the tags describe the sensor in its own pixels:
  // CalibratedFocalLength, CalibratedOpticalCenterX/Y (half the sensor's size) and
  // DewarpData ("DATE;fx,fy,cx,cy,k1,k2,p1,p2,k3", cx and cy the principal point's
  // offset from the sensor's centre) with the design's lens.
  double sensor_factor = 0;
  // Also interior.yaml: the lens as interior parameters of the sensor (N times the frames
  // with sensor_factor N, else the frames): camera id "synthetic FC1", type brown, focal
  // length in millimetres with sensor_size, cx and cy in OpenCV's zero-based pixels.
  bool interior_yaml = false;
  // File names are PREFIX + three digits (+ "rgb_" before them for raw frames); a prefix
  // holding "rgb" or a comma makes frames the system itself cannot read by name.
  std::string frame_name_prefix = "img_";
  double geotiff_cell_m = 5.0;

  // Output settings.
  double output_pixel_size_m = 0.5;
  int output_tile_size_pixels = 100000000;
  std::string output_filename = "mosaic.png";
  double image_data_multiplier = 1.0;
  bool jet_colormap = false;
  bool generate_dem_image = false;
  std::string output_dem_filename = "dem.png";
  std::string extra_config;  // lines appended to survey.cfg as they are
  bool project_subview_only = false;
  double subview_min_lon = 0.0, subview_max_lon = 0.0;
  double subview_min_lat = 0.0, subview_max_lat = 0.0;
};

// One camera of the survey, with the values exactly as the flight log gives them.
struct survey_camera {
  std::string name;  // file name inside the image folder
  double latitude_deg = 0.0, longitude_deg = 0.0;
  double easting_m = 0.0, northing_m = 0.0;  // as logged in the UTM variant
  double altitude_m = 0.0;
  double roll_deg = 0.0, pitch_deg = 0.0, heading_deg = 0.0;
  std::array<double, 3> position_m{};       // C in the local frame
  std::array<double, 9> camera_to_local{};  // A, row-major: camera axes to local axes
};

// Paths of the survey's files; folders end with "/".
struct survey_files {
  std::string folder;
  std::string image_dir;
  std::string flight_log;
  std::string dem;
  std::string config;
  std::string output_dir;
  std::string mosaic;         // output_dir + output_filename
  std::string world_file;     // the mosaic's world file (extension replaced by "tfw")
  std::string geotiff_dem;    // terrain_utm.tif
  std::string calibration;    // camera.yaml
  std::string poses_csv;      // poses_utm.csv (poses_utm.txt when space-separated)
  std::string interior_yaml;  // interior.yaml
};

// The DEM file's header values.
struct survey_dem_grid {
  int column_count = 0, row_count = 0;
  double west_longitude = 0.0, south_latitude = 0.0, cell_size = 0.0;
};

struct geo_point {
  double latitude_deg = 0.0;
  double longitude_deg = 0.0;
};

struct local_point {
  double x_m = 0.0, y_m = 0.0, z_m = 0.0;
};

// The survey as made: its cameras, its frame and the ground truth.
class survey_truth {
 public:
  survey_design design;
  survey_files files;
  std::vector<survey_camera> cameras;
  double centre_latitude_deg = 0.0, centre_longitude_deg = 0.0;  // survey centre
  double radius_east_m = 0.0, radius_north_m = 0.0;              // N and M at the centre
  survey_dem_grid dem;

  geo_point local_to_geographic(double x_m, double y_m) const;
  local_point geographic_to_local(double latitude_deg, double longitude_deg) const;

  // Ground height relative to topo_height, metres (the analytic hills, or 0).
  double terrain_height_m(double latitude_deg, double longitude_deg) const;
  double terrain_height_local_m(double x_m, double y_m) const;

  // Colour of the ground, BGR in [10, 245], as doubles before rounding.
  cv::Vec3d texture_bgr(double latitude_deg, double longitude_deg) const;
  // Ground temperature of the thermal variant, degrees Celsius.
  double ground_temperature_c(double latitude_deg, double longitude_deg) const;

  // Direction, local frame, of the ray through pixel (u, v) of camera i; u and v
  // count from 1 at the first column and row, so zero-based pixel (c, r) is (c + 1, r + 1).
  std::array<double, 3> pixel_direction(int camera, double u, double v) const;
  // First meeting of the ray with the analytic terrain (centimetre accuracy);
  // false when the ray does not point down.
  bool cast_ray(const std::array<double, 3>& origin, const std::array<double, 3>& direction,
                local_point& ground) const;
  bool pixel_ground_point(int camera, double u, double v, local_point& ground) const;
  // Inverse of the pixel ray: the pixel (u, v) that sees a local point; false behind the camera.
  bool local_to_pixel(int camera, const local_point& point, double& u, double& v) const;

  // The camera frame as written: BGR 8-bit, or 16-bit single-channel counts for thermal;
  // distorted by the design's lens.
  cv::Mat render_image(int camera) const;
  // Whether the design's frames carry lens distortion or an offset principal point.
  bool lens_distorted() const;

  // The ground at local (x, y) as a loaded camera image holds it: the texture (or,
  // for thermal frames, the grey level the system renders from the counts), averaged
  // over a square of side `footprint_m` centred on the point.
  cv::Vec3b recorded_bgr(double x_m, double y_m, double footprint_m) const;
  // What a mosaic pixel at local (x, y) should show: recorded_bgr passed through
  // apply_projection_values.
  cv::Vec3b expected_bgr(double x_m, double y_m, double footprint_m) const;
};

// The colour of frame `index` of a flat-colour survey, distinct for the first 64 frames
// and never black.
cv::Vec3b flat_frame_bgr(int index);

// The value changes between a loaded image and the mosaic, in place on an 8-bit BGR
// image: +1 per channel (saturating), times image_data_multiplier (rounded,
// saturating), then the jet colour map when configured.
void apply_projection_values(const survey_design& design, cv::Mat& bgr);

// Camera axes to local axes for an attitude in degrees: S * Rz(heading) * Ry(pitch) *
// Rx(roll) * T, row-major, with S the north-east-down to east-north-up swap and T
// the camera-to-aircraft axes (camera x, y, z to aircraft y, -x, z).
std::array<double, 9> camera_to_local_rotation(double roll_deg, double pitch_deg,
                                               double heading_deg);

// Computes the whole survey without writing anything; `folder` only names the files.
survey_truth plan_survey(const survey_design& design, const std::string& folder);

// Plans the survey and writes it under `folder` (created if needed): images/,
// flight_log.txt, terrain.dem, survey.cfg; the output folder out/ is not created.
survey_truth make_survey(const survey_design& design, const std::string& folder);

// Sets EXIF and XMP tags of a written JPEG or TIFF frame, keys as exiv2 names them
// ("Xmp.drone-dji.GpsLatitude", "Exif.GPSInfo.GPSLatitude"), values as text; the value
// "-" removes the tag. For the damaged and unusual tags of real frames.
void retag_frame(const std::string& path,
                 const std::vector<std::pair<std::string, std::string>>& changes);

// Forward transverse Mercator (Krueger series to n^4), WGS84, k0 0.9996, false
// easting 500000 m, no false northing; accurate to well under a millimetre within a zone.
void geographic_to_utm(double latitude_deg, double longitude_deg, double central_meridian_deg,
                       double& easting_m, double& northing_m);
void utm_to_geographic_exact(double easting_m, double northing_m, double central_meridian_deg,
                             double& latitude_deg, double& longitude_deg);
// Central meridian of the zone that contains `meridian_longitude_deg`.
double utm_zone_central_meridian(double meridian_longitude_deg);

}  // namespace aeroquilt::testing
