#include "output/web_map.h"

#include <cpl_error.h>
#include <gdal_priv.h>
#include <gdal_utils.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <sstream>
#include <unordered_map>

#include "base/console.h"
#include "output/gdal_calls.h"
#include "output/gis_layer.h"
#include "output/output_files.h"
#include "output/view_files.h"

namespace aeroquilt {
namespace {

constexpr double pi = 3.141592653589793;
constexpr double earth_half_m = 20037508.342789244;  // half the Web Mercator world, metres
constexpr int tile_px = 256;
constexpr int block_tiles = 8;  // native tiles warped at once, each way
constexpr const char* leaflet_folder = "/usr/share/javascript/leaflet/";

struct dataset_closer {
  void operator()(GDALDatasetH dataset) const { GDALClose(dataset); }
};
using dataset_handle = std::unique_ptr<void, dataset_closer>;
struct warp_options_closer {
  void operator()(GDALWarpAppOptions* options) const { GDALWarpAppOptionsFree(options); }
};

// Metres as GDAL reads them back exactly (block edges must not move with rounding).
std::string number(double value) {
  char text[64];
  std::snprintf(text, sizeof(text), "%.17g", value);
  return text;
}

std::string degrees(double value) {
  char text[64];
  std::snprintf(text, sizeof(text), "%.10f", value);
  return text;
}

std::string tile_path(const std::string& folder, int zoom, int x, int y) {
  return folder + std::to_string(zoom) + "/" + std::to_string(x) + "/" + std::to_string(y) + ".png";
}

// The tiles of `region` at `zoom`: columns x0..x1, rows y0..y1.
void tile_range(const geo_bounds& region, int zoom, int& x0, int& y0, int& x1, int& y1) {
  web_tile_of(region.west, region.north, zoom, x0, y0);
  web_tile_of(region.east, region.south, zoom, x1, y1);
}

// Writes a BGRA tile as PNG through the all-or-nothing writer.
bool write_tile(const std::string& folder, int zoom, int x, int y, const cv::Mat& bgra) {
  const std::string path = tile_path(folder, zoom, x, y);
  std::error_code error;
  std::filesystem::create_directories(std::filesystem::path(path).parent_path(), error);
  if (write_image_atomically(path, bgra, {cv::IMWRITE_PNG_COMPRESSION, 3}, nullptr) !=
      write_outcome::written) {
    console_printf("cannot write %s\n", path.c_str());
    return false;
  }
  return true;
}

// A distinct, steady colour per flight-log line, each worked out once per block.
class line_colours {
 public:
  cv::Vec3b operator()(int line) {
    const auto known = colours_.find(line);
    if (known != colours_.end()) return known->second;
    const double hue = std::fmod(line * 0.6180339887, 1.0) * 180.0;
    cv::Mat hsv(1, 1, CV_8UC3, cv::Scalar(hue, 170, 240)), bgr;
    cv::cvtColor(hsv, bgr, cv::COLOR_HSV2BGR);
    return colours_[line] = bgr.at<cv::Vec3b>(0, 0);
  }

