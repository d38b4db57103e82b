// The outputs that show a mosaic where people look at maps, on a survey at 60 degrees
// north and 120.5 west: the web tiles against gdalwarp's own warp of the whole mosaic
// into the same tiles' bounds, the page in a real browser, the GIS layer, and the COG
// layout of the maps.

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <regex>
#include <thread>

#include "support/scratch.h"
#include "survey/synthetic_survey.h"

namespace aeroquilt::testing {
namespace {

namespace fs = std::filesystem;

constexpr double pi = 3.141592653589793;
constexpr double mercator_half_m = pi * 6378137.0;  // EPSG:3857's half world

// Web Mercator, worked here: metres of a point, and tile bounds.
void to_mercator(double lon, double lat, double& x, double& y) {
  x = lon * pi / 180.0 * 6378137.0;
  y = std::log(std::tan(pi / 4.0 + lat * pi / 360.0)) * 6378137.0;
}
void from_mercator(double x, double y, double& lon, double& lat) {
  lon = x / 6378137.0 * 180.0 / pi;
  lat = (2.0 * std::atan(std::exp(y / 6378137.0)) - pi / 2.0) * 180.0 / pi;
}

// The whole-image mosaic and its conventional world file (pixel centres).
struct placed_mosaic {
  cv::Mat bgra;
  std::vector<double> world;  // A, D, B, E, C, F
  // The pixel at a point (bilinear), false outside or near transparency.
  bool colour_at(double lon, double lat, cv::Vec3d& colour) const {
    const double c = (lon - world[4]) / world[0], r = (lat - world[5]) / world[3];
    const int c0 = static_cast<int>(std::floor(c)), r0 = static_cast<int>(std::floor(r));
    if (c0 < 1 || r0 < 1 || c0 + 2 >= bgra.cols || r0 + 2 >= bgra.rows) return false;
    for (int dr = -1; dr <= 2; ++dr)
      for (int dc = -1; dc <= 2; ++dc)
        if (bgra.at<cv::Vec4b>(r0 + dr, c0 + dc)[3] != 255) return false;
    const double fc = c - c0, fr = r - r0;
    colour = cv::Vec3d();
    for (int k = 0; k < 4; ++k) {
      const cv::Vec4b p = bgra.at<cv::Vec4b>(r0 + k / 2, c0 + k % 2);
      const double w = (k % 2 ? fc : 1 - fc) * (k / 2 ? fr : 1 - fr);
      for (int ch = 0; ch < 3; ++ch) colour[ch] += w * p[ch];
    }
    return true;
  }
};

int tilejson_zoom(const std::string& tilejson, const char* key) {
  std::smatch match;
  EXPECT_TRUE(
      std::regex_search(tilejson, match, std::regex(std::string("\"") + key + "\": (\\d+)")));
  return match.empty() ? -1 : std::stoi(match[1]);
}

class WebMap : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = std::make_unique<scratch_dir>("web_map");
    survey_design design;
    design.centre_latitude_deg = 60.0;
    design.centre_longitude_deg = -120.5;
    design.meridian_longitude_deg = -123.0;
    design.extra_config = "composite_mode,1\nwrite_source_map,1\nwrite_view_angle_map,1\n";
    const survey_truth whole = make_survey(design, dir_->file("whole"));
    design.output_tile_size_pixels = 40000;
    design.extra_config += "write_web_tiles,1\n";
    const survey_truth tiled = make_survey(design, dir_->file("tiled"));
    for (const survey_truth* run : {&whole, &tiled}) {
      const run_result result = run_program(run->files.config + " --batch");
      ASSERT_EQ(result.status, 1) << result.output;
    }
    out_ = tiled.files.output_dir;
    whole_mosaic_ = whole.files.mosaic;
    mosaic_.bgra = cv::imread(whole.files.mosaic, cv::IMREAD_UNCHANGED);
    mosaic_.world = numbers(read_file(whole.files.output_dir + "mosaic.pgw"));
  }
  static void TearDownTestSuite() { dir_.reset(); }

  inline static std::unique_ptr<scratch_dir> dir_;
  inline static std::string out_, whole_mosaic_;
  inline static placed_mosaic mosaic_;
};

