#include "output/output_files.h"

#include <fcntl.h>
#include <geotiff/geotiff.h>
#include <geotiff/geovalues.h>
#include <geotiff/xtiffio.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "base/console.h"
#include "output/checked_write.h"

namespace aeroquilt {
namespace {

std::atomic<unsigned> temporary_counter{0};

struct tiff_closer {
  void operator()(TIFF* tiff) const { XTIFFClose(tiff); }
};
struct gtif_freer {
  void operator()(GTIF* keys) const { GTIFFree(keys); }
};

}  // namespace

bool write_geotiff(const std::string& path, const cv::Mat& image,
                   const raster_georeference& georeference) {
  const int channels = image.channels();
  const int depth = image.depth();
  const bool real = depth == CV_32F && channels == 1;  // float maps, NaN where no data
  if (!real &&
      ((depth != CV_8U && depth != CV_16U) || (channels != 1 && channels != 3 && channels != 4)))
    return false;
  std::unique_ptr<TIFF, tiff_closer> tiff(XTIFFOpen(path.c_str(), "w"));
  if (!tiff) return false;
  TIFF* t = tiff.get();
  const uint16_t bits = depth == CV_8U ? 8 : real ? 32 : 16;
  TIFFSetField(t, TIFFTAG_IMAGEWIDTH, static_cast<uint32_t>(image.cols));
  TIFFSetField(t, TIFFTAG_IMAGELENGTH, static_cast<uint32_t>(image.rows));
  TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, bits);
  TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, static_cast<uint16_t>(channels));
  TIFFSetField(t, TIFFTAG_SAMPLEFORMAT, real ? SAMPLEFORMAT_IEEEFP : SAMPLEFORMAT_UINT);
  TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
  if (real) {
    // GDAL's nodata tag, which GIS readers honour.
    static const TIFFFieldInfo nodata_field = {
        42113, -1, -1, TIFF_ASCII, FIELD_CUSTOM, 1, 0, const_cast<char*>("GDALNoDataValue")};
    TIFFMergeFieldInfo(t, &nodata_field, 1);
    TIFFSetField(t, 42113, "nan");
  }
  TIFFSetField(t, TIFFTAG_PHOTOMETRIC, channels == 1 ? PHOTOMETRIC_MINISBLACK : PHOTOMETRIC_RGB);
  TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_LZW);
  TIFFSetField(t, TIFFTAG_PREDICTOR, real ? PREDICTOR_FLOATINGPOINT : PREDICTOR_HORIZONTAL);
  if (channels == 4) {
    const uint16_t extra = EXTRASAMPLE_UNASSALPHA;
    TIFFSetField(t, TIFFTAG_EXTRASAMPLES, 1, &extra);
  }
  TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, TIFFDefaultStripSize(t, 0));

  // PixelIsArea: raster point (0, 0) is the outer corner of the first pixel, half a
  // step before its centre.
  double scale[3] = {georeference.lon_step_deg, -georeference.lat_step_deg, 0.0};
  double tiepoint[6] = {0.0,
                        0.0,
                        0.0,
                        georeference.first_lon_deg - georeference.lon_step_deg / 2.0,
                        georeference.first_lat_deg - georeference.lat_step_deg / 2.0,
                        0.0};
  TIFFSetField(t, TIFFTAG_GEOPIXELSCALE, 3, scale);
  TIFFSetField(t, TIFFTAG_GEOTIEPOINTS, 6, tiepoint);
  {
    std::unique_ptr<GTIF, gtif_freer> keys(GTIFNew(t));
    if (!keys) return false;
    GTIFKeySet(keys.get(), GTModelTypeGeoKey, TYPE_SHORT, 1, ModelTypeGeographic);
    GTIFKeySet(keys.get(), GTRasterTypeGeoKey, TYPE_SHORT, 1, RasterPixelIsArea);
    GTIFKeySet(keys.get(), GeographicTypeGeoKey, TYPE_SHORT, 1, GCS_WGS_84);
    GTIFKeySet(keys.get(), GeogAngularUnitsGeoKey, TYPE_SHORT, 1, Angular_Degree);
    GTIFKeySet(keys.get(), GTCitationGeoKey, TYPE_ASCII, 0, "WGS 84");
    if (!GTIFWriteKeys(keys.get())) return false;
  }

  cv::Mat row;
  for (int r = 0; r < image.rows; ++r) {
    const cv::Mat source = image.row(r);
    if (channels == 3) {
      cv::cvtColor(source, row, cv::COLOR_BGR2RGB);
    } else if (channels == 4) {
      cv::cvtColor(source, row, cv::COLOR_BGRA2RGBA);
    } else {
      source.copyTo(row);
    }
    if (TIFFWriteScanline(t, row.data, static_cast<uint32_t>(r), 0) < 0) return false;
  }
  // Closing flushes the last strip and the directory; a failure there is a failed write.
  if (!TIFFFlush(t)) return false;
  XTIFFClose(tiff.release());
  return true;
}

namespace {

std::string format_value(const char* format, double value) {
  char text[64];
  std::snprintf(text, sizeof(text), format, value);
  return text;
}

}  // namespace

std::string create_temporary_file(const std::string& path) {
  const std::string name = file_name(path);
  const std::string folder = path.substr(0, path.size() - name.size());
  const std::size_t dot = last_extension_dot(path);
  const std::string extension = dot == std::string::npos ? "" : path.substr(dot);
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string candidate = folder + "." + name + ".partial-" +
                                  std::to_string(static_cast<long>(::getpid())) + "-" +
                                  std::to_string(temporary_counter++) + extension;
    const int fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) {
      ::close(fd);
      return candidate;
    }
    if (errno != EEXIST) return "";
  }
  return "";
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
