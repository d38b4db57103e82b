#pragma once
// The web map of a mosaic: XYZ tiles in Web Mercator (EPSG:3857), 256 x 256 PNG with
// transparency, warped from the mosaic with GDAL, beside a Leaflet page, its TileJSON and
// the page's scripts, all in one folder that works offline from file:// and from any
// static server.

#include <string>
#include <vector>

namespace aeroquilt {

// A box in degrees.
struct geo_bounds {
  double west = 0, south = 0, east = 0, north = 0;
};

// The zooms of a web map: native is the first whose pixel is finer than the mosaic's at
// the area's middle latitude; min the deepest at which the area spans at most two tiles
// each way.
struct web_pyramid {
  int min_zoom = 0, native_zoom = 0;
};
web_pyramid plan_web_pyramid(const geo_bounds& area, double pixel_size_m);

// The XYZ tile holding a point, and a tile's bounds in EPSG:3857 metres.
void web_tile_of(double lon_deg, double lat_deg, int zoom, int& x, int& y);
void web_tile_bounds(int x, int y, int zoom, double& x_min, double& y_min, double& x_max,
                     double& y_max);

enum class web_layer_kind {
  colour,      // a colour mosaic with alpha: bilinear, averaged with its alpha
  source_map,  // flight-log lines (0: none): nearest, one colour per line
  angle_map,   // off-nadir degrees (NaN: none): bilinear, a colour ramp
};

// Writes the tiles of the layer `source` (a raster in geographic WGS 84, an image placed
// by its world file included) into `folder`/{z}/{x}/{y}.png where they meet `region`
// (part of `area`): native tiles warped from the source, lower zooms averaged from the
// four below. A tile with no pixel is not written. False after the first failure, whose
// message is printed.
bool write_web_tiles(const std::string& source, const std::string& folder,
                     const web_pyramid& pyramid, const geo_bounds& region,
                     web_layer_kind kind);

// What the page shows.
struct web_page {
  std::string title;
  geo_bounds area;
  web_pyramid pyramid;
  std::vector<std::pair<std::string, geo_bounds>> tiles;  // output tiles' names and bounds
  bool source_map = false, angle_map = false;             // their layers are written
  long version = 0;  // raised with every update of a live run; the page polls it
};

// Writes into `folder` the page index.html (a Leaflet map fitted to the area, with the
// mosaic, the outlines of the output tiles and the maps' layers), the Leaflet files it
// needs, tiles.json (TileJSON), tiles.js (the outlines) and version.js. False after the
// first failure.
bool write_web_page(const std::string& folder, const web_page& page);

// Writes only what a live update changes: the outlines and the version.
bool write_web_version(const std::string& folder, const web_page& page);

}  // namespace aeroquilt
