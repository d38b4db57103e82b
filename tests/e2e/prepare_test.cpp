// aeroquilt prepare on synthetic surveys as a crew brings them (tagged frames, a
// GeoTIFF DEM in UTM, a lens calibration), then the run on the prepared survey,
// compared with the ground truth; and the inputs it must refuse.

#include <gtest/gtest.h>

#include <filesystem>
#include <opencv2/imgcodecs.hpp>
#include <sstream>

#include "support/scratch.h"
#include "support/truth_compare.h"
#include "survey/synthetic_survey.h"

namespace aeroquilt::testing {
namespace {

namespace fs = std::filesystem;

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
    const run_result prepared = run_program("prepare " + truth.files.image_dir + " " +
                                            truth.files.geotiff_dem + " " + out + " " + options);
    ASSERT_EQ(prepared.status, 0) << prepared.output;
    EXPECT_NE(prepared.output.find("frames: 15 used, 0 left out"), std::string::npos)
        << prepared.output;
    const run_result mosaic = run_program(out + "/survey.cfg");
    ASSERT_EQ(mosaic.status, 1) << mosaic.output;
    // The truth is drawn at the design's pixel size: another one fails the comparison.
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

TEST_F(Prepare, UnusableInputsAreRefusedWithTheReasonAndNothingWritten) {
  survey_design design = tagged_design();
  design.hills = false;
  design.supersampling = 1;
  const survey_truth truth = make_survey(design, dir_.file("survey"));
  int index = 0;
  for (const std::vector<std::string>& c : case_rows("prepare_cases.txt")) {
    SCOPED_TRACE(c.at(0));
    const std::string d = dir_.file("case" + std::to_string(index++)), out = d + "/prepared";
    fs::create_directories(d);
    fs::copy(truth.files.image_dir, d + "/images");
    std::istringstream change(c.at(1));
    std::string action, name, text, dem = truth.files.geotiff_dem, options = c.at(2);
    std::getline(change >> action >> name >> std::ws, text);
    for (const survey_camera& camera : truth.cameras)
      if (action == "strip" && (name == "all" || name == camera.name))
        cv::imwrite(d + "/images/" + camera.name, cv::imread(d + "/images/" + camera.name));
    if (action == "grid")
      dem = ascii_grid(d, truth.centre_latitude_deg + std::stod(name), truth.centre_longitude_deg,
                       text == "prj");
    if (action == "file" || action == "dem") write_text_file(d + "/" + name, unescape(text));
    if (action == "dem") dem = d + "/" + name;
    for (std::size_t at; (at = options.find("$D")) != std::string::npos;) options.replace(at, 2, d);
    const int status = std::stoi(c.at(3));
    const run_result result =
        run_program("prepare " + d + "/images " + dem + " " + out + " " + options);
    EXPECT_EQ(result.status, status) << result.output;
    EXPECT_TRUE(result.printed(c.at(4))) << result.output;
    EXPECT_EQ(fs::exists(out + "/survey.cfg"), status == 0) << result.output;
    EXPECT_TRUE(status == 0 || !fs::exists(out)) << out;
  }
}

}  // namespace
}  // namespace aeroquilt::testing
