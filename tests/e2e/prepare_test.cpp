// aeroquilt prepare on synthetic surveys as a crew brings them (tagged frames, a
// GeoTIFF DEM in UTM, a lens calibration), then the run on the prepared survey,
// compared with the ground truth; and the inputs it must refuse.

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
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

// A wide lens (about 44 degrees across) low over the hills, frames overlapping little so
// that their edges reach the mosaic: k1 -0.3 moves the corners by about 7 pixels.
survey_design wide_lens_design() {
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
  return design;
}

class Prepare : public ::testing::Test {
 protected:
  // Prepares `truth`'s frames and GeoTIFF into prepared/, runs it and compares; the
  // summary must say `said`.
  void expect_prepared_mosaic_matches(survey_truth truth, const std::string& options,
                                      const std::string& said = "frames: 15 used, 0 left out") {
    const std::string out = dir_.file("prepared");
    const run_result prepared = run_program("prepare " + truth.files.image_dir + " " +
                                            truth.files.geotiff_dem + " " + out + " " + options);
    ASSERT_EQ(prepared.status, 0) << prepared.output;
    EXPECT_TRUE(prepared.printed("frames: 15 used, 0 left out")) << prepared.output;
    EXPECT_TRUE(prepared.printed(said)) << prepared.output;
    const run_result mosaic = run_program(out + "/survey.cfg");
    ASSERT_EQ(mosaic.status, 1) << mosaic.output;
    // The truth is drawn at the design's pixel size: another one fails the comparison.
    expect_registered(compare_view(truth, out + "/out/mosaic.png", out + "/out/mosaic.tfw"),
                      "prepared");
  }
  scratch_dir dir_{"e2e_prepare"};
};

TEST_F(Prepare, DistortedFramesWithAbsoluteAltitudesGiveTheGroundTruth) {
  const survey_truth truth = make_survey(wide_lens_design(), dir_.file("survey"));
  expect_prepared_mosaic_matches(truth,
                                 "--camera " + truth.files.calibration + " --pixel-size 0.5");
}

TEST_F(Prepare, PositionsOnlyInXmpGiveTheGroundTruth) {
  survey_design design = tagged_design();
  design.xmp_positions = true;  // GpsLatitude, the misspelt GpsLongtitude, AbsoluteAltitude
  const survey_truth truth = make_survey(design, dir_.file("survey"));
  expect_prepared_mosaic_matches(truth, "--pixel-size 0.5", "positions: XMP drone-dji 15");
}

TEST_F(Prepare, FramesResizedFromTheSensorTheirTagsDescribeGiveTheGroundTruth) {
  // CalibratedFocalLength, CalibratedOpticalCenterX/Y and DewarpData of a sensor four
  // times the frames: the lens comes from the tags alone.
  survey_design design = wide_lens_design();
  design.sensor_factor = 4;
  const survey_truth truth = make_survey(design, dir_.file("survey"));
  expect_prepared_mosaic_matches(truth, "--pixel-size 0.5", "scaled by 0.25; principal point");
}

