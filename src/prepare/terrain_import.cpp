#include "prepare/terrain_import.h"

#include <gdal_alg.h>
#include <gdal_priv.h>
#include <gdalwarper.h>
#include <ogr_spatialref.h>

#include <algorithm>
#include <cmath>
#include <limits>

#include "base/input_file.h"
#include "base/local_frame.h"
#include "prepare/prepare_failure.h"
#include "terrain/gdal_setup.h"

namespace aeroquilt {
namespace {

constexpr double kNoData = -3.0e38;
constexpr double kMetresPerDegreeLat = 111320.0;
// Source cells read at once (64 MB as floats); a larger window is read decimated.
constexpr double kMaxSourceCells = 16e6;
constexpr double kPi = 3.141592653589793;
constexpr GIntBig kCacheBytes = 256 << 20;

// The spacing of single-precision numbers of magnitude up to `magnitude`.
double float_spacing(double magnitude) {
  int exponent = 0;
  std::frexp(std::max(magnitude, 1e-30), &exponent);
  return std::ldexp(1.0, exponent - std::numeric_limits<float>::digits);
}

// Nodes of a grid over `outer` at `cell_deg`, as to_geographic lays them out.
double node_count(const geo_box& outer, double cell_deg) {
  const double south = std::floor(outer.south / cell_deg) * cell_deg;
  const double west = std::floor(outer.west / cell_deg) * cell_deg;
  return (std::ceil((outer.north - south) / cell_deg) + 1) *
         (std::ceil((outer.east - west) / cell_deg) + 1);
}

OGRSpatialReference wgs84() {
  OGRSpatialReference srs;
  srs.SetWellKnownGeogCS("WGS84");
  srs.SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);  // longitude first
  return srs;
}

struct transform_deleter {
  void operator()(OGRCoordinateTransformation* t) const {
    OGRCoordinateTransformation::DestroyCT(t);
  }
};
struct transformer_deleter {
  void operator()(void* t) const { GDALDestroyGenImgProjTransformer(t); }
};

// The window (x0, y0, width, height) of `source`'s first band averaged over step x step
// cells (GDAL reads its overviews when it has them), as an in-memory raster placed
// where the window lies, with the source's CRS and no-data value.
GDALDatasetUniquePtr read_decimated(GDALDataset& source, int x0, int y0, int width, int height,
                                    int step) {
  const int columns = (width + step - 1) / step, rows = (height + step - 1) / step;
  GDALDriver* memory = GetGDALDriverManager()->GetDriverByName("MEM");
  GDALDatasetUniquePtr reduced(memory->Create("", columns, rows, 1, GDT_Float32, nullptr));
  if (!reduced) return nullptr;
  GDALRasterBand& from = *source.GetRasterBand(1);
  GDALRasterBand& to = *reduced->GetRasterBand(1);
  int has_nodata = 0;
  const double nodata = from.GetNoDataValue(&has_nodata);
  if (has_nodata) to.SetNoDataValue(nodata);
  GDALRasterIOExtraArg extra;
  INIT_RASTERIO_EXTRA_ARG(extra);
  extra.eResampleAlg = GRIORA_Average;
  std::vector<float> cells(static_cast<std::size_t>(columns) * rows);
  if (from.RasterIO(GF_Read, x0, y0, width, height, cells.data(), columns, rows, GDT_Float32, 0, 0,
                    &extra) != CE_None ||
      to.RasterIO(GF_Write, 0, 0, columns, rows, cells.data(), columns, rows, GDT_Float32, 0, 0,
                  nullptr) != CE_None)
    return nullptr;
  double gt[6];
  source.GetGeoTransform(gt);
  const double sx = double(width) / columns, sy = double(height) / rows;
  double placed[6] = {gt[0] + x0 * gt[1] + y0 * gt[2], gt[1] * sx, gt[2] * sy,
                      gt[3] + x0 * gt[4] + y0 * gt[5], gt[4] * sx, gt[5] * sy};
  reduced->SetGeoTransform(placed);
  reduced->SetSpatialRef(source.GetSpatialRef());
  return reduced;
}

}  // namespace

