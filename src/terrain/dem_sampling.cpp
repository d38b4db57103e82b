#include "terrain/dem_sampling.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstring>
#include <iterator>
#include <limits>

#include "base/console.h"
#include "base/fatal_error.h"
#include "base/local_frame.h"

namespace aeroquilt {

namespace {

// Nearest-cell height; a view DEM without a loaded grid reads as all zero.
float cell_height(const view_dem& dem, double latitude, double longitude) {
  return dem.grid ? dem_cell_height(*dem.grid, latitude, longitude) : 0.0f;
}

// Coefficients C = H F H^T of the patch data F (in the work matrix), as single precision.
void patch_coefficients(view_dem& dem, float coef[16]) {
  const arma::mat c = dem.hermite_basis * dem.work * dem.hermite_basis.t();
  for (int k = 0; k < 16; ++k) coef[k] = static_cast<float>(c(k / 4, k % 4));
}

void reset_work(view_dem& dem) { dem.work.zeros(4, 4); }

}  // namespace

view_dem::~view_dem() {
  nodes.clear();
  row_table.clear();
  dem_buffer.clear();
  grid.reset();
}

float evaluate_patch(const float coef[16], float u, float v) {
  float height = 0.0f;
  float u_power = 1.0f;
  for (int m = 0; m < 4; ++m) {
    const float* c = coef + 4 * m;
    height += u_power * (c[0] + c[1] * v + c[2] * v * v + c[3] * v * v * v);
    u_power *= u;
  }
  return height;
}

int build_view_dem(view_dem& dem, const view_params& view) {
  dem.requested_extent[0] = view.lat_min;
  dem.requested_extent[1] = view.lon_min;
  dem.requested_extent[2] = view.lat_max;
  dem.requested_extent[3] = view.lon_max;
  return build_view_dem(dem, view.lat_min, view.lon_min, view.lat_max, view.lon_max);
}

int build_view_dem(view_dem& dem, float lat_min, float lon_min, float lat_max, float lon_max) {
  const DEM_grid empty_grid;
  const DEM_grid& grid = dem.grid ? *dem.grid : empty_grid;
  // Written as "inside" tests so that NaN bounds are refused too; an unloaded
  // grid (cell size 0) covers nothing.
  const bool inside = grid.west_longitude <= lon_min && grid.south_latitude <= lat_min &&
                      lon_max <= grid.east_longitude && lat_max <= grid.north_latitude;
  const float cs = dem.cell_size;
  if (!inside || !(cs > 0.0f)) {
    console_printf("DEM: input range out of bounds with respect to the current DEM file\n");
    return 0;
  }

  const float margin = 2.0f * cs;
  const float lat_start = static_cast<float>(std::floor((lat_min - grid.south_latitude) / cs) * cs -
                                             margin + grid.south_latitude);
  const float lon_start = static_cast<float>(std::floor((lon_min - grid.west_longitude) / cs) * cs -
                                             margin + grid.west_longitude);
  const float lat_end = static_cast<float>(std::floor((lat_max - grid.south_latitude) / cs) * cs +
                                           margin + grid.south_latitude);
  const float lon_end = static_cast<float>(std::floor((lon_max - grid.west_longitude) / cs) * cs +
                                           margin + grid.west_longitude);
  const float rows = std::roundf((lat_end - lat_start) / cs) + 1.0f;
  const float cols = std::roundf((lon_end - lon_start) / cs) + 1.0f;

  // The packed size is held in 32 bits; refuse (before touching the previous
  // grid) a node grid that would not fit, or an empty one from inverted bounds.
  const double buffer_bytes =
      static_cast<double>(rows) * static_cast<double>(cols) * sizeof(dem_node) +
      dem_buffer_header_bytes;
  if (!(rows >= 1.0f && cols >= 1.0f &&
        buffer_bytes <= static_cast<double>(std::numeric_limits<uint32_t>::max()))) {
    console_printf("DEM: view needs %.0f x %.0f DEM nodes, more than one buffer can hold\n", rows,
                   cols);
    return 0;
  }

  if (dem.built) {
    dem.nodes.clear();
    dem.row_table.clear();
    dem.dem_buffer.clear();
    dem.buffer_size = 0;
    dem.built = false;
  }
  dem.lat_start = lat_start;
  dem.lon_start = lon_start;
  // The same first node, a whole number of cells from the file's corner, as the
  // compositing kernels count it.
  const double cell = grid.cell_size;
  dem.lat_start_exact =
      grid.south_latitude + std::round((lat_start - grid.south_latitude) / cell) * cell;
  dem.lon_start_exact =
      grid.west_longitude + std::round((lon_start - grid.west_longitude) / cell) * cell;
  dem.lat_end = lat_end;
  dem.lon_end = lon_end;
  dem.node_rows = static_cast<int32_t>(rows);
  dem.node_cols = static_cast<int32_t>(cols);
  compute_dem_nodes(dem);
  dem.built = true;
  pack_dem_buffer(dem);
  return 1;
}

void compute_dem_nodes(view_dem& dem) {
  const int32_t rows = std::max(dem.node_rows, 0);
  const int32_t cols = std::max(dem.node_cols, 0);
  const float cs = dem.cell_size;
  // Value-initialised: every byte of every node is defined before it is packed.
  dem.nodes.assign(static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols), dem_node{});
  dem.row_table.resize(rows);
  for (int32_t r = 0; r < rows; ++r) dem.row_table[r] = dem.nodes.data() + std::size_t(r) * cols;