 private:
  std::unordered_map<int, cv::Vec3b> colours_;
};

// A warped block of a map (one band) as BGRA: sources one colour per line, angles on a
// ramp from 0 to 45 degrees; transparent where the map has no value.
cv::Mat colour_map(const cv::Mat& values, web_layer_kind kind) {
  cv::Mat bgra(values.size(), CV_8UC4, cv::Scalar::all(0));
  line_colours line_colour;
  cv::Mat ramp;
  if (kind == web_layer_kind::angle_map) {
    cv::Mat grey;
    values.convertTo(grey, CV_8U, 255.0 / 45.0);
    cv::applyColorMap(grey, ramp, cv::COLORMAP_VIRIDIS);
  }
  for (int r = 0; r < values.rows; ++r) {
    for (int c = 0; c < values.cols; ++c) {
      const float value = values.at<float>(r, c);
      if (!(value == value) || (kind == web_layer_kind::source_map && value <= 0)) continue;
      const cv::Vec3b colour = kind == web_layer_kind::source_map
                                   ? line_colour(static_cast<int>(value))
                                   : ramp.at<cv::Vec3b>(r, c);
      bgra.at<cv::Vec4b>(r, c) = {colour[0], colour[1], colour[2], 255};
    }
  }
  return bgra;
}

// The native tiles x0..x0+nx-1, y0..y0+ny-1 warped from `source` as one BGRA image.
bool warp_block(GDALDatasetH source, int zoom, int x0, int y0, int nx, int ny, web_layer_kind kind,
                cv::Mat& bgra) {
  double x_min, y_min, x_max, y_max, unused;
  web_tile_bounds(x0, y0, zoom, x_min, unused, unused, y_max);
  web_tile_bounds(x0 + nx - 1, y0 + ny - 1, zoom, unused, y_min, x_max, unused);
  const bool colour = kind == web_layer_kind::colour;
  std::vector<std::string> arguments = {
      "-of", "MEM", "-s_srs", "EPSG:4326", "-t_srs", "EPSG:3857", "-te", number(x_min),
      number(y_min), number(x_max), number(y_max), "-ts", std::to_string(nx * tile_px),
      std::to_string(ny * tile_px), "-r", kind == web_layer_kind::source_map ? "near" : "bilinear",
      // Exact: a tile is the same in whatever block it is
      // warped.
      "-et", "0"};
  if (colour) {
    arguments.push_back("-dstalpha");
    // A view without alpha (JPEG, BMP) has black where nothing was projected.
    if (GDALGetRasterCount(source) < 4) arguments.insert(arguments.end(), {"-srcnodata", "0 0 0"});
  } else {
    const char* none = kind == web_layer_kind::source_map ? "0" : "nan";
    arguments.insert(arguments.end(), {"-ot", "Float32", "-srcnodata", none, "-dstnodata", "nan"});
  }
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  const std::unique_ptr<GDALWarpAppOptions, warp_options_closer> options(
      GDALWarpAppOptionsNew(argv.data(), nullptr));
  int usage_error = 0;
  dataset_handle warped(GDALWarp("", nullptr, 1, &source, options.get(), &usage_error));
  if (!warped) return false;
  const int width = nx * tile_px, height = ny * tile_px;
  if (colour) {
    if (GDALGetRasterCount(warped.get()) != 4) return false;
    bgra.create(height, width, CV_8UC4);
    int bands[4] = {3, 2, 1, 4};
    return GDALDatasetRasterIO(warped.get(), GF_Read, 0, 0, width, height, bgra.data, width, height,
                               GDT_Byte, 4, bands, 4, width * 4, 1) == CE_None;
  }
  cv::Mat values(height, width, CV_32F);
  if (GDALRasterIO(GDALGetRasterBand(warped.get(), 1), GF_Read, 0, 0, width, height, values.data,
                   width, height, GDT_Float32, 0, 0) != CE_None)
    return false;
  bgra = colour_map(values, kind);
  return true;
}

// One tile from its four children (2 x 2 averaged with their alpha); empty when they
// hold no pixel.
cv::Mat parent_tile(const std::string& folder, int zoom, int x, int y) {
  cv::Mat children(2 * tile_px, 2 * tile_px, CV_8UC4, cv::Scalar::all(0));
  bool any = false;
  for (int dy = 0; dy < 2; ++dy) {
    for (int dx = 0; dx < 2; ++dx) {
      const std::string path = tile_path(folder, zoom + 1, 2 * x + dx, 2 * y + dy);
      std::error_code error;
      if (!std::filesystem::is_regular_file(path, error)) continue;
      const cv::Mat child = cv::imread(path, cv::IMREAD_UNCHANGED);
      if (child.type() != CV_8UC4 || child.rows != tile_px || child.cols != tile_px) continue;
      child.copyTo(children(cv::Rect(dx * tile_px, dy * tile_px, tile_px, tile_px)));
      any = true;
    }
  }
  if (!any) return {};
  cv::Mat parent(tile_px, tile_px, CV_8UC4, cv::Scalar::all(0));
  bool seen = false;
  for (int r = 0; r < tile_px; ++r) {
    for (int c = 0; c < tile_px; ++c) {
      double sum[3] = {0, 0, 0}, alpha = 0;
      for (int k = 0; k < 4; ++k) {
        const cv::Vec4b p = children.at<cv::Vec4b>(2 * r + k / 2, 2 * c + k % 2);
        for (int ch = 0; ch < 3; ++ch) sum[ch] += double(p[ch]) * p[3];
        alpha += p[3];
      }
      if (alpha == 0) continue;
      seen = true;
      cv::Vec4b& out = parent.at<cv::Vec4b>(r, c);
      for (int ch = 0; ch < 3; ++ch) out[ch] = cv::saturate_cast<uchar>(sum[ch] / alpha);
      out[3] = cv::saturate_cast<uchar>(alpha / 4.0);
    }
  }
  return seen ? parent : cv::Mat();
}

std::string read_file(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return file ? text.str() : std::string();
}

// `text` as a JSON string, quotes included; also safe inside an HTML script (no <, >, &).
std::string json_string(const std::string& text) {
  std::string quoted = "\"";
  for (const unsigned char c : text) {
    if (c < 0x20 || c == '"' || c == '\\' || c == '<' || c == '>' || c == '&') {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      quoted += escaped;
    } else {
      quoted += static_cast<char>(c);
    }
  }
  return quoted + "\"";
}

// `text` as HTML element text.
std::string html_text(const std::string& text) {
  std::string escaped;
  for (const char c : text) {
    if (c == '<')
      escaped += "&lt;";
    else if (c == '>')
      escaped += "&gt;";
    else if (c == '&')
      escaped += "&amp;";
    else
      escaped += c;
  }
  return escaped;
}

std::string bounds_json(const geo_bounds& b) {
  return "[[" + degrees(b.south) + "," + degrees(b.west) + "],[" + degrees(b.north) + "," +
         degrees(b.east) + "]]";
}

// The outlines of the output tiles, for the page.
std::string tiles_script(const web_page& page) {
  std::string text = "var aeroquilt_tiles = [\n";
  for (const auto& [name, bounds] : page.tiles)
    text += "  {\"name\": " + json_string(name) + ", \"bounds\": " + bounds_json(bounds) + "},\n";
  return text + "];\n";
}

const char* const page_template = R"(<!DOCTYPE html>
<html>
<head>
<meta charset="utf-8">
<title>@TITLE@</title>
<meta name="viewport" content="width=device-width, initial-scale=1">
<link rel="stylesheet" href="leaflet.css">
<style>html, body, #map { height: 100%; margin: 0; background: #d8d8d8; }</style>
<script src="leaflet.js"></script>
<script src="tiles.js"></script>
</head>
<body>
<div id="map"></div>
<script>
// The mosaic's web map: tiles beside this page, nothing from elsewhere.
var area = @AREA@, minZoom = @MIN@, nativeZoom = @NATIVE@, version = @VERSION@;
var map = L.map('map', {zoomSnap: 0.25, attributionControl: false});
// #ZOOM/LATITUDE/LONGITUDE opens that view; otherwise the whole area.
var view = location.hash.substring(1).split('/').map(Number);
if (view.length === 3 && view.every(isFinite)) map.setView([view[1], view[2]], view[0]);
else map.fitBounds(area);
function layer(folder) {
  var tiles = L.tileLayer(folder + '{z}/{x}/{y}.png?v=' + version,
      {minZoom: 0, maxZoom: nativeZoom + 3, minNativeZoom: minZoom, maxNativeZoom: nativeZoom,
       bounds: area});
  tiles.folder = folder;
  return tiles;
}
var mosaic = layer('').addTo(map), layers = {'mosaic': mosaic}, overlays = {};
var outlines = L.layerGroup().addTo(map);
function drawOutlines() {
  outlines.clearLayers();
  aeroquilt_tiles.forEach(function (tile) {
    L.rectangle(tile.bounds, {color: '#ff7800', weight: 1, fill: false})
        .bindTooltip(tile.name).addTo(outlines);
  });
}
drawOutlines();
overlays['output tiles'] = outlines;
@MAPS@
L.control.layers(layers, overlays).addTo(map);
// A live run raises the version with every update: the changed tiles are fetched again.
function aeroquilt_version(latest) {
  if (latest === version) return;
  version = latest;
  [mosaic].concat(Object.keys(overlays).map(function (k) { return overlays[k]; }))
      .forEach(function (l) {
        if (l.folder !== undefined) l.setUrl(l.folder + '{z}/{x}/{y}.png?v=' + version);
      });
  var tiles = document.createElement('script');
  tiles.src = 'tiles.js?v=' + version;
  tiles.onload = drawOutlines;
  document.head.appendChild(tiles);
}
setInterval(function () {
  var poll = document.createElement('script');
  poll.src = 'version.js?t=' + Date.now();
  poll.onload = poll.onerror = function () { poll.remove(); };
  document.head.appendChild(poll);
}, 3000);
</script>
</body>
</html>
)";

std::string replaced(std::string text, const std::string& key, const std::string& value) {
  for (std::size_t at = text.find(key); at != std::string::npos; at = text.find(key, at))
    text.replace(at, key.size(), value), at += value.size();
  return text;
}

}  // namespace