// Each web tile is the whole mosaic warped into its bounds, at the native zoom
// (bilinear) and one above it (averaged): the same pattern, not shifted.
TEST_F(WebMap, TilesAreTheMosaicInWebMercator) {
  const std::string tilejson = read_file(out_ + "web/tiles.json");
  const int native = tilejson_zoom(tilejson, "maxzoom");
  ASSERT_GT(native, tilejson_zoom(tilejson, "minzoom"));
  // The native pixel is the first finer than the mosaic's 0.5 m at 60 degrees.
  const double pixel_m = 2 * mercator_half_m / (256 << native) * std::cos(60.0 * pi / 180.0);
  EXPECT_LT(pixel_m, 0.5);
  EXPECT_GE(pixel_m * 2, 0.5);
  for (const int zoom : {native, native - 1}) {
    int compared = 0;
    for (const auto& column : fs::directory_iterator(out_ + "web/" + std::to_string(zoom))) {
      for (const auto& file : fs::directory_iterator(column.path())) {
        const int x = std::stoi(column.path().filename().string());
        const int y = std::stoi(file.path().stem().string());
        const cv::Mat tile = cv::imread(file.path().string(), cv::IMREAD_UNCHANGED);
        ASSERT_EQ(tile.type(), CV_8UC4);
        const double size = 2 * mercator_half_m / (1 << zoom);
        const double x_min = -mercator_half_m + x * size, y_max = mercator_half_m - y * size;
        const std::string reference = dir_->file("reference.png");
        std::string output;
        ASSERT_EQ(run_command("gdalwarp -q -overwrite -s_srs EPSG:4326 -t_srs EPSG:3857 -te " +
                                  std::to_string(x_min) + " " + std::to_string(y_max - size) + " " +
                                  std::to_string(x_min + size) + " " + std::to_string(y_max) +
                                  " -ts 256 256 -r " + (zoom == native ? "bilinear" : "average") +
                                  " -dstalpha -of PNG " + whole_mosaic_ + " " + reference,
                              output),
                  0)
            << output;
        const cv::Mat expected = cv::imread(reference, cv::IMREAD_UNCHANGED);
        std::vector<cv::Mat> a, b;
        cv::split(tile, a);
        cv::split(expected, b);
        const cv::Mat both = (a[3] == 255) & (b[3] == 255);
        if (cv::countNonZero(both) < 256 * 64) continue;  // mostly edge
        cv::Mat grey_a, grey_b;
        cv::cvtColor(tile, grey_a, cv::COLOR_BGRA2GRAY);
        cv::cvtColor(expected, grey_b, cv::COLOR_BGRA2GRAY);
        grey_a.convertTo(grey_a, CV_64F);
        grey_b.convertTo(grey_b, CV_64F);
        cv::Scalar mean_a, sd_a, mean_b, sd_b;
        cv::meanStdDev(grey_a, mean_a, sd_a, both);
        cv::meanStdDev(grey_b, mean_b, sd_b, both);
        const cv::Mat product = (grey_a - mean_a[0]).mul(grey_b - mean_b[0]);
        const double correlation = cv::mean(product, both)[0] / (sd_a[0] * sd_b[0]);
        EXPECT_GT(correlation, 0.95) << zoom << "/" << x << "/" << y;
        // Outside the common pixels both are the mean, so only the pattern shifts.
        grey_a.setTo(mean_a[0], ~both);
        grey_b.setTo(mean_b[0], ~both);
        const cv::Point2d shift = cv::phaseCorrelate(grey_a, grey_b);
        EXPECT_LT(std::hypot(shift.x, shift.y), 0.5) << zoom << "/" << x << "/" << y;
        ++compared;
      }
    }
    EXPECT_GE(compared, 1) << "zoom " << zoom;
  }
}

