#include "output/view_files.h"

#include <strings.h>

#include <cassert>
#include <cmath>
#include <cstdio>
#include <opencv2/core/utility.hpp>
#include <opencv2/imgcodecs.hpp>
#include <thread>
#include <vector>

#include "base/console.h"
#include "output/checked_write.h"
#include "output/output_files.h"
#include "output/png_encoder.h"
#include "output/quality_maps.h"

namespace aeroquilt {
namespace {

std::string format_double(const char* format, double value) {
  char text[64];
  std::snprintf(text, sizeof(text), format, value);
  return text;
}

}  // namespace

std::string world_file_text(const view_params& view) {
  std::string text;
  for (double value :
       {static_cast<double>(view.lon_per_pixel), 0.0, 0.0, -static_cast<double>(view.lat_per_pixel),
        static_cast<double>(view.lon_min), static_cast<double>(view.lat_max)}) {
    text += format_double("%1.10g", value) + "\n";
  }
  return text + "\n";
}

bool write_output_text(const std::string& path, const std::string& text) {
  staged_file_set files;
  if (files.stage_text(path, text) && files.commit()) return true;
  console_printf("cannot write %s: %s\n", path.c_str(), files.reason().c_str());
  return false;
}

raster_georeference view_georeference(const view_params& view, const local_frame& frame) {
  constexpr double pi = 3.141592653589793;
  const double east_scale = frame.radius_east * std::cos(frame.ref_lat * pi / 180.0);
  const double p = view.pixel_size;
  raster_georeference georeference;
  georeference.lon_step_deg = p / east_scale * 180.0 / pi;
  georeference.lat_step_deg = -p / frame.radius_north * 180.0 / pi;
  local_to_geographic(view.x_min, view.y_max, frame, georeference.first_lat_deg,
                      georeference.first_lon_deg);
  return georeference;
}

cv::Mat transparent_copy(const cv::Mat& image) {
  // Every byte is written (black stays 0, 0, 0, 0), branch-free and over row bands in
  // parallel: a mosaic has tens of millions of pixels.
  cv::Mat copy(image.rows, image.cols, CV_8UC4);
  cv::parallel_for_(cv::Range(0, image.rows), [&image, &copy](const cv::Range& rows) {
    for (int row = rows.start; row < rows.end; ++row) {
      const uchar* source = image.ptr<uchar>(row);
      uchar* target = copy.ptr<uchar>(row);
      for (int column = 0; column < image.cols; ++column, source += 3, target += 4) {
        target[0] = source[0];
        target[1] = source[1];
        target[2] = source[2];
        target[3] = (source[0] | source[1] | source[2]) != 0 ? 255 : 0;
      }
    }
  });
  return copy;
}

namespace {

bool is_png_view(const std::string& path) {
  std::size_t extension_position = 0;
  return find_output_extension(path, extension_position) >= 4;
}

// Stages the view's raster: a PNG as its transparent copy at compression 3, encoded on
// a writer thread of its own joined at once; a GeoTIFF as its transparent copy; any
// other with default parameters.
// `png_threads` other than 1 encodes the PNG with the band encoder, which makes the
// transparent pixels row by row where the library needs the whole copy. (The library
// picks its encoder by the last extension; the band encoder takes only the names it
// would encode as PNG.)
bool stage_view_raster(staged_file_set& files, const std::string& path, const cv::Mat& raster,
                       const raster_georeference& georeference, int png_threads) {
  // A GeoTIFF view is transparent where black like a PNG one: an alpha band.
  if (is_tiff_path(path) && raster.type() == CV_8UC3)
    return files.stage_image(path, transparent_copy(raster), {}, &georeference);
  if (!is_png_view(path)) return files.stage_image(path, raster, {}, &georeference);
  const bool bands = png_threads != 1 &&
                     ::strcasecmp(encoder_extension(path).c_str(), ".png") == 0 &&
                     raster.type() == CV_8UC3;
  const auto band_encoder = [png_threads](const cv::Mat& image, const std::string&,
                                          const std::vector<int>&,
                                          std::vector<unsigned char>& bytes, std::string& reason) {
    bytes = encode_png(image, 3, png_threads, png_pixels::transparent_black);
    if (bytes.empty()) reason = "the PNG encoder failed";
    return !bytes.empty();
  };
  bool staged = false;
  std::thread writer([&] {
    staged = bands ? files.stage_image(path, raster, {}, &georeference, band_encoder)
                   : files.stage_image(path, transparent_copy(raster),
                                       {cv::IMWRITE_PNG_COMPRESSION, 3}, &georeference);
  });
  writer.join();
  return staged;
}

void report_failure(const staged_file_set& files) {
  console_printf("cannot write %s: %s\n", files.failed_path().c_str(), files.reason().c_str());
}

}  // namespace

bool write_view_image(const std::string& path, const cv::Mat& raster,
                      const raster_georeference& georeference, int png_threads) {
  staged_file_set files;
  if (stage_view_raster(files, path, raster, georeference, png_threads) && files.commit())
    return true;
  report_failure(files);
  return false;
}

std::string stage_view_side_files(staged_file_set& files, const std::string& path,
                                  const view_params& view,
                                  const raster_georeference& georeference) {
  std::size_t extension_position = 0;
  find_output_extension(path, extension_position);
  const std::size_t slash = path.find_last_of("/\\");
  const std::string href = slash == std::string::npos ? path : path.substr(slash + 1);
  const std::string kml_path = side_file_path(path, extension_position, "kml");
  files.stage_text(kml_path, ground_overlay_kml(href, view.lat_max, view.lat_min, view.lon_max,
                                                view.lon_min, "\t"));
  files.stage_text(side_file_path(path, extension_position, "tfw"), world_file_text(view));
  // What GIS readers look for: the conventional world file and the .prj (a TIFF holds
  // its georeferencing inside), describing each pixel centre exactly.
  const std::string world_path = conventional_world_file_path(path);
  if (!world_path.empty()) files.stage_text(world_path, conventional_world_file_text(georeference));
  files.stage_text(projection_file_path(path), wgs84_prj_text);
  return kml_path;
}

bool commit_view_files(staged_file_set& files, const std::string& path) {
  if (files.commit()) return true;
  report_failure(files);
  if (files.renamed() > 0) {
    console_printf("view %s is incomplete: %d of its files were replaced before the failure\n",
                   path.c_str(), files.renamed());
  }
  return false;
}

written_view write_view_file_set(
    const std::string& path, const cv::Mat& image, const view_params& view,
    const raster_georeference& georeference, int png_threads, const view_maps& maps,
    const std::vector<std::pair<std::string, std::string>>& extra_texts) {
  staged_file_set files;
  written_view result;
  // Renamed in this order: the side files (the same for every run of the grid), the maps,
  // the image, then what records the set; a run killed between two renames leaves a
  // view whose image and records are either all old or all new.
  const std::string kml_path = stage_view_side_files(files, path, view, georeference);
  // The maps stand or fall with the image; a failure to stage them is reported by the
  // commit. They are written while the image is: GDAL makes a map's overviews on one
  // thread, and every file is synced.
  staged_file_set map_files[2], image_files;
  // Joined on every way out, a throw included: they write into the sets above.
  struct joined_threads {
    std::thread threads[2];
    ~joined_threads() {
      for (std::thread& thread : threads) {
        if (thread.joinable()) thread.join();
      }
    }
  } map_writers;
  if (maps.source_map || maps.angle_map) {
    assert(maps.source != nullptr && (!maps.angle_map || maps.angle_deg != nullptr));
    const bool wanted[2][2] = {{maps.source_map, false}, {false, maps.angle_map}};
    for (int map = 0; map < 2; ++map) {
      // The flags by value: the threads outlive this block.
      const bool source_map = wanted[map][0], angle_map = wanted[map][1];
      if (!source_map && !angle_map) continue;
      map_writers.threads[map] = std::thread([&, map, source_map, angle_map] {
        stage_quality_maps(map_files[map], path, view.width, view.height, maps.source,
                           maps.angle_deg, georeference, source_map, angle_map,
                           maps.wide_source);
      });
    }
  }
  stage_view_raster(image_files, path, image, georeference, png_threads);
  for (std::thread& writer : map_writers.threads) {
    if (writer.joinable()) writer.join();
  }
  for (staged_file_set& map : map_files) files.absorb(map);
  files.absorb(image_files);
  for (const auto& [extra_path, text] : extra_texts) files.stage_text(extra_path, text);
  if (!commit_view_files(files, path)) return result;
  result.written = true;
  result.kml_path = kml_path;
  return result;
}

}  // namespace aeroquilt
