#include "output/output_files.h"

#include <cpl_conv.h>
#include <cpl_error.h>
#include <cpl_string.h>
#include <fcntl.h>
#include <signal.h>
#include <gdal_priv.h>
#include <ogr_spatialref.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <utility>
#include <vector>

#include "base/console.h"
#include "output/checked_write.h"
#include "output/gdal_calls.h"

namespace aeroquilt {
namespace {

std::atomic<unsigned> temporary_counter{0};

// Adds to `dataset` a band that reads the `channel` of `image` in place (no copy).
bool add_band_over(GDALDataset& dataset, GDALDataType type, const cv::Mat& image, int channel) {
  char pointer[64] = {};
  // GDAL only reads through it: the dataset is the source of a copy.
  CPLPrintPointer(pointer, const_cast<uchar*>(image.data) + channel * image.elemSize1(),
                  sizeof(pointer) - 1);
  CPLStringList options;
  options.SetNameValue("DATAPOINTER", pointer);
  options.SetNameValue("PIXELOFFSET", std::to_string(image.elemSize()).c_str());
  options.SetNameValue("LINEOFFSET", std::to_string(image.step[0]).c_str());
  return dataset.AddBand(type, options.List()) == CE_None;
}

// Overview sizes as GDAL's COG writer makes them: each level half the one before
// (rounded down, at least 1) until both sides fit one block.
std::vector<std::pair<int, int>> overview_sizes(int width, int height, int block) {
  std::vector<std::pair<int, int>> sizes;
  while (width > block || height > block) {
    width = std::max(1, width / 2);
    height = std::max(1, height / 2);
    sizes.emplace_back(width, height);
  }
  return sizes;
}

// The raster handed to the COG writer: it reads `base` and offers overviews made
// beforehand in memory. GDAL would otherwise build them through a compressed temporary
// file (compressed, written and read again: a fifth of a map's cost); with the same
// multi-band regeneration the levels hold the same values.
class raster_with_overviews final : public GDALDataset {
 public:
  class band final : public GDALRasterBand {
   public:
    band(raster_with_overviews& owner, int number, GDALRasterBand& base) : base_(base) {
      poDS = &owner;
      nBand = number;
      nRasterXSize = base.GetXSize();
      nRasterYSize = base.GetYSize();
      eDataType = base.GetRasterDataType();
      base.GetBlockSize(&nBlockXSize, &nBlockYSize);
    }
    CPLErr IReadBlock(int x, int y, void* data) override { return base_.ReadBlock(x, y, data); }
    CPLErr IRasterIO(GDALRWFlag direction, int x, int y, int width, int height, void* data,
                     int buffer_width, int buffer_height, GDALDataType type,
                     GSpacing pixel_space, GSpacing line_space,
                     GDALRasterIOExtraArg* extra) override {
      return base_.RasterIO(direction, x, y, width, height, data, buffer_width, buffer_height,
                            type, pixel_space, line_space, extra);
    }
    double GetNoDataValue(int* has) override { return base_.GetNoDataValue(has); }
    GDALColorInterp GetColorInterpretation() override { return base_.GetColorInterpretation(); }
    int GetOverviewCount() override { return static_cast<int>(levels_.size()); }
    GDALRasterBand* GetOverview(int level) override {
      return level >= 0 && level < GetOverviewCount() ? levels_[level] : nullptr;
    }

   private:
    friend class raster_with_overviews;
    GDALRasterBand& base_;
    std::vector<GDALRasterBand*> levels_;
  };

  explicit raster_with_overviews(GDALDataset& base) : base_(base) {
    nRasterXSize = base.GetRasterXSize();
    nRasterYSize = base.GetRasterYSize();
    for (int number = 1; number <= base.GetRasterCount(); ++number)
      SetBand(number, new band(*this, number, *base.GetRasterBand(number)));
  }

