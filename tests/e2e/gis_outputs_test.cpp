// Whole runs read back the way GIS tools read them: rasters through GDAL
// (`gdalinfo -json`), KML files against the OGC KML 2.2 schema with xmllint.
// The georeferencing GDAL finds must put the centre of pixel (r, c) on the local
// point (x_min + c p, y_max - r p) of the view, the grid the mosaic is drawn on.

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <opencv2/imgcodecs.hpp>
#include <regex>
#include <sstream>

#include "support/scratch.h"
#include "support/synthetic_survey.h"
#include "support/truth_compare.h"

namespace aeroquilt::testing {
namespace {

// What `gdalinfo -json` says about a raster, the few fields these tests read.
struct gdal_raster {
  int width = 0, height = 0, bands = 0;
  double transform[6] = {};  // x0, dx, 0, y0, 0, dy of the outer corner of pixel (0, 0)
  double upper_left[2] = {}, lower_right[2] = {};
  bool geographic_wgs84 = false;  // EPSG:4326 in the coordinate system
  bool has_alpha = false;
  std::string json;
};

// The numbers of the JSON array that follows "key": at or after `from`.
std::vector<double> json_numbers(const std::string& json, const std::string& key,
                                 std::size_t from = 0) {
  std::vector<double> numbers;
  const std::size_t at = json.find("\"" + key + "\":", from);
  if (at == std::string::npos) return numbers;
  const std::size_t open = json.find('[', at), close = json.find(']', at);
  if (open == std::string::npos || close == std::string::npos) return numbers;
  const std::string list = json.substr(open + 1, close - open - 1);
  const std::regex number(R"([-+0-9.eE]+)");
  for (auto it = std::sregex_iterator(list.begin(), list.end(), number);
       it != std::sregex_iterator(); ++it) {
    numbers.push_back(std::stod(it->str()));
  }
  return numbers;
}

gdal_raster gdal_info(const std::string& path) {
  gdal_raster raster;
  std::string output;
  const int status = run_command("gdalinfo -json '" + path + "' 2>&1", output);
  EXPECT_EQ(status, 0) << output;
  raster.json = output;
  const std::vector<double> size = json_numbers(output, "size");
  const std::vector<double> transform = json_numbers(output, "geoTransform");
  const std::size_t corners = output.find("\"cornerCoordinates\"");
  const std::vector<double> ul = json_numbers(output, "upperLeft", corners);
  const std::vector<double> lr = json_numbers(output, "lowerRight", corners);
  EXPECT_EQ(size.size(), 2u) << output;
  EXPECT_EQ(transform.size(), 6u) << path << " has no georeferencing:\n" << output;
  if (size.size() != 2 || transform.size() != 6 || ul.size() != 2 || lr.size() != 2) return raster;
  raster.width = static_cast<int>(size[0]);
  raster.height = static_cast<int>(size[1]);
  for (int k = 0; k < 6; ++k) raster.transform[k] = transform[k];
  raster.upper_left[0] = ul[0], raster.upper_left[1] = ul[1];
  raster.lower_right[0] = lr[0], raster.lower_right[1] = lr[1];
  for (std::size_t at = output.find("\"band\":"); at != std::string::npos;
       at = output.find("\"band\":", at + 1)) {
    ++raster.bands;
  }
  raster.geographic_wgs84 = output.find(R"(ID[\"EPSG\",4326])") != std::string::npos;
  raster.has_alpha = output.find("\"colorInterpretation\":\"Alpha\"") != std::string::npos;
  return raster;
}

// xmllint's verdict on `path` against the OGC KML 2.2 schema kept in tests/data/kml22.
struct schema_result {
  int status = -1;
  std::string output;
};

schema_result validate_kml(const std::string& path) {
  schema_result result;
  result.status = run_command("xmllint --noout --nonet --schema '" + source_dir() +
                                  "/tests/data/kml22/ogckml22.xsd' '" + path + "' 2>&1",
                              result.output);
  return result;
}

// Every <north>/<south> value of a KML document; the schema allows +-180 there.
std::vector<double> kml_latitudes(const std::string& kml) {
  std::vector<double> latitudes;
  const std::regex tag(R"(<(north|south)>([^<]*)</(north|south)>)");
  for (auto it = std::sregex_iterator(kml.begin(), kml.end(), tag); it != std::sregex_iterator();
       ++it) {
    latitudes.push_back(std::stod((*it)[2].str()));
  }
  return latitudes;
}

// Files under `folder` whose name marks an unfinished write.
std::vector<std::string> partial_files(const std::string& folder) {
  std::vector<std::string> found;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    const std::string name = entry.path().filename().string();
    if (name.find(".partial-") != std::string::npos) found.push_back(name);
  }
  return found;
}

class GisOutputs : public ::testing::Test {
 protected:
  // Two lines of three frames: small, and still hundreds of pixels on a side.
  static survey_design small() {
    survey_design design;
    design.line_count = 2;
    design.images_per_line = 3;
    return design;
  }
  survey_truth run(const survey_design& design, const std::string& name) {
    const survey_truth truth = make_survey(design, dir_.file(name));
    std::string output;
    const int status = run_command(aeroquilt_binary() + " " + truth.files.config, output);
    EXPECT_EQ(status, 1) << output;
    EXPECT_TRUE(partial_files(truth.files.output_dir).empty());
    return truth;
  }