dem_cell_choice choose_dem_cell(const geo_box& outer, double source_cell_m, double finest_m,
                                double coarsest_m, double max_nodes) {
  dem_cell_choice choice;
  choice.wanted_m = source_cell_m;
  choice.limit = "the source's cell";
  if (finest_m > choice.wanted_m) {
    choice.wanted_m = finest_m;
    choice.limit = "the pixel size";
  }
  if (coarsest_m < choice.wanted_m) {
    choice.wanted_m = coarsest_m;
    choice.limit = "a quarter of the margin about the footprints";
  }
  // Grows in steps of 1 % until the grid holds at most max_nodes.
  while (node_count(outer, choice.wanted_m / kMetresPerDegreeLat) > max_nodes) {
    choice.wanted_m *= 1.01;
    choice.limit = "the most nodes a DEM grid may hold";
  }
  const double extent =
      std::max({std::fabs(outer.west), std::fabs(outer.east), std::fabs(outer.south),
                std::fabs(outer.north), outer.east - outer.west, outer.north - outer.south});
  double cell = choice.wanted_m / kMetresPerDegreeLat;
  // The run reaches up to two cells past the grid; the spacing is taken beyond that.
  for (;;) {
    const double spacing = float_spacing(extent + 4 * cell);
    const double rounded = std::ceil(cell / spacing) * spacing;
    choice.float_spacing_deg = spacing;
    if (rounded == cell) break;
    cell = rounded;
  }
  choice.cell_deg = cell;
  return choice;
}

struct terrain_raster::state {
  GDALDatasetUniquePtr dataset;
  std::unique_ptr<OGRCoordinateTransformation, transform_deleter> from_wgs84;
  double geo_transform[6] = {0, 1, 0, 0, 0, 1};
  double inverse[6] = {0, 1, 0, 0, 0, 1};
};

terrain_raster::terrain_raster(const std::string& path) : state_(new state), path_(path) {
  // A FIFO would hang GDAL's open and a device read without end; a folder is left to
  // GDAL (some formats are folders), as is a path it resolves itself (/vsizip/...).
  std::string reason;
  if (!is_regular_file(path, reason) && reason != "not found" && reason != "a folder")
    throw prepare_failure("the DEM " + path + " is not a regular file (" + reason + ")");
  register_gdal_drivers();
  // GDAL's block cache would take 5 % of the machine's memory on a large raster.
  GDALSetCacheMax64(std::min<GIntBig>(GDALGetCacheMax64(), kCacheBytes));
  CPLPushErrorHandler(CPLQuietErrorHandler);
  state_->dataset.reset(GDALDataset::Open(path.c_str(), GDAL_OF_RASTER | GDAL_OF_READONLY));
  CPLPopErrorHandler();
  if (!state_->dataset) throw prepare_failure("GDAL cannot open the DEM " + path + " as a raster");
  GDALDataset& dataset = *state_->dataset;
  const OGRSpatialReference* source = dataset.GetSpatialRef();
  if (source == nullptr || source->IsEmpty()) {
    throw prepare_failure("the DEM " + path + " has no coordinate reference system GDAL can read");
  }
  OGRSpatialReference source_srs(*source);
  source_srs.SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
  const OGRSpatialReference geographic = wgs84();
  CPLPushErrorHandler(CPLQuietErrorHandler);
  state_->from_wgs84.reset(OGRCreateCoordinateTransformation(&geographic, &source_srs));
  CPLPopErrorHandler();
  if (!state_->from_wgs84) {
    throw prepare_failure("the DEM " + path + " is in a coordinate reference system (" +
                          std::string(source_srs.GetName() ? source_srs.GetName() : "unnamed") +
                          ") that GDAL cannot convert to WGS 84");
  }
  crs_name_ = source_srs.GetName() ? source_srs.GetName() : "unnamed";
  if (dataset.GetRasterCount() < 1 || dataset.GetRasterXSize() < 2 ||
      dataset.GetRasterYSize() < 2) {
    throw prepare_failure("the DEM " + path + " has " + std::to_string(dataset.GetRasterXSize()) +
                          " x " + std::to_string(dataset.GetRasterYSize()) +
                          " cells: a terrain needs at least 2 x 2");
  }
  if (dataset.GetGeoTransform(state_->geo_transform) != CE_None ||
      !GDALInvGeoTransform(state_->geo_transform, state_->inverse)) {
    throw prepare_failure("the DEM " + path + " has no usable georeferencing");
  }
  const double* gt = state_->geo_transform;
  const double cell = std::min(std::hypot(gt[1], gt[4]), std::hypot(gt[2], gt[5]));
  cell_m_ = source_srs.IsGeographic()
                ? cell * source_srs.GetAngularUnits() * 180.0 / M_PI * kMetresPerDegreeLat
                : cell * source_srs.GetLinearUnits();
}

