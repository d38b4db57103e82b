// Writes a complete synthetic survey (configuration, flight log, DEM, images) into
// a folder, for demonstrations and benchmarks:
//   make_survey <folder> [--dem] [--small | --large] [--utm] [--raw | --thermal | --jpeg]
//               [--frame WxH] [--jet] [--tile N] [--tagged] [--lens] [--tilt DEG]
//               [--dem-offset M] [--xmp-gps] [--resized N] [--interior-yaml] [--poses-txt]
//               [--names PREFIX] [--exposure STEP] [--view-brightness K]

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include "survey/synthetic_survey.h"

namespace {

using aeroquilt::testing::survey_design;
using aeroquilt::testing::survey_image_format;

void usage() {
  std::fprintf(
      stderr,
      "usage: make_survey <folder> [--dem] [--small | --large] [--utm] [--raw | --thermal | "
      "--jpeg] "
      "[--frame WxH] [--jet] [--tile N] [--tagged] [--lens] [--tilt DEG] [--dem-offset M]\n"
      "       [--xmp-gps] [--resized N] [--interior-yaml] [--poses-txt] [--names PREFIX]\n"
      "       [--exposure STEP] [--view-brightness K]\n"
      "  --dem      hilly terrain, projected with the DEM (default: flat ground)\n"
      "  --small    3 lines of 5 frames of 160 x 120 (the test survey)\n"
      "  --large    8 lines of 16 frames of 640 x 480 (benchmarks)\n"
      "  --utm      log positions as UTM easting and northing\n"
      "  --raw      raw RGB frames; --thermal 16-bit thermal frames; --jpeg JPEG frames\n"
      "  --frame WxH  frame size in pixels; the focal length follows the width, so the\n"
      "             field of view and the flight plan stay (give it after --small/--large)\n"
      "  --jet      jet colour map on the output\n"
      "  --tile N   output_tile_size_pixels N\n"
      "  --tilt DEG pitch the frames forward and back in turn by DEG\n"
      "  --dem-offset M  the DEM file's heights M metres above the true terrain\n"
      "  --tagged   TIFF frames (JPEG with --jpeg) with EXIF GPS and drone XMP attitude, and\n"
      "             terrain_utm.tif, the terrain as a GeoTIFF in UTM (input of aeroquilt prepare)\n"
      "  --lens     frames with Brown lens distortion (k1 -0.3) and camera.yaml, its "
      "calibration\n"
      "  --xmp-gps  tagged frames without EXIF GPS: position in XMP drone-dji:GpsLatitude,\n"
      "             GpsLongtitude (misspelt, as many firmwares write it), AbsoluteAltitude\n"
      "  --resized N  tagged frames resized to 1/N of the sensor: CalibratedFocalLength,\n"
      "             CalibratedOpticalCenterX/Y and DewarpData in sensor pixels\n"
      "  --interior-yaml  also interior.yaml, the lens as interior parameters of the sensor\n"
      "  --poses-txt  also poses_utm.txt: UTM poses separated by spaces, names without\n"
      "             their extension\n"
      "  --names PREFIX  frame names PREFIX + three digits (\"img_\"); one holding \"rgb\" or\n"
      "             a comma gives frames only aeroquilt prepare takes\n"
      "  --exposure STEP  frame i's brightness times 1 + STEP * ((3 i) mod 5 - 2) / 2: seams\n"
      "             show as steps of brightness (colour_balance,1 takes them out)\n"
      "  --view-brightness K  each ray's brightness times 1 + K * (its east component): the\n"
      "             ground looks brighter seen looking east\n");
}

// Scales the frames and the flight plan together so that the ground resolution
// (about 0.5 m, set by the focal length and the height) and the overlaps stay those
// of the small survey: the footprint grows with the frame, and so do the spacings.
void scale_survey(survey_design& design, int factor, int lines, int images_per_line) {
  design.image_width = 160 * factor;
  design.image_height = 120 * factor;
  design.focal_length_px = 500.0;
  design.line_spacing_m = 45.0 * factor;
  design.image_spacing_m = 24.0 * factor;
  design.line_count = lines;
  design.images_per_line = images_per_line;
  design.dem_margin_m = 300.0 * factor;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argv[1][0] == '-') {
    usage();
    return 2;
  }
  survey_design design;
  scale_survey(design, 2, 4, 8);  // the demonstration survey
  for (int i = 2; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--dem") {
      design.hills = true;
      design.use_dem = true;
    } else if (arg == "--small") {
      scale_survey(design, 1, 3, 5);
    } else if (arg == "--large") {
      scale_survey(design, 4, 8, 16);
      design.supersampling = 1;
    } else if (arg == "--utm") {
      design.utm_positions = true;
    } else if (arg == "--raw") {
      design.image_format = survey_image_format::raw_rgb;
    } else if (arg == "--thermal") {
      design.image_format = survey_image_format::thermal16;
    } else if (arg == "--jpeg") {
      design.image_format = survey_image_format::jpeg;
    } else if (arg == "--frame" && i + 1 < argc) {
      int width = 0, height = 0;
      if (std::sscanf(argv[++i], "%dx%d", &width, &height) != 2 || width < 2 || height < 2) {
        usage();
        return 2;
      }
      design.focal_length_px *= static_cast<double>(width) / design.image_width;
      design.image_width = width;
      design.image_height = height;
    } else if (arg == "--tagged") {
      design.tagged_frames = true;
      design.geotiff_dem = true;
      if (design.image_format != survey_image_format::jpeg)
        design.image_format = survey_image_format::tiff;
    } else if (arg == "--lens") {
      design.lens_k1 = -0.3;
      design.lens_k2 = 0.08;
      design.lens_p1 = 0.0005;
      design.lens_p2 = -0.0003;
      design.principal_offset_x_px = 1.5;
      design.principal_offset_y_px = -1.0;
    } else if (arg == "--xmp-gps") {
      design.xmp_positions = true;
    } else if (arg == "--resized" && i + 1 < argc) {
      design.sensor_factor = std::atof(argv[++i]);
      if (!(design.sensor_factor > 0)) {
        usage();
        return 2;
      }
    } else if (arg == "--interior-yaml") {
      design.interior_yaml = true;
    } else if (arg == "--poses-txt") {
      design.utm_poses_csv = true;
      design.poses_space_separated = true;
      design.poses_names_without_extension = true;
    } else if (arg == "--exposure" && i + 1 < argc) {
      design.exposure_step = std::atof(argv[++i]);
    } else if (arg == "--view-brightness" && i + 1 < argc) {
      design.view_angle_brightness = std::atof(argv[++i]);
    } else if (arg == "--names" && i + 1 < argc) {
      design.frame_name_prefix = argv[++i];
    } else if (arg == "--jet") {
      design.jet_colormap = true;
    } else if (arg == "--tile" && i + 1 < argc) {
      design.output_tile_size_pixels = std::atoi(argv[++i]);
    } else if (arg == "--tilt" && i + 1 < argc) {
      design.tilt_deg = std::atof(argv[++i]);
    } else if (arg == "--dem-offset" && i + 1 < argc) {
      design.dem_height_offset_m = std::atof(argv[++i]);
    } else {
      usage();
      return 2;
    }
  }
  try {
    const auto truth = aeroquilt::testing::make_survey(design, argv[1]);
    std::printf("%zu images of %d x %d, survey centre %.8f %.8f\nconfiguration: %s\n",
                truth.cameras.size(), design.image_width, design.image_height,
                truth.centre_latitude_deg, truth.centre_longitude_deg, truth.files.config.c_str());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "make_survey: %s\n", e.what());
    return 1;
  }
  return 0;
}