  // Makes the levels of `sizes` from the base bands with `resampling`.
  bool build_overviews(const std::vector<std::pair<int, int>>& sizes, const char* resampling) {
    const int bands = GetRasterCount();
    if (sizes.empty()) return true;
    GDALDriver* memory = gdal_driver("MEM");
    if (memory == nullptr) return false;
    const GDALDataType type = base_.GetRasterBand(1)->GetRasterDataType();
    std::vector<std::vector<GDALRasterBand*>> levels(bands);
    for (const auto& [width, height] : sizes) {
      levels_.emplace_back(memory->Create("", width, height, bands, type, nullptr));
      if (!levels_.back()) return false;
      for (int index = 0; index < bands; ++index) {
        GDALRasterBand* level = levels_.back()->GetRasterBand(index + 1);
        int has_nodata = 0;
        const double nodata = base_.GetRasterBand(index + 1)->GetNoDataValue(&has_nodata);
        if (has_nodata && level->SetNoDataValue(nodata) != CE_None) return false;
        levels[index].push_back(level);
      }
    }
    std::vector<GDALRasterBand*> sources;
    std::vector<GDALRasterBand* const*> targets;
    for (int index = 0; index < bands; ++index) {
      sources.push_back(base_.GetRasterBand(index + 1));
      targets.push_back(levels[index].data());
    }
    // Exported for GDAL's drivers; it is what the COG writer's own overviews come from.
    if (GDALRegenerateOverviewsMultiBand(bands, sources.data(), static_cast<int>(sizes.size()),
                                         targets.data(), resampling, nullptr, nullptr,
                                         nullptr) != CE_None)
      return false;
    for (int index = 0; index < bands; ++index)
      static_cast<band*>(GetRasterBand(index + 1))->levels_ = levels[index];
    return true;
  }

  // Interleaved reads stay the in-memory raster's own (one pass over a BGR(A) image).
  CPLErr IRasterIO(GDALRWFlag direction, int x, int y, int width, int height, void* data,
                   int buffer_width, int buffer_height, GDALDataType type, int band_count,
                   int* band_map, GSpacing pixel_space, GSpacing line_space, GSpacing band_space,
                   GDALRasterIOExtraArg* extra) override {
    return base_.RasterIO(direction, x, y, width, height, data, buffer_width, buffer_height,
                          type, band_count, band_map, pixel_space, line_space, band_space, extra);
  }
  CPLErr GetGeoTransform(double* transform) override { return base_.GetGeoTransform(transform); }
  const OGRSpatialReference* GetSpatialRef() const override { return base_.GetSpatialRef(); }
  char** GetMetadata(const char* domain) override { return base_.GetMetadata(domain); }
  const char* GetMetadataItem(const char* name, const char* domain) override {
    return base_.GetMetadataItem(name, domain);
  }

 private:
  GDALDataset& base_;
  std::vector<GDALDatasetUniquePtr> levels_;
};

}  // namespace

bool write_geotiff(const std::string& path, const cv::Mat& image,
                   const raster_georeference& georeference, std::string& reason) {
  const int channels = image.channels();
  const int depth = image.depth();
  const bool real = depth == CV_32F && channels == 1;  // float maps, NaN where no data
  // A single 32-bit band: labels past 65535 (CV_32S holds them as unsigned values would).
  const bool wide_labels = depth == CV_32S && channels == 1;
  if (!real && !wide_labels &&
      ((depth != CV_8U && depth != CV_16U) || (channels != 1 && channels != 3 && channels != 4))) {
    reason = "no GeoTIFF layout for this pixel type";
    return false;
  }
  const GDALDataType type = depth == CV_8U ? GDT_Byte
                             : real        ? GDT_Float32
                             : wide_labels ? GDT_UInt32
                                           : GDT_UInt16;
  // A single integer band holds labels (flight-log lines, 0 none): never averaged.
  const bool labels = (depth == CV_16U || wide_labels) && channels == 1;

  const gdal_failure_capture gdal;
  const auto failure = [&](const char* fallback) {
    reason = gdal.reason(fallback);
    return false;
  };
  GDALDriver* memory = gdal_driver("MEM");
  GDALDriver* cog = gdal_driver("COG");
  if (memory == nullptr || cog == nullptr) return failure("GDAL has no MEM or COG driver");
  GDALDatasetUniquePtr raster(memory->Create("", image.cols, image.rows, 0, type, nullptr));
  if (!raster) return failure("GDAL cannot hold the raster");
  static const GDALColorInterp colours[4] = {GCI_RedBand, GCI_GreenBand, GCI_BlueBand,
                                             GCI_AlphaBand};
  for (int band = 0; band < channels; ++band) {
    // BGR(A) in memory, RGB(A) in the file.
    const int channel = channels >= 3 && band < 3 ? 2 - band : band;
    if (!add_band_over(*raster, type, image, channel)) return failure("GDAL cannot add a band");
    GDALRasterBand* written = raster->GetRasterBand(band + 1);
    if (channels >= 3 && written->SetColorInterpretation(colours[band]) != CE_None)
      return failure("GDAL cannot set a band's colour");
    const double nodata = real ? std::nan("") : 0.0;
    if ((real || labels) && written->SetNoDataValue(nodata) != CE_None)
      return failure("GDAL cannot set the nodata value");
  }

  // The outer corner of the first pixel, half a step before its centre.
  double transform[6] = {georeference.first_lon_deg - georeference.lon_step_deg / 2.0,
                         georeference.lon_step_deg,
                         0.0,
                         georeference.first_lat_deg - georeference.lat_step_deg / 2.0,
                         0.0,
                         georeference.lat_step_deg};
  OGRSpatialReference wgs84;
  if (wgs84.importFromEPSG(4326) != OGRERR_NONE) return failure("GDAL does not know EPSG:4326");
  wgs84.SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);  // longitude first
  if (raster->SetGeoTransform(transform) != CE_None || raster->SetSpatialRef(&wgs84) != CE_None ||
      raster->SetMetadataItem(GDALMD_AREA_OR_POINT, GDALMD_AOP_AREA) != CE_None)
    return failure("GDAL cannot georeference the raster");