// Served as a static folder, the page in headless Chromium shows the mosaic where its
// world file puts it and asks for nothing outside the folder; from file:// it shows the
// same.
TEST_F(WebMap, PageShowsTheMosaicInABrowserFromItsFolderAlone) {
  const std::string tilejson = read_file(out_ + "web/tiles.json");
  const int zoom = tilejson_zoom(tilejson, "maxzoom");
  double lon = 0, lat = 0;  // the view's centre: the mosaic's
  lon = mosaic_.world[4] + mosaic_.world[0] * mosaic_.bgra.cols / 2;
  lat = mosaic_.world[5] + mosaic_.world[3] * mosaic_.bgra.rows / 2;
  const std::string view =
      "index.html#" + std::to_string(zoom) + "/" + std::to_string(lat) + "/" + std::to_string(lon);
  const int port = 20000 + ::getpid() % 20000;
  std::string output;
  run_command("cd " + out_ + "web && (python3 -m http.server " + std::to_string(port) +
                  " --bind 127.0.0.1 >/dev/null 2>&1 & echo $! > " + dir_->file("server.pid") + ")",
              output);
  std::this_thread::sleep_for(std::chrono::milliseconds(800));
  const std::string origin = "http://127.0.0.1:" + std::to_string(port);
  const std::string shot = dir_->file("page.png"), net_log = dir_->file("net.json");
  const int status = run_command(source_dir() + "/scripts/web_screenshot.sh '" + origin + "/" +
                                     view + "' " + shot + " " + net_log,
                                 output);
  run_command("kill $(cat " + dir_->file("server.pid") + ")", output);
  ASSERT_EQ(status, 0) << output;
  // AEROQUILT_SCREENSHOT=path keeps the screenshot (the README's).
  if (const char* keep = std::getenv("AEROQUILT_SCREENSHOT"))
    fs::copy_file(shot, keep, fs::copy_options::overwrite_existing);

  // Every request the page made went to its own folder.
  const std::string log = read_file(net_log);
  const std::regex asked("\"initiator\":\"" + origin + "\"[^\n]*?\"url\":\"([^\"]+)\"");
  int requests = 0;
  for (auto it = std::sregex_iterator(log.begin(), log.end(), asked); it != std::sregex_iterator();
       ++it, ++requests)
    EXPECT_EQ((*it)[1].str().rfind(origin + "/", 0), 0u) << (*it)[1].str();
  EXPECT_GT(requests, 5);

  // The mosaic's colours where its world file puts them.
  const cv::Mat page = cv::imread(shot, cv::IMREAD_COLOR);
  ASSERT_EQ(page.size(), cv::Size(800, 600));
  double cx, cy;
  to_mercator(lon, lat, cx, cy);
  const double resolution = 2 * mercator_half_m / (256 << zoom);
  int sampled = 0, close = 0;
  for (int sy = 80; sy < 560; sy += 12) {
    for (int sx = 80; sx < 720; sx += 12) {
      double p_lon, p_lat;
      from_mercator(cx + (sx + 0.5 - 400) * resolution, cy - (sy + 0.5 - 300) * resolution, p_lon,
                    p_lat);
      cv::Vec3d expected;
      if (!mosaic_.colour_at(p_lon, p_lat, expected)) continue;
      const cv::Vec3b shown = page.at<cv::Vec3b>(sy, sx);
      ++sampled;
      close += cv::norm(cv::Vec3d(shown) - expected, cv::NORM_INF) <= 24;
    }
  }
  EXPECT_GT(sampled, 300);
  EXPECT_GT(close, 0.85 * sampled) << close << " of " << sampled;

  // From file://, offline, the same page.
  const std::string offline = dir_->file("offline.png");
  ASSERT_EQ(run_command(source_dir() + "/scripts/web_screenshot.sh 'file://" + out_ + "web/" +
                            view + "' " + offline,
                        output),
            0)
      << output;
  cv::Mat difference;
  cv::absdiff(page, cv::imread(offline, cv::IMREAD_COLOR), difference);
  EXPECT_LT(cv::mean(difference)[0], 2.0);
}

// The tiles as one raster: the VRT covers the survey at the tiles' pixel size; every map
// is a Cloud Optimized GeoTIFF.
TEST_F(WebMap, GisLayerIsTheWholeSurveyAndMapsAreCogs) {
  std::string info;
  ASSERT_EQ(run_command("gdalinfo " + out_ + "mosaic.vrt", info), 0) << info;
  std::smatch size, pixel, corner;
  ASSERT_TRUE(std::regex_search(info, size, std::regex("Size is (\\d+), (\\d+)")));
  ASSERT_TRUE(
      std::regex_search(info, pixel, std::regex("Pixel Size = \\(([-0-9.e]+),([-0-9.e]+)\\)")));
  ASSERT_TRUE(
      std::regex_search(info, corner, std::regex("Origin = \\(([-0-9.e]+),([-0-9.e]+)\\)")));
  const std::vector<double>& w = mosaic_.world;
  EXPECT_NEAR(std::stod(pixel[1]), w[0], 1e-12);
  EXPECT_NEAR(std::stod(pixel[2]), w[3], 1e-12);
  // The tiles reach up to 50 pixels past the survey's north and west edges, and beyond
  // its south and east edges to their size; the survey lies within.
  const double west = std::stod(corner[1]), north = std::stod(corner[2]);
  const double mosaic_west = w[4] - w[0] / 2, mosaic_north = w[5] - w[3] / 2;
  EXPECT_LE(west, mosaic_west + 1e-9);
  EXPECT_GE(west, mosaic_west - 51 * w[0]);
  EXPECT_GE(north, mosaic_north - 1e-9);
  EXPECT_LE(north, mosaic_north - 51 * w[3]);
  EXPECT_GE(west + std::stoi(size[1]) * w[0], mosaic_west + mosaic_.bgra.cols * w[0] - 1e-9);
  EXPECT_LE(north + std::stoi(size[2]) * w[3], mosaic_north + mosaic_.bgra.rows * w[3] + 1e-9);
  for (const char* name : {"mosaic_source.vrt", "mosaic_view_angle.vrt"})
    EXPECT_TRUE(fs::exists(out_ + name)) << name;
  int maps = 0;
  for (const std::string& name : names_in(out_)) {
    if (name.size() < 4 || name.substr(name.size() - 4) != ".tif") continue;
    EXPECT_EQ(run_command("/usr/bin/python3 /usr/lib/python3/dist-packages/osgeo_utils/samples/"
                          "validate_cloud_optimized_geotiff.py -q " +
                              out_ + name,
                          info),
              0)
        << name << ": " << info;
    ++maps;
  }
  EXPECT_GT(maps, 4);
}

}  // namespace
}  // namespace aeroquilt::testing