terrain_raster::~terrain_raster() = default;

bool terrain_raster::covers(double latitude_deg, double longitude_deg) const {
  double x = longitude_deg, y = latitude_deg;
  if (!state_->from_wgs84->Transform(1, &x, &y)) return false;
  double column, row;
  GDALApplyGeoTransform(state_->inverse, x, y, &column, &row);
  return column >= 0 && row >= 0 && column <= state_->dataset->GetRasterXSize() &&
         row <= state_->dataset->GetRasterYSize();
}

bool terrain_raster::height_at(double latitude_deg, double longitude_deg, double& height_m) const {
  double x = longitude_deg, y = latitude_deg;
  if (!state_->from_wgs84->Transform(1, &x, &y)) return false;
  double column, row;
  GDALApplyGeoTransform(state_->inverse, x, y, &column, &row);
  GDALDataset& dataset = *state_->dataset;
  const int columns = dataset.GetRasterXSize(), rows = dataset.GetRasterYSize();
  if (!(column >= 0 && row >= 0 && column <= columns && row <= rows)) return false;
  // Bilinear between the four cell centres around the point (clamped at the edges).
  const double cx = std::clamp(column - 0.5, 0.0, columns - 1.0);
  const double cy = std::clamp(row - 0.5, 0.0, rows - 1.0);
  const int c0 = std::min(static_cast<int>(cx), std::max(columns - 2, 0));
  const int r0 = std::min(static_cast<int>(cy), std::max(rows - 2, 0));
  const int nc = std::min(2, columns), nr = std::min(2, rows);
  double block[4] = {0, 0, 0, 0};
  GDALRasterBand* band = dataset.GetRasterBand(1);
  if (band->RasterIO(GF_Read, c0, r0, nc, nr, block, nc, nr, GDT_Float64, 0, 0) != CE_None)
    return false;
  int has_nodata = 0;
  const double nodata = band->GetNoDataValue(&has_nodata);
  for (int k = 0; k < nc * nr; ++k) {
    if ((has_nodata && block[k] == nodata) || !std::isfinite(block[k])) return false;
  }
  const double fx = nc == 2 ? cx - c0 : 0.0, fy = nr == 2 ? cy - r0 : 0.0;
  const auto at = [&](int dc, int dr) {
    return block[std::min(dr, nr - 1) * nc + std::min(dc, nc - 1)];
  };
  const double value =
      (1 - fy) * ((1 - fx) * at(0, 0) + fx * at(1, 0)) + fy * ((1 - fx) * at(0, 1) + fx * at(1, 1));
  height_m = value * band->GetScale() + band->GetOffset();
  return true;
}