  CPLStringList options;
  options.SetNameValue("COMPRESS", "DEFLATE");
  // Level 3 as for the PNG views: on aerial mosaics twice as fast as the default 6 for
  // about 5 % more bytes.
  options.SetNameValue("LEVEL", "3");
  options.SetNameValue("PREDICTOR", "YES");
  constexpr int block = 256;
  options.SetNameValue("BLOCKSIZE", std::to_string(block).c_str());
  options.SetNameValue("OVERVIEWS", "AUTO");
  // Blocks are deflated on every core; each block's bytes are those of one thread.
  options.SetNameValue("NUM_THREADS", "ALL_CPUS");
  // Averaging honours the nodata value and the alpha band; labels are picked.
  options.SetNameValue("RESAMPLING", labels ? "NEAREST" : "AVERAGE");
  raster_with_overviews source(*raster);
  if (!source.build_overviews(overview_sizes(image.cols, image.rows, block),
                              labels ? "NEAREST" : "AVERAGE"))
    return failure("GDAL cannot make the overviews");
  GDALDatasetUniquePtr file(
      cog->CreateCopy(path.c_str(), &source, FALSE, options.List(), nullptr, nullptr));
  if (!file) return failure("the COG writer failed");
  // Closing writes what is left; GDAL reports a failure there only to the handler.
  file.reset();
  if (gdal.failed()) return failure("the COG writer failed");
  return true;
}

namespace {

std::string format_value(const char* format, double value) {
  char text[64];
  std::snprintf(text, sizeof(text), format, value);
  return text;
}

}  // namespace

namespace {
constexpr std::size_t longest_whole_name = 120, kept_start = 100;
}  // namespace

std::string temporary_prefix(const std::string& name) {
  // File names end at 255 bytes: a long name keeps its start, made unique by a hash.
  if (name.size() <= longest_whole_name) return "." + name;
  char hash[24];
  std::snprintf(hash, sizeof(hash), "~%016zx", std::hash<std::string>{}(name));
  return "." + name.substr(0, kept_start) + hash;
}

std::string temporary_common_start(const std::string& name) {
  return "." + name.substr(0, kept_start);
}

std::string create_temporary_file(const std::string& path) {
  const std::string name = file_name(path);
  const std::string folder = path.substr(0, path.size() - name.size());
  const std::size_t dot = last_extension_dot(path);
  std::string extension = dot == std::string::npos ? "" : path.substr(dot);
  if (extension.size() > 16) extension.clear();
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string candidate = folder + temporary_prefix(name) + ".partial-" +
                                  std::to_string(static_cast<long>(::getpid())) + "-" +
                                  std::to_string(temporary_counter++) + extension;
    const int fd =
        ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (fd >= 0) {
      ::close(fd);
      return candidate;
    }
    if (errno != EEXIST) return "";
  }
  return "";
}

