#pragma once
// Terrain heights from bicubic Hermite patches over the DEM cells: evaluated on the
// fly for rays, or resampled per view into a node grid packed for the GPU.

#include <armadillo>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "terrain/dem_file.h"
#include "terrain/view_params.h"

namespace aeroquilt {

// One node of the view DEM grid; 92 bytes, read by the terrain kernel.
#pragma pack(push, 1)
struct dem_node {
  float coef[16];  // c[4m + n]: m power of the longitude fraction, n of the latitude fraction
  float lat;       // degrees
  float lon;
  float height;  // metres
  float d_lon;   // metres per cell
  float d_lat;
  float d_latlon;
  float cell_size;  // degrees
};
#pragma pack(pop)
static_assert(sizeof(dem_node) == 92, "dem_node is a 92-byte wire record");
static_assert(offsetof(dem_node, lat) == 64, "layout");
static_assert(offsetof(dem_node, cell_size) == 88, "layout");

// Size of the dem_buffer header: four extents, cell size, rows, columns.
constexpr std::size_t dem_buffer_header_bytes = 28;

// The job's DEM owner: the loaded grid and the node grid of the current view.
class view_dem {
 public:
  view_dem() = default;
  view_dem(const view_dem&) = delete;
  view_dem& operator=(const view_dem&) = delete;
  ~view_dem();

  std::unique_ptr<DEM_grid> grid;
  float requested_extent[4] = {0, 0, 0, 0};  // lat min, lon min, lat max, lon max
  float lat_start = 0, lon_start = 0, lat_end = 0, lon_end = 0;  // degrees
  std::vector<dem_node> nodes;       // node_rows x node_cols, row 0 south
  std::vector<dem_node*> row_table;  // first node of each row
  int32_t node_rows = 0, node_cols = 0;
  arma::mat hermite_basis;                // 4x4
  arma::mat work;                         // 4x4 scratch: the builders are not re-entrant
  float cell_size = 0;                    // degrees
  std::vector<unsigned char> dem_buffer;  // packed for the GPU
  uint32_t buffer_size = 0;
  bool built = false;
  // Nodes read from the DEM file at double-precision positions (the compositing rules):
  // where a float step of longitude nears half a cell, float positions read a neighbour.
  bool exact_nodes = false;
  double lat_start_exact = 0, lon_start_exact = 0;  // degrees, with exact_nodes
};

// Resamples the DEM over a view (single-precision degrees). 1 built, 0 refused.
int build_view_dem(view_dem& dem, float lat_min, float lon_min, float lat_max, float lon_max);

// Records the view's geographic extent as the requested one and resamples the DEM over it.
int build_view_dem(view_dem& dem, const view_params& view);

// Fills the nodes and their patch coefficients (a step of build_view_dem).
void compute_dem_nodes(view_dem& dem);

// Packs the 28-byte header and the nodes into dem_buffer (a step of build_view_dem).
void pack_dem_buffer(view_dem& dem);

// Height straight from the DEM file's patch at (latitude, longitude) single-precision
// degrees; out_of_dem_height (after "image out of range of DEM\n" when `report`) within
// two cells of the edge.
float dem_height_bicubic(view_dem& dem, float latitude, float longitude, bool report = true);
constexpr float out_of_dem_height = -999.0f;

// Marches a ray (local frame: x east, y north, z up, metres) onto the terrain.
// phi0, lambda0: reference point in radians. 1 with `point` written, 0 when it left the DEM,
// -1 (after a message) when the DEM holds no height (NaN) where the ray meets it.
int intersect_ray_dem(view_dem& dem, const float direction[3], const float origin[3], float phi0,
                      float lambda0, float point[3]);

// Height from the current node grid's coefficients at (latitude, longitude) degrees.
float view_dem_height(const view_dem& dem, float latitude, float longitude);

// Evaluates patch coefficients at fractions u (longitude) and v (latitude).
float evaluate_patch(const float coef[16], float u, float v);

}  // namespace aeroquilt