bool terrain_raster::ground_height_near(double latitude_deg, double longitude_deg, double radius_m,
                                        double& height_m) const {
  // Raster pixel coordinates of the centre and of the points radius_m east and north.
  double radius_east, radius_north;
  local_radii(latitude_deg, radius_east, radius_north);
  const double d_lat = radius_m / radius_north * 180.0 / kPi;
  const double d_lon = d_lat * radius_north / (radius_east * std::cos(latitude_deg * kPi / 180.0));
  double x[3] = {longitude_deg, longitude_deg + d_lon, longitude_deg};
  double y[3] = {latitude_deg, latitude_deg, latitude_deg + d_lat};
  int ok[3] = {0, 0, 0};
  if (!state_->from_wgs84->Transform(3, x, y, nullptr, ok) || !ok[0] || !ok[1] || !ok[2])
    return false;
  double column[3], row[3];
  for (int k = 0; k < 3; ++k)
    GDALApplyGeoTransform(state_->inverse, x[k], y[k], &column[k], &row[k]);
  // Pixels per radius east (e) and north (n); metres of an offset from the inverse.
  const double ec = column[1] - column[0], er = row[1] - row[0];
  const double nc = column[2] - column[0], nr = row[2] - row[0];
  const double determinant = ec * nr - nc * er;
  if (!(std::fabs(determinant) > 0)) return false;
  GDALDataset& dataset = *state_->dataset;
  const double half_columns = std::hypot(ec, nc), half_rows = std::hypot(er, nr);
  const int x0 = std::max(0, static_cast<int>(std::floor(column[0] - half_columns)));
  const int y0 = std::max(0, static_cast<int>(std::floor(row[0] - half_rows)));
  const int x1 =
      std::min(dataset.GetRasterXSize(), static_cast<int>(std::ceil(column[0] + half_columns)));
  const int y1 =
      std::min(dataset.GetRasterYSize(), static_cast<int>(std::ceil(row[0] + half_rows)));
  // The lowest cell of each sector: east and north in radii, and height.
  constexpr int kSectors = 8;
  struct lowest_cell {
    double east = 0, north = 0;
    float height = std::numeric_limits<float>::infinity();
  };
  lowest_cell sectors[kSectors];
  GDALRasterBand* band = dataset.GetRasterBand(1);
  if (x1 > x0 && y1 > y0) {
    const int width = x1 - x0, height = y1 - y0;
    const double step =
        std::max(1.0, std::ceil(std::sqrt(double(width) * height / (kMaxSourceCells / 4))));
    const int buffer_width = static_cast<int>(std::ceil(width / step));
    const int buffer_height = static_cast<int>(std::ceil(height / step));
    std::vector<float> cells(static_cast<std::size_t>(buffer_width) * buffer_height);
    if (band->RasterIO(GF_Read, x0, y0, width, height, cells.data(), buffer_width, buffer_height,
                       GDT_Float32, 0, 0) != CE_None)
      return false;
    int has_nodata = 0;
    const float nodata = static_cast<float>(band->GetNoDataValue(&has_nodata));
    for (int j = 0; j < buffer_height; ++j) {
      for (int i = 0; i < buffer_width; ++i) {
        const float value = cells[static_cast<std::size_t>(j) * buffer_width + i];
        if ((has_nodata && value == nodata) || !std::isfinite(value)) continue;
        const double dc = x0 + (i + 0.5) * width / buffer_width - column[0];
        const double dr = y0 + (j + 0.5) * height / buffer_height - row[0];
        const double east = (dc * nr - nc * dr) / determinant;  // in radii
        const double north = (ec * dr - dc * er) / determinant;
        if (east * east + north * north > 1.0) continue;
        const double turn = std::atan2(north, east) / (2 * kPi) + 0.5;
        lowest_cell& sector = sectors[std::min(kSectors - 1, static_cast<int>(turn * kSectors))];
        if (value < sector.height) sector = {east, north, value};
      }
    }
  }
  // Least squares plane h = a + b east + c north through the sectors' lowest cells.
  double n[3][3] = {}, r[3] = {}, lowest = std::numeric_limits<double>::infinity();
  int used = 0;
  for (const lowest_cell& cell : sectors) {
    if (!std::isfinite(cell.height)) continue;
    const double row[3] = {1.0, cell.east, cell.north};
    for (int a = 0; a < 3; ++a) {
      r[a] += row[a] * cell.height;
      for (int b = 0; b < 3; ++b) n[a][b] += row[a] * row[b];
    }
    lowest = std::min(lowest, double(cell.height));
    ++used;
  }
  const auto det3 = [](const double m[3][3]) {
    return m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) -
           m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
           m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
  };
  double ground = lowest;
  const double d = det3(n);
  if (used >= 3 && std::fabs(d) > 1e-6 * used * used * used) {
    double m[3][3];  // Cramer's rule for a
    for (int a = 0; a < 3; ++a)
      for (int b = 0; b < 3; ++b) m[a][b] = b == 0 ? r[a] : n[a][b];
    ground = det3(m) / d;
  }
  double surface = 0;
  const bool has_surface = height_at(latitude_deg, longitude_deg, surface);
  if (used == 0) {
    // A cell wider than the circle may hold none of its centres.
    if (!has_surface) return false;
    height_m = surface;
    return true;
  }
  height_m = ground * band->GetScale() + band->GetOffset();
  if (has_surface) height_m = std::min(height_m, surface);
  return true;
}