int remove_stale_temporaries(const std::string& folder, const std::string& prefix,
                             bool recursive) {
  int removed = 0;
  std::error_code error;
  const auto remove_if_stale = [&](const std::filesystem::directory_entry& entry) {
    const std::string name = entry.path().filename().string();
    const std::size_t mark = name.find(".partial-");
    if (name.compare(0, prefix.size(), prefix) != 0 || mark == std::string::npos) return;
    // Another mosaic sharing the folder and the prefix may be writing right now: only the
    // files of a process that is gone are stale.
    const long pid = std::strtol(name.c_str() + mark + 9, nullptr, 10);
    if (pid > 0 && (::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM)) return;
    std::error_code ignored;
    if (entry.is_regular_file(ignored) && std::filesystem::remove(entry.path(), ignored)) ++removed;
  };
  const std::string where = folder.empty() ? "." : folder;
  if (recursive) {
    for (const auto& entry : std::filesystem::recursive_directory_iterator(where, error))
      remove_if_stale(entry);
  } else {
    for (const auto& entry : std::filesystem::directory_iterator(where, error))
      remove_if_stale(entry);
  }
  return removed;
}

write_outcome write_text_atomically(const std::string& path, const std::string& text) {
  staged_file_set files;
  if (files.stage_text(path, text) && files.commit()) return write_outcome::written;
  return files.staged_count() == 0 ? write_outcome::not_created : write_outcome::not_written;
}

write_outcome write_image_atomically(const std::string& path, const cv::Mat& image,
                                     const std::vector<int>& params,
                                     const raster_georeference* georeference) {
  staged_file_set files;
  if (files.stage_image(path, image, params, georeference) && files.commit())
    return write_outcome::written;
  return files.staged_count() == 0 ? write_outcome::not_created : write_outcome::not_written;
}

std::string conventional_world_file_text(const raster_georeference& georeference) {
  std::string text;
  for (double value : {georeference.lon_step_deg, 0.0, 0.0, georeference.lat_step_deg,
                       georeference.first_lon_deg, georeference.first_lat_deg}) {
    text += format_value("%.15g", value) + "\n";
  }
  return text;
}

const char* const wgs84_prj_text =
    "GEOGCS[\"GCS_WGS_1984\",DATUM[\"D_WGS_1984\",SPHEROID[\"WGS_1984\",6378137.0,"
    "298.257223563]],PRIMEM[\"Greenwich\",0.0],UNIT[\"Degree\",0.0174532925199433]]";

bool write_georeference_side_files(const std::string& image_path,
                                   const raster_georeference& georeference) {
  bool all_written = true;
  const std::string world_path = conventional_world_file_path(image_path);
  if (!world_path.empty() &&
      write_text_atomically(world_path, conventional_world_file_text(georeference)) !=
          write_outcome::written) {
    console_printf("cannot write %s\n", world_path.c_str());
    all_written = false;
  }
  const std::string prj_path = projection_file_path(image_path);
  if (write_text_atomically(prj_path, wgs84_prj_text) != write_outcome::written) {
    console_printf("cannot write %s\n", prj_path.c_str());
    all_written = false;
  }
  return all_written;
}

std::string ground_overlay_kml(const std::string& href, double north, double south, double east,
                               double west, const char* indent) {
  const std::string t = indent;
  std::string kml;
  kml += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
  kml += "<kml xmlns = \"http://www.opengis.net/kml/2.2\">\n";
  kml += t + "<GroundOverlay>\n";
  kml += t + "<name>GroundOverlay.kml</name>\n";
  kml += t + "<color>ffffffff</color>\n";
  kml += t + "<drawOrder>1</drawOrder>\n";
  kml += t + "<Icon>\n";
  kml += t + "<href>" + href + "</href>\n";
  kml += t + "<refreshMode>onInterval</refreshMode>\n";
  kml += t + "<refreshInterval>10</refreshInterval>\n";
  kml += t + "<viewBoundScale>1</viewBoundScale>\n";
  kml += t + "</Icon>\n";
  kml += t + "<LatLonBox>\n";
  kml += t + "<north>" + format_value("%3.10f", north) + "</north>\n";
  kml += t + "<south>" + format_value("%3.10f", south) + "</south>\n";
  kml += t + "<east>" + format_value("%3.10f", east) + "</east>\n";
  kml += t + "<west>" + format_value("%3.10f", west) + "</west>\n";
  kml += t + "<rotation>0</rotation>\n";
  kml += t + "</LatLonBox>\n";
  kml += t + "</GroundOverlay>\n";
  kml += "</kml>\n";
  return kml;
}

}  // namespace aeroquilt
