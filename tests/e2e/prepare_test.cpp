// aeroquilt prepare on synthetic surveys as a crew brings them (tagged frames, a
// GeoTIFF DEM in UTM, a lens calibration), then the run on the prepared survey,
// compared with the ground truth; and the inputs it must refuse.

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <opencv2/imgcodecs.hpp>

#include "support/scratch.h"
#include "support/truth_compare.h"
#include "survey/synthetic_survey.h"

namespace aeroquilt::testing {
namespace {

namespace fs = std::filesystem;

struct run_result {
  int status = -1;
  std::string output;
};

run_result run(const std::string& arguments) {
  run_result result;
  result.status = run_command(aeroquilt_binary() + " " + arguments, result.output);
  return result;
}

// The value of a key in a configuration file's text.
double config_number(const std::string& text, const std::string& key) {
  const std::size_t at = text.find("\n" + key + ",");
  return at == std::string::npos ? 0.0 : std::stod(text.substr(at + key.size() + 2));
}

survey_design tagged_design() {
  survey_design design;
  design.hills = true;
  design.use_dem = true;
  design.heading_deg = 123.0;
  design.attitude_jitter_deg = 3.0;
  design.image_format = survey_image_format::tiff;
  design.tagged_frames = true;
  design.geotiff_dem = true;
  return design;
}

class Prepare : public ::testing::Test {
 protected:
  // Prepares `truth`'s frames and GeoTIFF into prepared/, runs it and compares.
  void expect_prepared_mosaic_matches(survey_truth truth, const std::string& options) {
    const std::string out = dir_.file("prepared");
    const run_result prepared = run("prepare " + truth.files.image_dir + " " +
                                    truth.files.geotiff_dem + " " + out + " " + options);
    ASSERT_EQ(prepared.status, 0) << prepared.output;
    EXPECT_NE(prepared.output.find("frames: 15 used, 0 left out"), std::string::npos)
        << prepared.output;
    const run_result mosaic = run(out + "/survey.cfg");
    ASSERT_EQ(mosaic.status, 1) << mosaic.output;

    EXPECT_EQ(config_number(read_file(out + "/survey.cfg"), "output_pixel_size"),
              truth.design.output_pixel_size_m);
    expect_registered(compare_view(truth, out + "/out/mosaic.png", out + "/out/mosaic.tfw"),
                      "prepared");
  }
  scratch_dir dir_{"e2e_prepare"};
};

TEST_F(Prepare, DistortedFramesWithAbsoluteAltitudesGiveTheGroundTruth) {
  // A wide lens (about 44 degrees across) low over the hills, frames overlapping
  // little so that their edges reach the mosaic: k1 -0.3 moves the corners by about
  // 7 pixels.
  survey_design design = tagged_design();
  design.focal_length_px = 200.0;
  design.flight_height_m = 100.0;
  design.line_spacing_m = 65.0;
  design.image_spacing_m = 45.0;
  design.lens_k1 = -0.3;
  design.lens_k2 = 0.08;
  design.lens_p1 = 0.0005;
  design.lens_p2 = -0.0003;
  design.principal_offset_x_px = 1.5;
  design.principal_offset_y_px = -1.0;
  const survey_truth truth = make_survey(design, dir_.file("survey"));
  expect_prepared_mosaic_matches(truth,
                                 "--camera " + truth.files.calibration + " --pixel-size 0.5");
}

TEST_F(Prepare, RelativeAltitudesAndTheGroundSampleDistanceGiveTheGroundTruth) {
  const survey_truth truth = make_survey(tagged_design(), dir_.file("survey"));
  expect_prepared_mosaic_matches(truth, "--altitude relative --pixel-size 0.5");
}

TEST_F(Prepare, ProjectedPosesWithOmegaPhiKappaGiveTheGroundTruth) {
  survey_design design = tagged_design();
  design.tagged_frames = false;
  design.utm_poses_csv = true;
  design.heading_deg = 57.0;
  // Near the zone's edge grid north lies 1.8 degrees off true north.
  design.centre_longitude_deg = 11.6;
  const survey_truth truth = make_survey(design, dir_.file("survey"));
  expect_prepared_mosaic_matches(truth, "--poses " + truth.files.poses_csv +
                                            " --crs EPSG:32632 --camera " +
                                            truth.files.calibration + " --pixel-size 0.5");
}

// One case per refused or degraded input: what the case does to a copy of the survey,
// the extra arguments, the exit status and a text the output must hold.
struct case_inputs {
  const survey_truth& t;
  std::string d, dem, options;  // the case's folder, its DEM, its extra arguments
};
struct input_case {
  const char* name;
  std::function<void(case_inputs&)> alter;
  int status;
  const char* message;
};

// Rewrites a frame without its tags.
void strip_tags(const std::string& path) { cv::imwrite(path, cv::imread(path)); }

// An ESRI ASCII grid of 10 x 10 cells of 0.0002 degrees about (latitude, longitude);
// with `wgs84` a .prj beside it names the CRS, without it there is none.
std::string ascii_grid(const std::string& folder, double latitude, double longitude, bool wgs84) {
  std::string text = "ncols 10\nnrows 10\nxllcorner " + std::to_string(longitude - 0.001) +
                     "\nyllcorner " + std::to_string(latitude - 0.001) + "\ncellsize 0.0002\n";
  for (int i = 0; i < 10; ++i) text += "120 120 120 120 120 120 120 120 120 120\n";
  write_text_file(folder + "/grid.asc", text);
  if (wgs84) {
    write_text_file(folder + "/grid.prj",
                    "GEOGCS[\"GCS_WGS_1984\",DATUM[\"D_WGS_1984\",SPHEROID[\"WGS_1984\",6378137,"
                    "298.257223563]],PRIMEM[\"Greenwich\",0],UNIT[\"Degree\",0.0174532925199433]]");
  }
  return folder + "/grid.asc";
}

const char* const kPosesCsv = "name,x,y,z,omega,phi,kappa\nimg_000.tif,1,2,3,0,0,0\n";
const input_case kInputCases[] = {
    {"tagged frames: the pixel size is their ground sample distance (250 m / 500 px)",
     [](case_inputs&) {}, 0, "pixel size: 0.5 m (median ground sample distance)"},
    {"one frame without tags is left out, the others make the survey",
     [](case_inputs& x) { strip_tags(x.d + "/images/img_004.tif"); }, 0,
     "frame img_004.tif left out: no GPS position"},
    {"no frame with tags",
     [](case_inputs& x) {
       for (const survey_camera& camera : x.t.cameras) strip_tags(x.d + "/images/" + camera.name);
     },
     2, "no frame has a position, an attitude and an altitude"},
    {"DEM beside the survey",
     [](case_inputs& x) {
       x.dem = ascii_grid(x.d, x.t.centre_latitude_deg + 0.01, x.t.centre_longitude_deg, true);
     },
     2, "does not cover the survey"},
    {"DEM over the cameras only, not their footprints",
     [](case_inputs& x) {
       x.dem = ascii_grid(x.d, x.t.centre_latitude_deg, x.t.centre_longitude_deg, true);
     },
     2, "does not cover the survey"},
    {"DEM without a CRS",
     [](case_inputs& x) {
       x.dem = ascii_grid(x.d, x.t.centre_latitude_deg, x.t.centre_longitude_deg, false);
     },
     2, "has no coordinate reference system GDAL can read"},
    {"DEM that is no raster",
     [](case_inputs& x) { write_text_file(x.dem = x.d + "/notes.tif", "not a raster\n"); }, 2,
     "GDAL cannot open the DEM"},
    {"calibration for other frames",
     [](case_inputs& x) {
       write_text_file(x.d + "/camera.yaml",
                       "%YAML:1.0\n---\nimage_width: 320\nimage_height: 240\ncamera_matrix: "
                       "!!opencv-matrix\n   rows: 3\n   cols: 3\n   dt: d\n   data: [ 500., 0., "
                       "159., 0., 500., 119., 0., 0., 1. ]\n");
       x.options = "--camera " + x.d + "/camera.yaml";
     },
     2, "is for frames of 320 x 240 pixels, the frames are 160 x 120"},
    {"projected poses without their CRS",
     [](case_inputs& x) {
       write_text_file(x.d + "/poses.csv", kPosesCsv);
       x.options = "--poses " + x.d + "/poses.csv";
     },
     2, "give their CRS with --crs"},
    {"projected poses in a CRS GDAL cannot read",
     [](case_inputs& x) {
       write_text_file(x.d + "/poses.csv", kPosesCsv);
       x.options = "--poses " + x.d + "/poses.csv --crs EPSG:999999";
     },
     2, "GDAL cannot read the CRS EPSG:999999"},
    {"unknown altitude mode", [](case_inputs& x) { x.options = "--altitude geoid"; }, 2,
     "--altitude is absolute or relative"},
};

TEST_F(Prepare, UnusableInputsAreRefusedWithTheReasonAndNothingWritten) {
  survey_design design = tagged_design();
  design.hills = false;
  design.supersampling = 1;
  const survey_truth truth = make_survey(design, dir_.file("survey"));
  int index = 0;
  for (const input_case& c : kInputCases) {
    SCOPED_TRACE(c.name);
    const std::string case_dir = dir_.file("case" + std::to_string(index++));
    fs::create_directories(case_dir);
    fs::copy(truth.files.image_dir, case_dir + "/images");
    case_inputs x{truth, case_dir, truth.files.geotiff_dem, ""};
    c.alter(x);
    const std::string out = case_dir + "/prepared";
    const run_result result =
        run("prepare " + case_dir + "/images " + x.dem + " " + out + " " + x.options);
    EXPECT_EQ(result.status, c.status) << result.output;
    EXPECT_NE(result.output.find(c.message), std::string::npos) << result.output;
    EXPECT_EQ(fs::exists(out + "/survey.cfg"), c.status == 0) << result.output;
    EXPECT_TRUE(c.status == 0 || !fs::exists(out)) << out;
  }
}

}  // namespace
}  // namespace aeroquilt::testing