  for (int32_t r = 0; r < rows; ++r) {
    for (int32_t k = 0; k < cols; ++k) {
      dem_node& node = dem.row_table[r][k];
      node.lat = static_cast<float>(r) * cs + dem.lat_start;
      node.lon = static_cast<float>(k) * cs + dem.lon_start;
      const double step = dem.exact_nodes && dem.grid ? dem.grid->cell_size : double(cs);
      const double lat = dem.exact_nodes ? dem.lat_start_exact + r * step : node.lat;
      const double lon = dem.exact_nodes ? dem.lon_start_exact + k * step : node.lon;
      const float west = cell_height(dem, lat, dem.exact_nodes ? lon - step : node.lon - cs);
      const float east = cell_height(dem, lat, dem.exact_nodes ? lon + step : node.lon + cs);
      const float north = cell_height(dem, dem.exact_nodes ? lat + step : node.lat + cs, lon);
      const float south = cell_height(dem, dem.exact_nodes ? lat - step : node.lat - cs, lon);
      node.height = cell_height(dem, lat, lon);
      node.d_lon = (east - west) * 0.5f;
      node.d_lat = (north - south) * 0.5f;
      node.d_latlon = 0.0f;
      node.cell_size = cs;
    }
  }
  for (int32_t r = 1; r + 1 < rows; ++r) {
    for (int32_t k = 1; k + 1 < cols; ++k) {
      dem.row_table[r][k].d_latlon =
          (dem.row_table[r + 1][k].d_lon - dem.row_table[r - 1][k].d_lon) * 0.5f;
    }
  }

  for (int32_t r = 0; r + 1 < rows; ++r) {
    for (int32_t k = 0; k + 1 < cols; ++k) {
      const dem_node& sw = dem.row_table[r][k];
      const dem_node& se = dem.row_table[r][k + 1];
      const dem_node& nw = dem.row_table[r + 1][k];
      const dem_node& ne = dem.row_table[r + 1][k + 1];
      arma::mat& f = dem.work;
      f = {{sw.height, nw.height, sw.d_lat, nw.d_lat},
           {se.height, ne.height, se.d_lat, ne.d_lat},
           {sw.d_lon, nw.d_lon, sw.d_latlon, nw.d_latlon},
           {se.d_lon, ne.d_lon, se.d_latlon, ne.d_latlon}};
      patch_coefficients(dem, dem.row_table[r][k].coef);
    }
  }

  // The last row and column have no cell of their own, but they are uploaded and
  // a sample exactly on the north or east edge lands on them. Each gets a patch
  // that is constant across the edge and equals the edge curve of the computed
  // patch next to it (its north edge v = 1, or its east edge u = 1), so the
  // surface stays continuous up to the grid's border. The north-east corner (and
  // a grid too small to have any computed patch) holds the node's own height.
  for (int32_t r = 0; r < rows; ++r) {
    for (int32_t k = 0; k < cols; ++k) {
      const bool last_row = r + 1 == rows, last_col = k + 1 == cols;
      if (!last_row && !last_col) continue;
      dem_node& node = dem.row_table[r][k];
      std::fill(std::begin(node.coef), std::end(node.coef), 0.0f);
      if (last_row && !last_col && r > 0) {
        const float* below = dem.row_table[r - 1][k].coef;
        for (int m = 0; m < 4; ++m) {
          node.coef[4 * m] = static_cast<float>(double(below[4 * m]) + below[4 * m + 1] +
                                                below[4 * m + 2] + below[4 * m + 3]);
        }
      } else if (last_col && !last_row && k > 0) {
        const float* west = dem.row_table[r][k - 1].coef;
        for (int n = 0; n < 4; ++n) {
          node.coef[n] =
              static_cast<float>(double(west[n]) + west[4 + n] + west[8 + n] + west[12 + n]);
        }
      } else {
        node.coef[0] = node.height;
      }
    }
  }
}

void pack_dem_buffer(view_dem& dem) {
  if (!dem.built) throw fatal_error("DEM not initialized");
  const std::size_t node_count =
      static_cast<std::size_t>(dem.node_rows) * static_cast<std::size_t>(dem.node_cols);
  assert(dem.nodes.size() == node_count);
  const std::size_t size = dem_buffer_header_bytes + node_count * sizeof(dem_node);
  dem.dem_buffer.assign(size, 0);
  unsigned char* out = dem.dem_buffer.data();
  const float header_floats[5] = {dem.lat_start, dem.lon_start, dem.lat_end, dem.lon_end,
                                  dem.cell_size};
  const int32_t header_counts[2] = {dem.node_rows, dem.node_cols};
  std::memcpy(out, header_floats, sizeof(header_floats));
  std::memcpy(out + 20, header_counts, sizeof(header_counts));
  static_assert(sizeof(header_floats) + sizeof(header_counts) == dem_buffer_header_bytes,
                "dem_buffer header layout");
  if (node_count > 0) {
    std::memcpy(out + dem_buffer_header_bytes, dem.nodes.data(), node_count * sizeof(dem_node));
  }
  dem.buffer_size = static_cast<uint32_t>(size);
}

