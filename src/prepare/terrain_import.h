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
  int source_step = 1;           // source cells averaged along each side per cell read
};

// The DEM file's cell, chosen for the run.
struct dem_cell_choice {
  double cell_deg = 0;
  double wanted_m = 0;           // the cell before rounding to the single-precision spacing
  const char* limit = "";        // what set wanted_m, for the summary
  double float_spacing_deg = 0;  // single-precision spacing at the grid's largest coordinate
};

// The cell (degrees) of a grid over `outer`: as fine as the source's cell, but no finer
// than `finest_m` (finer terrain moves no mosaic pixel), no coarser than `coarsest_m`
// (so that the run finds nodes about the footprints), and with at most `max_nodes`
// nodes (which wins over `coarsest_m`); then rounded up to a whole multiple of the
// single-precision spacing at the grid's largest |longitude|, |latitude| or extent. The
// run places nodes at single-precision degrees: with the origin a multiple of that
// spacing too (as to_geographic makes it), every node is exact instead of snapping to
// a neighbour of another cell.
dem_cell_choice choose_dem_cell(const geo_box& outer, double source_cell_m, double finest_m,
                                double coarsest_m, double max_nodes);

class terrain_raster {
 public:
  // Opens the raster and its CRS; throws prepare_failure when GDAL cannot, when the
  // path is a FIFO, a device or a socket (the run refuses those too), or when the
  // raster has fewer than 2 x 2 cells.
  explicit terrain_raster(const std::string& path);
  ~terrain_raster();
  terrain_raster(const terrain_raster&) = delete;
  terrain_raster& operator=(const terrain_raster&) = delete;

  // Height (metres) at a geographic position, bilinear between cell centres; false
  // outside the raster or next to a cell without data.
  bool height_at(double latitude_deg, double longitude_deg, double& height_m) const;
  // The ground's height (metres) near a geographic position, for a surface model whose
  // cell there may be a roof or a tree: the plane through the lowest cell (by centre) of
  // each of eight sectors within `radius_m`, taken at the position and no higher than
  // the raster there. Roofs and trees about the position do not raise it, and a slope
  // does not lower it as the lowest cell alone would. Read decimated when the circle
  // holds more than a few million cells; false when no cell near holds data.
  bool ground_height_near(double latitude_deg, double longitude_deg, double radius_m,
                          double& height_m) const;
  // Whether the position lies within the raster's extent.
  bool covers(double latitude_deg, double longitude_deg) const;
  // The source cell in metres (its shorter side).
  double cell_m() const { return cell_m_; }
  const std::string& crs_name() const { return crs_name_; }
  const std::string& path() const { return path_; }

  // Resamples (bilinear) over `outer` at `cell_deg` with the origin a multiple of
  // `cell_deg`, fills cells without data from their neighbours. A source much finer than
  // `cell_deg` is first read decimated (averaged, from its overviews when it has them),
  // so that memory stays bounded. Throws prepare_failure when a node of `inner` lies
  // outside the raster.
  geographic_dem to_geographic(const geo_box& inner, const geo_box& outer, double cell_deg) const;

 private:
  struct state;
  std::unique_ptr<state> state_;
  std::string path_, crs_name_;
  double cell_m_ = 0;
};

}  // namespace aeroquilt
