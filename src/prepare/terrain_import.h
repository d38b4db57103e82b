#pragma once
// Terrain rasters in any format and CRS GDAL reads, resampled to the run's DEM grid
// (geographic WGS 84, heights at nodes).

#include <memory>
#include <string>
#include <vector>

namespace aeroquilt {

struct geo_box {
  double west = 0, south = 0, east = 0, north = 0;  // degrees
};

// The DEM file's grid: node (i from the north, j from the west) at latitude
// south_lat + (rows - i) * cell_deg and longitude west_lon + j * cell_deg.
struct geographic_dem {
  int columns = 0, rows = 0;
  double west_lon = 0, south_lat = 0, cell_deg = 0;
  std::vector<float> heights_m;  // column by column, each from north to south
};

class terrain_raster {
 public:
  // Opens the raster and its CRS; throws prepare_failure when GDAL cannot.
  explicit terrain_raster(const std::string& path);
  ~terrain_raster();
  terrain_raster(const terrain_raster&) = delete;
  terrain_raster& operator=(const terrain_raster&) = delete;

  // Height (metres) at a geographic position, bilinear between cell centres; false
  // outside the raster or next to a cell without data.
  bool height_at(double latitude_deg, double longitude_deg, double& height_m) const;
  // Whether the position lies within the raster's extent.
  bool covers(double latitude_deg, double longitude_deg) const;
  // The source cell in metres (its shorter side).
  double cell_m() const { return cell_m_; }
  const std::string& crs_name() const { return crs_name_; }
  const std::string& path() const { return path_; }

  // Resamples (bilinear) over `outer` at `cell_deg`, fills cells without data from
  // their neighbours. Throws prepare_failure when a node of `inner` lies outside
  // the raster.
  geographic_dem to_geographic(const geo_box& inner, const geo_box& outer, double cell_deg) const;

 private:
  struct state;
  std::unique_ptr<state> state_;
  std::string path_, crs_name_;
  double cell_m_ = 0;
};

}  // namespace aeroquilt