float dem_height_bicubic(view_dem& dem, float latitude, float longitude, bool report) {
  const DEM_grid empty_grid;
  const DEM_grid& grid = dem.grid ? *dem.grid : empty_grid;
  const float cs = dem.cell_size;
  const float margin = 2.0f * cs;
  const float lat0 = static_cast<float>(std::floor((latitude - grid.south_latitude) / cs) * cs +
                                        grid.south_latitude);
  const float lon0 = static_cast<float>(std::floor((longitude - grid.west_longitude) / cs) * cs +
                                        grid.west_longitude);
  // "Inside" tests, so that NaN and an unloaded grid are out of range as well.
  const bool inside = cs > 0.0f && margin + grid.west_longitude <= lon0 &&
                      margin + grid.south_latitude <= lat0 &&
                      lon0 <= grid.east_longitude - margin && lat0 <= grid.north_latitude - margin;
  if (!inside) {
    if (report) console_printf("image out of range of DEM\n");
    return out_of_dem_height;
  }

  reset_work(dem);
  arma::mat& f = dem.work;
  for (int a = 0; a < 2; ++a) {
    for (int b = 0; b < 2; ++b) {
      const float phi = static_cast<float>(a) * cs + lat0;
      const float lambda = static_cast<float>(b) * cs + lon0;
      const auto h = [&](float lat, float lon) { return cell_height(dem, lat, lon); };
      f(b, a) = h(phi, lambda);
      f(b, a + 2) = (h(phi + cs, lambda) - h(phi - cs, lambda)) * 0.5;
      f(b + 2, a) = (h(phi, lambda + cs) - h(phi, lambda - cs)) * 0.5;
      f(b + 2, a + 2) = (h(phi + cs, lambda + cs) - h(phi + cs, lambda - cs) -
                         h(phi - cs, lambda + cs) + h(phi - cs, lambda - cs)) *
                        0.25;
    }
  }
  float coef[16];
  patch_coefficients(dem, coef);
  const float u = std::fmod(longitude - lon0, cs) / cs;
  const float v = std::fmod(latitude - lat0, cs) / cs;
  return evaluate_patch(coef, u, v);
}

int intersect_ray_dem(view_dem& dem, const float direction[3], const float origin[3], float phi0,
                      float lambda0, float point[3]) {
  const float length = std::sqrt(direction[0] * direction[0] + direction[1] * direction[1] +
                                 direction[2] * direction[2]);
  const float d[3] = {direction[0] / length, direction[1] / length, direction[2] / length};
  // The march solves for the ray parameter through d.z: a ray that does not point
  // down never meets the terrain below the camera.
  if (!(d[2] < 0.0f)) {
    console_printf("ray direction %f %f %f does not point down, no terrain intersection\n",
                   direction[0], direction[1], direction[2]);
    return 0;
  }
  const march_frame frame = make_march_frame(phi0, lambda0);

  float t = 0.0f;
  int steps = 0;
  float p[3];
  for (;;) {
    for (int c = 0; c < 3; ++c) p[c] = origin[c] + t * d[c];
    float latitude = 0, longitude = 0;
    march_local_to_geographic(frame, p[0], p[1], latitude, longitude);
    const float h = dem_height_bicubic(dem, latitude, longitude);
    if (h == out_of_dem_height) return 0;
    if (!std::isfinite(h)) {
      // Not a place outside the DEM: a cell of it holds no number.
      console_printf("DEM height near latitude %f, longitude %f is not a number\n", latitude,
                     longitude);
      return -1;
    }
    if (std::fabs(h - p[2]) < 0.05f) break;
    ++steps;
    t = (h - origin[2]) / d[2];
    if (steps >= 40) break;
  }
  for (int c = 0; c < 3; ++c) point[c] = p[c];
  return 1;
}

float view_dem_height(const view_dem& dem, float latitude, float longitude) {
  if (!dem.built || dem.nodes.empty()) return 0.0f;
  const float cs = dem.cell_size;
  // Clamped so that a sample rounded just past the grid's border reads the edge
  // node instead of memory beyond the grid.
  const float row = std::floor((latitude - dem.lat_start) / cs);
  const float col = std::floor((longitude - dem.lon_start) / cs);
  const int32_t i =
      row >= 0.0f ? static_cast<int32_t>(std::fmin(row, float(dem.node_rows - 1))) : 0;
  const int32_t j =
      col >= 0.0f ? static_cast<int32_t>(std::fmin(col, float(dem.node_cols - 1))) : 0;
  const dem_node& node = dem.row_table[i][j];
  const float u = std::fmod(longitude - node.lon, cs) / cs;
  const float v = std::fmod(latitude - node.lat, cs) / cs;
  return evaluate_patch(node.coef, u, v);
}

}  // namespace aeroquilt
