// Whole runs read back the way GIS tools read them: rasters through GDAL
// (`gdalinfo -json`), KML files against the OGC KML 2.2 schema with xmllint.
// The georeferencing GDAL finds must put the centre of pixel (r, c) on the local
// point (x_min + c p, y_max - r p) of the view, the grid the mosaic is drawn on.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <opencv2/imgcodecs.hpp>
#include <regex>

#include "support/scratch.h"
#include "support/truth_compare.h"
#include "survey/synthetic_survey.h"

namespace aeroquilt::testing {
namespace {

// What `gdalinfo -json` says about a raster, the few fields these tests read.
struct gdal_raster {
  int width = 0, height = 0, bands = 0;
  std::vector<double> transform =
      std::vector<double>(6);     // x0, dx, 0, y0, 0, dy of pixel (0, 0)'s outer corner
  bool geographic_wgs84 = false;  // EPSG:4326 in the coordinate system
  std::string json;
};

// The numbers of the JSON array that follows "key":.
std::vector<double> json_numbers(const std::string& json, const std::string& key) {
  std::smatch m;
  if (!std::regex_search(json, m, std::regex("\"" + key + R"(":\s*\[([^\]]*)\])"))) return {};
  std::string list = m[1];
  std::replace(list.begin(), list.end(), ',', ' ');
  return numbers(list);
}

// How many times `pattern` matches `text`.
long count(const std::string& text, const std::string& pattern) {
  const std::regex re(pattern);
  return std::distance(std::sregex_iterator(text.begin(), text.end(), re), std::sregex_iterator());
}

gdal_raster gdal_info(const std::string& path) {
  gdal_raster raster;
  EXPECT_EQ(run_command("gdalinfo -json '" + path + "' 2>&1", raster.json), 0) << raster.json;
  const std::vector<double> size = json_numbers(raster.json, "size");
  const std::vector<double> transform = json_numbers(raster.json, "geoTransform");
  EXPECT_EQ(size.size(), 2u) << raster.json;
  EXPECT_EQ(transform.size(), 6u) << path << " has no georeferencing:\n" << raster.json;
  if (size.size() != 2 || transform.size() != 6) return raster;
  raster.width = static_cast<int>(size[0]);
  raster.height = static_cast<int>(size[1]);
  raster.transform = transform;
  raster.bands = static_cast<int>(count(raster.json, "\"band\":"));
  raster.geographic_wgs84 = raster.json.find(R"(ID[\"EPSG\",4326])") != std::string::npos;
  return raster;
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
    const run_result result = run_program(truth.files.config);
    EXPECT_EQ(result.status, 1) << result.output;
    return truth;
  }

  // Checks that GDAL's placement of the raster at `image_path` puts its first and last
  // pixel centres on the run's grid (multiples of p in the survey's local frame) within
  // 0.05 px, and that the mosaic drawn there matches the ground truth.
  static gdal_raster expect_exactly_placed(const survey_truth& truth,
                                           const std::string& image_path) {
    SCOPED_TRACE(image_path);
    const gdal_raster raster = gdal_info(image_path);
    const cv::Mat mosaic = cv::imread(image_path, cv::IMREAD_COLOR);
    EXPECT_EQ(raster.width, mosaic.cols);
    EXPECT_EQ(raster.height, mosaic.rows);
    EXPECT_EQ(raster.transform[2], 0.0);
    EXPECT_EQ(raster.transform[4], 0.0);
    const double a = raster.transform[1], e = raster.transform[5];
    const double p = truth.design.output_pixel_size_m;
    const local_point first =
        truth.geographic_to_local(raster.transform[3] + e / 2, raster.transform[0] + a / 2);
    const local_point last =
        truth.geographic_to_local(raster.transform[3] + e * (mosaic.rows - 0.5),
                                  raster.transform[0] + a * (mosaic.cols - 0.5));
    EXPECT_NEAR(first.x_m, std::round(first.x_m / p) * p, 0.05 * p);
    EXPECT_NEAR(first.y_m, std::round(first.y_m / p) * p, 0.05 * p);
    EXPECT_NEAR(last.x_m - first.x_m, (mosaic.cols - 1) * p, 0.05 * p);
    EXPECT_NEAR(first.y_m - last.y_m, (mosaic.rows - 1) * p, 0.05 * p);

    const cv::Mat expected = render_truth(truth, first.x_m, first.y_m, p, mosaic.cols, mosaic.rows);
    const cv::Mat mask =
        expected_coverage_mask(truth, first.x_m, first.y_m, p, mosaic.cols, mosaic.rows, 2.0);
    const truth_stats stats = compare_to_truth(mosaic, expected, mask);
    EXPECT_GT(stats.blocks, 10) << describe(stats);
    EXPECT_LT(std::hypot(stats.median_dx_px, stats.median_dy_px), 0.1) << describe(stats);
    EXPECT_LT(stats.p95_offset_px, 0.5) << describe(stats);
    return raster;
  }

  // The DEM image as a Cloud Optimized GeoTIFF: first pixel centre on the KML's north-west
  // corner (its grid start), one step s per pixel with s between range/(n + 2) and
  // range/(n + 1).
  static void expect_dem_geotiff_matches_its_kml(const std::string& out_dir) {
    const gdal_raster dem = gdal_info(out_dir + "dem.tif");
    EXPECT_TRUE(dem.geographic_wgs84) << dem.json;
    EXPECT_NE(dem.json.find("\"LAYOUT\":\"COG\""), std::string::npos) << dem.json;
    const std::string kml = read_file(out_dir + "dem.kml");
    const auto edge = [&](const std::string& tag) {
      std::smatch m;
      EXPECT_TRUE(std::regex_search(kml, m, std::regex("<" + tag + ">([^<]*)</" + tag + ">")));
      return m.empty() ? NAN : std::stod(m[1]);
    };
    const double s = dem.transform[1];
    EXPECT_DOUBLE_EQ(dem.transform[5], -s);
    EXPECT_NEAR(dem.transform[0] + s / 2, edge("west"), 1e-10);  // %3.10f in the KML
    EXPECT_NEAR(dem.transform[3] - s / 2, edge("north"), 1e-10);
    const double lon_range = edge("east") - edge("west");
    EXPECT_GT(s, lon_range / (dem.width + 2));
    EXPECT_LE(s, lon_range / (dem.width + 1) * (1 + 1e-6));
  }

  scratch_dir dir_{"gis"};
};

// Each image format is placed through what GIS readers look for (the conventional world
// file and .prj, or the GeoTIFF tags), derived from the run's reference point in double
// precision: far from Greenwich, where one single-precision step of longitude is half a
// metre, the pixels still land on the run's grid.
TEST_F(GisOutputs, EveryFormatIsPlacedExactlyWhereverTheSurveyLies) {
  struct place {
    double longitude_deg;
    const char* output_filename;
    const char* read_from;  // the side file GDAL must name, or "" for a GeoTIFF
    int bands;
  };
  cv::Mat png_at_120;  // the -120.3 PNG, which the GeoTIFF after it must equal
  for (const place& at :
       {place{9.2, "mosaic.png", "mosaic.pgw", 4}, place{-120.3, "mosaic.png", "mosaic.pgw", 4},
        place{179.4, "mosaic.jpg", "mosaic.jgw", 3}, place{-120.3, "mosaic.tif", "", 4}}) {
    SCOPED_TRACE(std::to_string(at.longitude_deg) + " " + at.output_filename);
    survey_design design = small();
    design.centre_longitude_deg = at.longitude_deg;
    design.meridian_longitude_deg = at.longitude_deg;
    design.output_filename = at.output_filename;
    const bool tiff = *at.read_from == '\0';
    design.generate_dem_image = tiff;
    design.output_dem_filename = "dem.tif";
    // Folder names without dots: a side file's extension is found anywhere in its path.
    const std::string name = at.output_filename;
    const survey_truth truth =
        run(design, "lon" + std::to_string(static_cast<int>(at.longitude_deg)) + "_" +
                        name.substr(name.find('.') + 1));
    const gdal_raster raster = expect_exactly_placed(truth, truth.files.mosaic);
    EXPECT_EQ(raster.bands, at.bands);  // PNG and GeoTIFF keep their transparency
    if (!tiff) {
      EXPECT_NE(raster.json.find(at.read_from), std::string::npos) << raster.json;
      if (at.bands == 4) png_at_120 = cv::imread(truth.files.mosaic, cv::IMREAD_UNCHANGED);
    } else {
      EXPECT_TRUE(raster.geographic_wgs84) << raster.json;
      EXPECT_NE(raster.json.find("\"AREA_OR_POINT\":\"Area\""), std::string::npos) << raster.json;
      EXPECT_NE(raster.json.find("\"LAYOUT\":\"COG\""), std::string::npos) << raster.json;
      EXPECT_FALSE(std::filesystem::exists(truth.files.output_dir + "mosaic.tgw"));
      // The same pixels as the PNG of the same survey, alpha included.
      const cv::Mat tiff_pixels = cv::imread(truth.files.mosaic, cv::IMREAD_UNCHANGED);
      ASSERT_EQ(tiff_pixels.type(), CV_8UC4);
      ASSERT_EQ(png_at_120.type(), CV_8UC4);
      EXPECT_EQ(cv::norm(png_at_120, tiff_pixels, cv::NORM_INF), 0.0);
      expect_dem_geotiff_matches_its_kml(truth.files.output_dir);
    }
    std::string srs;
    ASSERT_EQ(run_command("gdalsrsinfo -e '" + truth.files.output_dir + "mosaic.prj' 2>&1", srs), 0)
        << srs;
    EXPECT_NE(srs.find("EPSG:4326"), std::string::npos) << srs;
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
  // xmllint's verdict against the OGC KML 2.2 schema kept in tests/data/kml22.
  const auto validate_kml = [](const std::string& path) {
    run_result result;
    result.status = run_command("xmllint --noout --nonet --schema '" + source_dir() +
                                    "/tests/data/kml22/ogckml22.xsd' '" + path + "'",
                                result.output);
    return result;
  };

  int tiles = 0;
  for (const auto& entry : std::filesystem::directory_iterator(out)) {
    const std::string name = entry.path().filename().string();
    if (entry.path().extension() != ".kml" || name == "mosaic_link.kml") continue;
    if (name.rfind("mosaic_", 0) == 0) ++tiles;
    const run_result result = validate_kml(entry.path().string());
    EXPECT_EQ(result.status, 0) << name << ":\n" << result.output;
    // The schema allows +-180 in <north> and <south>.
    const std::string kml = read_file(entry.path().string());
    const std::regex tag(R"(<(north|south)>([^<]*)</)");
    for (auto it = std::sregex_iterator(kml.begin(), kml.end(), tag); it != std::sregex_iterator();
         ++it)
      EXPECT_LE(std::abs(std::stod((*it)[2].str())), 90.0) << name;
  }
  EXPECT_GE(tiles, 4);
  EXPECT_TRUE(std::filesystem::exists(out + "dem.kml"));

  // The link index as laid down puts refreshMode directly in each NetworkLink, where
  // KML 2.2 only allows it inside Link: that is its one departure from the schema (one
  // error per tile). Everything else, the root element's spaced "=" included, validates.
  const run_result index = validate_kml(out + "mosaic_link.kml");
  EXPECT_EQ(count(index.output, "validity error"), tiles) << index.output;
  EXPECT_EQ(count(index.output, "element refreshMode: Schemas validity error"), tiles)
      << index.output;
}

}  // namespace
}  // namespace aeroquilt::testing