  // Checks GDAL's reading of the view at `image_path` against the view record, as its
  // specified world file (`tfw_path`, single-precision fields) and the ground grid give it.
  static gdal_raster expect_placed_on_view_grid(const survey_truth& truth,
                                                const std::string& image_path,
                                                const std::string& tfw_path) {
    SCOPED_TRACE(image_path);
    const gdal_raster raster = gdal_info(image_path);
    const cv::Mat image = cv::imread(image_path, cv::IMREAD_UNCHANGED);
    EXPECT_EQ(raster.width, image.cols);
    EXPECT_EQ(raster.height, image.rows);
    const double p = truth.design.output_pixel_size_m;
    const world_file tfw = read_world_file(tfw_path);
    const double a = raster.transform[1], e = raster.transform[5];
    EXPECT_EQ(raster.transform[2], 0.0);
    EXPECT_EQ(raster.transform[4], 0.0);

    // Pixel steps: width - 1 steps span lon_min..lon_max, up to the single-precision
    // rounding of the record's two bounds (one ulp each).
    const double lon_range = tfw.lon_per_pixel * raster.width;
    const double lat_range = -tfw.minus_lat_per_pixel * raster.height;
    const auto ulp = [](double value) {
      const float f = static_cast<float>(value);
      return static_cast<double>(std::nextafter(f, 2.0f * f) - f);
    };
    EXPECT_NEAR(a * (raster.width - 1), lon_range, 2 * ulp(tfw.lon_min));
    EXPECT_NEAR(-e * (raster.height - 1), lat_range, 2 * ulp(tfw.lat_max));
    // Metric size of the steps at the survey centre: p metres (1e-6 relative).
    const double deg = 3.141592653589793 / 180.0;
    EXPECT_NEAR(a * deg * std::cos(truth.centre_latitude_deg * deg) * truth.radius_east_m / p, 1.0,
                1e-6);
    EXPECT_NEAR(-e * deg * truth.radius_north_m / p, 1.0, 1e-6);

    // Corner coordinates: the outer corners, half a pixel beyond the first and last
    // pixel centres, which the record puts at (lon_min, lat_max) and (lon_max, lat_min).
    // Tolerance 2e-6 degrees: the record holds these in single precision (half an ulp
    // of 45.3 is 1.9e-6); half a pixel is 3.2e-6 (longitude) and 2.2e-6 (latitude).
    EXPECT_NEAR(raster.upper_left[0] + a / 2, tfw.lon_min, 1e-6);
    EXPECT_NEAR(raster.upper_left[1] + e / 2, tfw.lat_max, 2e-6);
    EXPECT_NEAR(raster.lower_right[0] - a / 2, tfw.lon_min + lon_range, 1e-6);
    EXPECT_NEAR(raster.lower_right[1] - e / 2, tfw.lat_max - lat_range, 2e-6);

    // On the ground: the first and last pixel centres land on the view's grid
    // points (multiples of p from the survey centre) within a tenth of a pixel.
    const view_origin grid = view_origin_from_world_file(truth, tfw, p);
    const local_point first =
        truth.geographic_to_local(raster.upper_left[1] + e / 2, raster.upper_left[0] + a / 2);
    const local_point last =
        truth.geographic_to_local(raster.lower_right[1] - e / 2, raster.lower_right[0] - a / 2);
    EXPECT_NEAR(first.x_m, grid.x_min_m, 0.1 * p);
    EXPECT_NEAR(first.y_m, grid.y_max_m, 0.1 * p);
    EXPECT_NEAR(last.x_m, grid.x_min_m + (raster.width - 1) * p, 0.1 * p);
    EXPECT_NEAR(last.y_m, grid.y_max_m - (raster.height - 1) * p, 0.1 * p);
    return raster;
  }