geographic_dem terrain_raster::to_geographic(const geo_box& inner, const geo_box& outer,
                                             double cell_deg) const {
  geographic_dem dem;
  dem.cell_deg = cell_deg;
  const double south_node = std::floor(outer.south / cell_deg) * cell_deg;
  dem.west_lon = std::floor(outer.west / cell_deg) * cell_deg;
  dem.rows = static_cast<int>(std::ceil((outer.north - south_node) / cell_deg)) + 1;
  dem.columns = static_cast<int>(std::ceil((outer.east - dem.west_lon) / cell_deg)) + 1;
  dem.south_lat = south_node - cell_deg;
  const double north_node = dem.south_lat + dem.rows * cell_deg;

  GDALDriver* memory = GetGDALDriverManager()->GetDriverByName("MEM");
  GDALDatasetUniquePtr target(memory->Create("", dem.columns, dem.rows, 1, GDT_Float32, nullptr));
  if (!target)
    throw prepare_failure("cannot hold a DEM grid of " + std::to_string(dem.columns) + " x " +
                          std::to_string(dem.rows) + " cells");
  // Pixel centres on the nodes.
  double geo_transform[6] = {dem.west_lon - cell_deg / 2, cell_deg, 0,
                             north_node + cell_deg / 2,   0,        -cell_deg};
  target->SetGeoTransform(geo_transform);
  const OGRSpatialReference geographic = wgs84();
  target->SetSpatialRef(&geographic);
  GDALRasterBand* band = target->GetRasterBand(1);
  band->SetNoDataValue(kNoData);
  band->Fill(kNoData);

  // Every node over the footprints must come from the raster, not from filling.
  std::unique_ptr<void, transformer_deleter> transformer(
      GDALCreateGenImgProjTransformer2(state_->dataset.get(), target.get(), nullptr));
  if (!transformer) throw prepare_failure("GDAL cannot relate the DEM " + path_ + " to WGS 84");
  const int source_columns = state_->dataset->GetRasterXSize();
  const int source_rows = state_->dataset->GetRasterYSize();
  for (int i = 0; i < dem.rows; ++i) {
    const double latitude = north_node - i * cell_deg;
    if (latitude < inner.south || latitude > inner.north) continue;
    for (int j = 0; j < dem.columns; ++j) {
      const double longitude = dem.west_lon + j * cell_deg;
      if (longitude < inner.west || longitude > inner.east) continue;
      double x = j + 0.5, y = i + 0.5, z = 0;
      int ok = 0;
      GDALGenImgProjTransform(transformer.get(), TRUE, 1, &x, &y, &z, &ok);
      if (!ok || x < 0 || y < 0 || x > source_columns || y > source_rows) {
        char where[96];
        std::snprintf(where, sizeof where, "%.6f %.6f", latitude, longitude);
        throw prepare_failure("the DEM " + path_ + " does not cover the survey: the ground at " +
                              where + " (latitude, longitude) is outside it");
      }
    }
  }

  // The source window under the grid, from a lattice of grid points mapped back.
  double lo_x = 1e300, lo_y = 1e300, hi_x = -1e300, hi_y = -1e300;
  constexpr int kLattice = 16;
  for (int a = 0; a <= kLattice; ++a) {
    for (int b = 0; b <= kLattice; ++b) {
      double x = dem.columns * double(a) / kLattice, y = dem.rows * double(b) / kLattice, z = 0;
      int ok = 0;
      GDALGenImgProjTransform(transformer.get(), TRUE, 1, &x, &y, &z, &ok);
      if (!ok) continue;
      lo_x = std::min(lo_x, x);
      hi_x = std::max(hi_x, x);
      lo_y = std::min(lo_y, y);
      hi_y = std::max(hi_y, y);
    }
  }
  const int x0 = static_cast<int>(std::clamp(std::floor(lo_x) - 2, 0.0, double(source_columns)));
  const int y0 = static_cast<int>(std::clamp(std::floor(lo_y) - 2, 0.0, double(source_rows)));
  const int x1 = static_cast<int>(std::clamp(std::ceil(hi_x) + 2, 0.0, double(source_columns)));
  const int y1 = static_cast<int>(std::clamp(std::ceil(hi_y) + 2, 0.0, double(source_rows)));
  // Source cells per grid cell (east-west, the narrower side), and more when the window
  // would not fit the bound.
  const double grid_cell_m =
      cell_deg * kMetresPerDegreeLat * std::cos(0.5 * (outer.south + outer.north) * kPi / 180.0);
  const double window_cells = std::max(0.0, double(x1 - x0)) * std::max(0.0, double(y1 - y0));
  dem.source_step =
      static_cast<int>(std::max({1.0, std::floor(grid_cell_m / cell_m_),
                                 std::ceil(std::sqrt(window_cells / kMaxSourceCells))}));
  GDALDatasetUniquePtr reduced;
  if (dem.source_step > 1 && x1 > x0 && y1 > y0) {
    reduced = read_decimated(*state_->dataset, x0, y0, x1 - x0, y1 - y0, dem.source_step);
    if (!reduced)
      throw prepare_failure("GDAL cannot read the DEM " + path_ + ": " + CPLGetLastErrorMsg());
  } else {
    dem.source_step = 1;
  }
  GDALDataset* source = reduced ? reduced.get() : state_->dataset.get();
  if (GDALReprojectImage(source, nullptr, target.get(), nullptr, GRA_Bilinear, 0, 0.0, nullptr,
                         nullptr, nullptr) != CE_None) {
    throw prepare_failure("GDAL cannot resample the DEM " + path_ + ": " + CPLGetLastErrorMsg());
  }
  GDALFillNodata(band, nullptr, std::max(dem.columns, dem.rows), 0, 0, nullptr, nullptr, nullptr);

  std::vector<float> row_major(static_cast<std::size_t>(dem.columns) * dem.rows);
  if (band->RasterIO(GF_Read, 0, 0, dem.columns, dem.rows, row_major.data(), dem.columns, dem.rows,
                     GDT_Float32, 0, 0) != CE_None) {
    throw prepare_failure("GDAL cannot read the resampled DEM");
  }
  const double scale = state_->dataset->GetRasterBand(1)->GetScale();
  const double offset = state_->dataset->GetRasterBand(1)->GetOffset();
  dem.heights_m.resize(row_major.size());
  for (int j = 0; j < dem.columns; ++j) {
    for (int i = 0; i < dem.rows; ++i) {
      const float value = row_major[static_cast<std::size_t>(i) * dem.columns + j];
      if (value == static_cast<float>(kNoData) || !std::isfinite(value)) {
        throw prepare_failure("the DEM " + path_ + " holds no heights over the survey");
      }
      dem.heights_m[static_cast<std::size_t>(j) * dem.rows + i] =
          static_cast<float>(value * scale + offset);
    }
  }
  return dem;
}

}  // namespace aeroquilt
