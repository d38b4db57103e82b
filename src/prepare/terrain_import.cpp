#include "prepare/terrain_import.h"

#include <gdal_alg.h>
#include <gdal_priv.h>
#include <gdalwarper.h>
#include <ogr_spatialref.h>

#include <algorithm>
#include <cmath>

#include "prepare/prepare_failure.h"

namespace aeroquilt {
namespace {

constexpr double kNoData = -3.0e38;
constexpr double kMetresPerDegreeLat = 111320.0;

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

}  // namespace

struct terrain_raster::state {
  GDALDatasetUniquePtr dataset;
  std::unique_ptr<OGRCoordinateTransformation, transform_deleter> from_wgs84;
  double geo_transform[6] = {0, 1, 0, 0, 0, 1};
  double inverse[6] = {0, 1, 0, 0, 0, 1};
};

terrain_raster::terrain_raster(const std::string& path) : state_(new state), path_(path) {
  GDALAllRegister();
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

  if (GDALReprojectImage(state_->dataset.get(), nullptr, target.get(), nullptr, GRA_Bilinear, 0,
                         0.0, nullptr, nullptr, nullptr) != CE_None) {
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