web_pyramid plan_web_pyramid(const geo_bounds& area, double pixel_size_m) {
  web_pyramid pyramid;
  const double latitude = (area.south + area.north) / 2.0 * pi / 180.0;
  pyramid.native_zoom = 24;
  for (int zoom = 0; zoom <= 24; ++zoom) {
    const double pixel_m =
        2.0 * earth_half_m / (tile_px * std::ldexp(1.0, zoom)) * std::cos(latitude);
    if (pixel_m < pixel_size_m) {
      pyramid.native_zoom = zoom;
      break;
    }
  }
  pyramid.min_zoom = 0;
  for (int zoom = pyramid.native_zoom; zoom >= 0; --zoom) {
    int x0, y0, x1, y1;
    tile_range(area, zoom, x0, y0, x1, y1);
    if (x1 - x0 < 2 && y1 - y0 < 2) {
      pyramid.min_zoom = zoom;
      break;
    }
  }
  return pyramid;
}

void web_tile_of(double lon_deg, double lat_deg, int zoom, int& x, int& y) {
  const double n = std::ldexp(1.0, zoom);
  const double lat = std::clamp(lat_deg, -85.05112878, 85.05112878) * pi / 180.0;
  const double fx = (lon_deg + 180.0) / 360.0 * n;
  const double fy = (1.0 - std::asinh(std::tan(lat)) / pi) / 2.0 * n;
  x = static_cast<int>(std::clamp(std::floor(fx), 0.0, n - 1));
  y = static_cast<int>(std::clamp(std::floor(fy), 0.0, n - 1));
}