TEST_F(Prepare, InteriorParametersOfTheSensorGiveTheGroundTruth) {
  // Focal length in millimetres with the sensor's size, for frames twice these.
  survey_design design = wide_lens_design();
  design.interior_yaml = true;
  design.sensor_factor = 2;
  const survey_truth truth = make_survey(design, dir_.file("survey"));
  expect_prepared_mosaic_matches(truth,
                                 "--camera " + truth.files.interior_yaml + " --pixel-size 0.5",
                                 "scaled by 0.5; principal point");
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
    std::vector<std::pair<std::string, std::string>> tags;
    std::istringstream tag_list(text);
    for (std::string tag; tag_list >> tag;)
      tags.emplace_back(tag.substr(0, tag.find('=')), tag.substr(tag.find('=') + 1));
    for (const survey_camera& camera : truth.cameras) {
      const std::string frame = d + "/images/" + camera.name;
      if (name != "all" && name != camera.name) continue;
      if (action == "strip") cv::imwrite(frame, cv::imread(frame));
      if (action == "tag") retag_frame(frame, tags);
    }
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

TEST_F(Prepare, SpaceSeparatedPosesNamingFramesWithoutExtensionGiveTheGroundTruth) {
  survey_design design = tagged_design();
  design.tagged_frames = false;
  design.utm_poses_csv = true;
  design.poses_space_separated = true;
  design.poses_names_without_extension = true;
  const survey_truth truth = make_survey(design, dir_.file("survey"));
  expect_prepared_mosaic_matches(truth, "--poses " + truth.files.poses_csv +
                                            " --crs EPSG:32632 --camera " +
                                            truth.files.calibration + " --pixel-size 0.5");
}

TEST_F(Prepare, FramesNamedWithRgbAndCommasBesideTheirDemGiveTheGroundTruth) {
  // The run would read "rgb" frames as raw ones and split their names at the commas; it
  // reads them through plain links. The GeoTIFF among the frames is no frame.
  survey_design design = tagged_design();
  design.frame_name_prefix = "RGB,img_";
  survey_truth truth = make_survey(design, dir_.file("survey"));
  const std::string dem = truth.files.image_dir + "terrain_utm.tif";
  fs::copy_file(truth.files.geotiff_dem, dem);
  truth.files.geotiff_dem = dem;
  expect_prepared_mosaic_matches(truth, "--pixel-size 0.5", "frame_00015.tif  RGB,img_014.tif");
}

TEST_F(Prepare, DemNodesNear121EastAreExactInSinglePrecisionAndGiveTheGroundTruth) {
  // There single precision steps by 7.6e-6 degrees of longitude (0.77 m): the run's nodes
  // of a 0.5 m grid laid anywhere would snap to their neighbours' positions.
  survey_design design = tagged_design();
  design.centre_longitude_deg = 121.4;
  design.centre_latitude_deg = 31.2;
  design.meridian_longitude_deg = 121.0;
  design.geotiff_cell_m = 0.5;
  const survey_truth truth = make_survey(design, dir_.file("survey"));
  expect_prepared_mosaic_matches(truth, "--pixel-size 0.5",
                                 "DEM cell: 0.5 m from the source's cell");
  const std::string header = read_file(dir_.file("prepared") + "/terrain.dem").substr(0, 32);
  int32_t columns = 0, rows = 0;
  double west = 0, south = 0, cell = 0;
  std::memcpy(&columns, header.data(), 4);
  std::memcpy(&rows, header.data() + 4, 4);
  std::memcpy(&west, header.data() + 8, 8);
  std::memcpy(&south, header.data() + 16, 8);
  std::memcpy(&cell, header.data() + 24, 8);
  const auto exact = [](double degrees) { return degrees == double(float(degrees)); };
  EXPECT_TRUE(exact(cell)) << cell;
  int inexact = 0;
  // The run reaches two nodes past the grid's edges.
  for (int j = -2; j <= columns + 2; ++j) inexact += !exact(west + j * cell);
  for (int i = -2; i <= rows + 2; ++i) inexact += !exact(south + i * cell);
  EXPECT_EQ(inexact, 0) << columns << " x " << rows << " nodes from " << west << ", " << south;
}

TEST_F(Prepare, TakeOffGroundBesideARoofOverTheFirstFrameGivesTheGroundTruth) {
  // A surface model (ESRI ASCII grid of 0.00002 degree cells, WGS 84) of the terrain with
  // a roof 24 m high and three cells across under the first frame.
  const survey_truth truth = make_survey(tagged_design(), dir_.file("survey"));
  const survey_camera& first = truth.cameras.front();
  const survey_dem_grid& g = truth.dem;
  const double cell = 0.00002;
  const int columns = static_cast<int>(g.column_count * g.cell_size / cell);
  const int rows = static_cast<int>(g.row_count * g.cell_size / cell);
  std::ostringstream grid;
  grid.precision(12);
  grid << "ncols " << columns << "\nnrows " << rows << "\nxllcorner " << g.west_longitude
       << "\nyllcorner " << g.south_latitude << "\ncellsize " << cell << "\n";
  grid.precision(6);
  for (int r = 0; r < rows; ++r) {
    const double latitude = g.south_latitude + (rows - r - 0.5) * cell;
    for (int c = 0; c < columns; ++c) {
      const double longitude = g.west_longitude + (c + 0.5) * cell;
      const bool roof = std::fabs(latitude - first.latitude_deg) < 1.5 * cell &&
                        std::fabs(longitude - first.longitude_deg) < 1.5 * cell;
      grid << truth.design.topo_height_m + truth.terrain_height_m(latitude, longitude) +
                  (roof ? 24.0 : 0.0)
           << (c + 1 < columns ? " " : "\n");
    }
  }
  survey_truth surface = truth;
  surface.files.geotiff_dem = dir_.file("surface.asc");
  write_text_file(surface.files.geotiff_dem, grid.str());
  write_text_file(dir_.file("surface.prj"),
                  "GEOGCS[\"GCS_WGS_1984\",DATUM[\"D_WGS_1984\",SPHEROID[\"WGS_1984\",6378137,"
                  "298.257223563]],PRIMEM[\"Greenwich\",0],UNIT[\"Degree\",0.0174532925199433]]");
  expect_prepared_mosaic_matches(surface, "--altitude relative --pixel-size 0.5",
                                 "the DEM's lowest ground within 30 m of the first frame");
  // Given instead, over the survey prepared before.
  const double ground_m =
      truth.design.topo_height_m + truth.terrain_height_m(first.latitude_deg, first.longitude_deg);
  expect_prepared_mosaic_matches(
      surface, "--altitude relative --pixel-size 0.5 --takeoff-height " + std::to_string(ground_m),
      "given with --takeoff-height");
}

}  // namespace
}  // namespace aeroquilt::testing