  scratch_dir dir_{"gis"};
};

TEST_F(GisOutputs, PngViewHasConventionalWorldFileAndPrjThatGdalPlacesOnTheGrid) {
  const survey_truth truth = run(small(), "png");
  const std::string out = truth.files.output_dir;
  ASSERT_TRUE(std::filesystem::exists(out + "mosaic.pgw"));
  const gdal_raster raster =
      expect_placed_on_view_grid(truth, truth.files.mosaic, out + "mosaic.tfw");
  EXPECT_NE(raster.json.find("mosaic.pgw"), std::string::npos) << raster.json;
  EXPECT_EQ(raster.bands, 4);  // PNG transparency kept

  std::string srs;
  ASSERT_EQ(run_command("gdalsrsinfo -e '" + out + "mosaic.prj' 2>&1", srs), 0) << srs;
  EXPECT_NE(srs.find("EPSG:4326"), std::string::npos) << srs;
}

TEST_F(GisOutputs, JpegViewIsPlacedThroughItsJgw) {
  survey_design design = small();
  design.output_filename = "mosaic.jpg";
  const survey_truth truth = run(design, "jpg");
  const std::string out = truth.files.output_dir;
  ASSERT_TRUE(std::filesystem::exists(out + "mosaic.jgw"));
  EXPECT_TRUE(std::filesystem::exists(out + "mosaic.prj"));
  const gdal_raster raster =
      expect_placed_on_view_grid(truth, truth.files.mosaic, out + "mosaic.tfw");
  EXPECT_NE(raster.json.find("mosaic.jgw"), std::string::npos) << raster.json;
}

TEST_F(GisOutputs, TiffViewIsAGeoTiffWithThePixelsOfThePngView) {
  survey_design design = small();
  const survey_truth png = run(design, "png");
  design.output_filename = "mosaic.tif";
  design.generate_dem_image = true;
  design.output_dem_filename = "dem.tif";
  const survey_truth tif = run(design, "tif");
  const std::string out = tif.files.output_dir;

  const gdal_raster raster = expect_placed_on_view_grid(tif, tif.files.mosaic, out + "mosaic.tfw");
  EXPECT_TRUE(raster.geographic_wgs84) << raster.json;
  EXPECT_NE(raster.json.find("\"AREA_OR_POINT\":\"Area\""), std::string::npos) << raster.json;
  EXPECT_EQ(raster.bands, 3);  // the direct path has no transparency
  EXPECT_FALSE(std::filesystem::exists(out + "mosaic.tgw"));
  EXPECT_TRUE(std::filesystem::exists(out + "mosaic.prj"));

  // Same pixels as the PNG of the same survey, less its alpha.
  const cv::Mat tiff_pixels = cv::imread(tif.files.mosaic, cv::IMREAD_UNCHANGED);
  const cv::Mat png_pixels = cv::imread(png.files.mosaic, cv::IMREAD_UNCHANGED);
  ASSERT_EQ(tiff_pixels.type(), CV_8UC3);
  ASSERT_EQ(png_pixels.type(), CV_8UC4);
  std::vector<cv::Mat> png_channels, tiff_channels;
  cv::split(png_pixels, png_channels);
  cv::split(tiff_pixels, tiff_channels);
  for (int channel = 0; channel < 3; ++channel)
    EXPECT_EQ(cv::countNonZero(png_channels[channel] != tiff_channels[channel]), 0) << channel;

  // The DEM image as a GeoTIFF: first pixel centre on the KML's north-west corner (its
  // grid start), one step s per pixel with s between range/(n + 2) and range/(n + 1).
  const gdal_raster dem = gdal_info(out + "dem.tif");
  EXPECT_TRUE(dem.geographic_wgs84) << dem.json;
  const std::string kml = read_file(out + "dem.kml");
  std::smatch west, east, north, south;
  ASSERT_TRUE(std::regex_search(kml, west, std::regex("<west>([^<]*)</west>")));
  ASSERT_TRUE(std::regex_search(kml, east, std::regex("<east>([^<]*)</east>")));
  ASSERT_TRUE(std::regex_search(kml, north, std::regex("<north>([^<]*)</north>")));
  ASSERT_TRUE(std::regex_search(kml, south, std::regex("<south>([^<]*)</south>")));
  const double s = dem.transform[1];
  EXPECT_DOUBLE_EQ(dem.transform[5], -s);
  EXPECT_NEAR(dem.transform[0] + s / 2, std::stod(west[1]), 1e-10);  // %3.10f in the KML
  EXPECT_NEAR(dem.transform[3] - s / 2, std::stod(north[1]), 1e-10);
  const double lon_range = std::stod(east[1]) - std::stod(west[1]);
  EXPECT_GT(s, lon_range / (dem.width + 2));
  EXPECT_LE(s, lon_range / (dem.width + 1) * (1 + 1e-6));
}

TEST_F(GisOutputs, TilesArePlacedOnTheGridOfTheWholeView) {
  survey_design design = small();
  design.output_filename = "mosaic.jpg";
  const survey_truth whole = run(design, "whole");
  const gdal_raster whole_raster =
      expect_placed_on_view_grid(whole, whole.files.mosaic, whole.files.output_dir + "mosaic.tfw");
  const double a = whole_raster.transform[1], e = whole_raster.transform[5];

  design.output_tile_size_pixels = 200 * 200;  // S = 200 pixels
  const survey_truth tiled = run(design, "tiled");
  const std::string out = tiled.files.output_dir;
  int tiles = 0;
  for (int i = 0; i < 10; ++i) {
    for (int j = 0; j < 10; ++j) {
      const std::string name = out + "mosaic_" + std::to_string(i) + "_" + std::to_string(j);
      if (!std::filesystem::exists(name + ".jpg")) continue;
      ++tiles;
      const gdal_raster tile = expect_placed_on_view_grid(tiled, name + ".jpg", name + ".tfw");
      // Tile pixel (0, 0) is whole-view pixel (200 j - 50, 200 i - 50); a hundredth of a pixel.
      EXPECT_NEAR(tile.transform[0], whole_raster.transform[0] + (200 * i - 50) * a, 0.01 * a);
      EXPECT_NEAR(tile.transform[3], whole_raster.transform[3] + (200 * j - 50) * e, 0.01 * -e);
      EXPECT_NEAR(tile.transform[1] / a, 1.0, 1e-6);
    }
  }
  EXPECT_GE(tiles, 4);
}

// The conventional world files and GeoTIFF tags are derived from the run's reference
// point in double precision: far from Greenwich, where one single-precision step of
// longitude is half a metre, their first and last pixel centres still land on the
// view's grid within 0.05 px, and the mosaic placed by them matches the ground.
TEST_F(GisOutputs, WorldFilesAndGeoTiffTagsAreExactAtHighLongitudes) {
  struct place {
    double longitude_deg;
    const char* output_filename;
  };
  for (const place& at : {place{-120.3, "mosaic.png"}, place{179.4, "mosaic.jpg"},
                          place{-120.3, "mosaic.tif"}}) {
    SCOPED_TRACE(std::to_string(at.longitude_deg) + " " + at.output_filename);
    survey_design design = small();
    design.centre_longitude_deg = at.longitude_deg;
    design.meridian_longitude_deg = at.longitude_deg;
    design.output_filename = at.output_filename;
    const survey_truth truth = run(design, std::string("far_") + at.output_filename);
    const cv::Mat mosaic = cv::imread(truth.files.mosaic, cv::IMREAD_UNCHANGED);
    ASSERT_FALSE(mosaic.empty());

    // First pixel centre and steps as a GIS reads them.
    double first_lon = 0, first_lat = 0, lon_step = 0, lat_step = 0;
    const std::string name = at.output_filename;
    if (name.find(".tif") != std::string::npos) {
      const gdal_raster raster = gdal_info(truth.files.mosaic);
      lon_step = raster.transform[1];
      lat_step = raster.transform[5];
      first_lon = raster.transform[0] + lon_step / 2;
      first_lat = raster.transform[3] + lat_step / 2;
    } else {
      const std::string world = truth.files.output_dir + "mosaic." + name.substr(7, 1) +
                                name.substr(name.size() - 1) + "w";
      const world_file w = read_world_file(world);
      lon_step = w.lon_per_pixel;
      lat_step = w.minus_lat_per_pixel;
      first_lon = w.lon_min;
      first_lat = w.lat_max;
    }
    const double p = truth.design.output_pixel_size_m;
    const local_point first = truth.geographic_to_local(first_lat, first_lon);
    const local_point last =
        truth.geographic_to_local(first_lat + (mosaic.rows - 1) * lat_step,
                                  first_lon + (mosaic.cols - 1) * lon_step);
    EXPECT_NEAR(first.x_m, std::round(first.x_m / p) * p, 0.05 * p);
    EXPECT_NEAR(first.y_m, std::round(first.y_m / p) * p, 0.05 * p);
    EXPECT_NEAR(last.x_m - first.x_m, (mosaic.cols - 1) * p, 0.05 * p);
    EXPECT_NEAR(first.y_m - last.y_m, (mosaic.rows - 1) * p, 0.05 * p);

    // The ground truth drawn where these files put each pixel.
    const cv::Mat expected = render_truth(truth, first.x_m, first.y_m, p, mosaic.cols, mosaic.rows);
    const cv::Mat mask = expected_coverage_mask(truth, first.x_m, first.y_m, p, mosaic.cols,
                                                mosaic.rows, 2.0);
    const truth_stats stats = compare_to_truth(mosaic, expected, mask);
    EXPECT_GT(stats.blocks, 10) << describe(stats);
    EXPECT_LT(std::hypot(stats.median_dx_px, stats.median_dy_px), 0.1) << describe(stats);
    EXPECT_LT(stats.p95_offset_px, 0.5) << describe(stats);
  }
}

TEST_F(GisOutputs, KmlFilesValidateAgainstTheKml22Schema) {
  survey_design design = small();
  design.hills = true;
  design.use_dem = true;
  design.generate_dem_image = true;
  design.output_tile_size_pixels = 200 * 200;
  const survey_truth truth = run(design, "kml");
  const std::string out = truth.files.output_dir;

  int tiles = 0;
  for (const auto& entry : std::filesystem::directory_iterator(out)) {
    const std::string name = entry.path().filename().string();
    if (entry.path().extension() != ".kml" || name == "mosaic_link.kml") continue;
    if (name.rfind("mosaic_", 0) == 0) ++tiles;
    const schema_result result = validate_kml(entry.path().string());
    EXPECT_EQ(result.status, 0) << name << ":\n" << result.output;
    for (double latitude : kml_latitudes(read_file(entry.path().string()))) {
      EXPECT_GE(latitude, -90.0) << name;
      EXPECT_LE(latitude, 90.0) << name;
    }
  }
  EXPECT_GE(tiles, 4);
  EXPECT_TRUE(std::filesystem::exists(out + "dem.kml"));

  // The link index as laid down puts refreshMode directly in each NetworkLink, where
  // KML 2.2 only allows it inside Link: that is its one departure from the schema (one
  // error per tile). Everything else, the root element's spaced "=" included, validates.
  const schema_result index = validate_kml(out + "mosaic_link.kml");
  EXPECT_NE(index.status, 0);
  int errors = 0;
  std::istringstream lines(index.output);
  for (std::string line; std::getline(lines, line);) {
    if (line.find("validity error") == std::string::npos) continue;
    ++errors;
    EXPECT_NE(line.find("element refreshMode"), std::string::npos) << line;
  }
  EXPECT_EQ(errors, tiles) << index.output;
  std::string wellformed;
  EXPECT_EQ(run_command("xmllint --noout '" + out + "mosaic_link.kml' 2>&1", wellformed), 0)
      << wellformed;
}

}  // namespace
}  // namespace aeroquilt::testing