void web_tile_bounds(int x, int y, int zoom, double& x_min, double& y_min, double& x_max,
                     double& y_max) {
  const double size = 2.0 * earth_half_m / std::ldexp(1.0, zoom);
  x_min = -earth_half_m + x * size;
  x_max = x_min + size;
  y_max = earth_half_m - y * size;
  y_min = y_max - size;
}

bool write_web_tiles(const std::string& source, const std::string& folder,
                     const web_pyramid& pyramid, const geo_bounds& region, web_layer_kind kind) {
  register_gdal_drivers();
  const gdal_failure_capture gdal;
  const dataset_handle dataset(GDALOpen(source.c_str(), GA_ReadOnly));
  if (!dataset) {
    console_printf("cannot make the web map of %s: %s\n", source.c_str(),
                   gdal.reason("GDAL cannot open it").c_str());
    return false;
  }
  int x0, y0, x1, y1;
  const int native = pyramid.native_zoom;
  tile_range(region, native, x0, y0, x1, y1);
  for (int bx = x0; bx <= x1; bx += block_tiles) {
    for (int by = y0; by <= y1; by += block_tiles) {
      const int nx = std::min(block_tiles, x1 - bx + 1), ny = std::min(block_tiles, y1 - by + 1);
      cv::Mat block;
      if (!warp_block(dataset.get(), native, bx, by, nx, ny, kind, block)) {
        console_printf("cannot make the web map of %s: %s\n", source.c_str(),
                       gdal.reason("GDAL cannot warp it").c_str());
        return false;
      }
      for (int dx = 0; dx < nx; ++dx) {
        for (int dy = 0; dy < ny; ++dy) {
          const cv::Mat tile = block(cv::Rect(dx * tile_px, dy * tile_px, tile_px, tile_px));
          cv::Mat alpha;
          cv::extractChannel(tile, alpha, 3);
          if (cv::countNonZero(alpha) == 0) continue;
          if (!write_tile(folder, native, bx + dx, by + dy, tile.clone())) return false;
        }
      }
    }
  }
  for (int zoom = native - 1; zoom >= pyramid.min_zoom; --zoom) {
    tile_range(region, zoom, x0, y0, x1, y1);
    for (int x = x0; x <= x1; ++x) {
      for (int y = y0; y <= y1; ++y) {
        const cv::Mat tile = parent_tile(folder, zoom, x, y);
        if (!tile.empty() && !write_tile(folder, zoom, x, y, tile)) return false;
      }
    }
  }
  return true;
}

bool write_web_page(const std::string& folder, const web_page& page) {
  // The page works offline: Leaflet's own files sit beside it.
  for (const char* name :
       {"leaflet.js", "leaflet.css", "images/layers.png", "images/layers-2x.png"}) {
    const std::string text = read_file(std::string(leaflet_folder) + name);
    if (text.empty()) {
      console_printf("the web page needs Leaflet (Debian libjs-leaflet): %s%s not found\n",
                     leaflet_folder, name);
      return false;
    }
    std::error_code error;
    std::filesystem::create_directories(std::filesystem::path(folder + name).parent_path(), error);
    if (!write_output_text(folder + name, text)) return false;
  }
  std::string maps;
  if (page.source_map) maps += "overlays['source frame'] = layer('source/');\n";
  if (page.angle_map) maps += "overlays['view angle'] = layer('view_angle/');\n";
  std::string html = replaced(page_template, "@TITLE@", html_text(page.title));
  html = replaced(html, "@AREA@", bounds_json(page.area));
  html = replaced(html, "@MIN@", std::to_string(page.pyramid.min_zoom));
  html = replaced(html, "@NATIVE@", std::to_string(page.pyramid.native_zoom));
  html = replaced(html, "@VERSION@", std::to_string(page.version));
  html = replaced(html, "@MAPS@", maps);
  const geo_bounds& a = page.area;
  const std::string tilejson =
      "{\n  \"tilejson\": \"2.2.0\",\n  \"name\": " + json_string(page.title) +
      ",\n  \"scheme\": \"xyz\",\n  \"tiles\": [\"{z}/{x}/{y}.png\"],\n  \"minzoom\": " +
      std::to_string(page.pyramid.min_zoom) +
      ",\n  \"maxzoom\": " + std::to_string(page.pyramid.native_zoom) + ",\n  \"bounds\": [" +
      degrees(a.west) + ", " + degrees(a.south) + ", " + degrees(a.east) + ", " + degrees(a.north) +
      "],\n  \"center\": [" + degrees((a.west + a.east) / 2) + ", " +
      degrees((a.south + a.north) / 2) + ", " + std::to_string(page.pyramid.min_zoom) + "]\n}\n";
  return write_output_text(folder + "index.html", html) &&
         write_output_text(folder + "tiles.json", tilejson) && write_web_version(folder, page);
}

bool write_web_version(const std::string& folder, const web_page& page) {
  return write_output_text(folder + "tiles.js", tiles_script(page)) &&
         write_output_text(folder + "version.js",
                           "aeroquilt_version(" + std::to_string(page.version) + ");\n");
}

}  // namespace aeroquilt
