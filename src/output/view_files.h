#pragma once
// The files of one output view (named by output_names.h): the image, its side files,
// the specified world file, and the exact georeferencing of the pixels.

#include <cstdint>
#include <opencv2/core.hpp>
#include <string>
#include <utility>
#include <vector>

#include "base/local_frame.h"
#include "output/output_names.h"
#include "terrain/view_params.h"

namespace aeroquilt {

// The six-line world file of a view.
std::string world_file_text(const view_params& view);

// Where the pixel centres of `view` lie: pixel (r, c) at the geographic position of
// the local point (x_min + c * pixel_size, y_max - r * pixel_size) of `frame`, the
// run's local frame in double precision, which the cameras are placed in. (The record's
// own reference point is single precision: a float step of longitude is 0.6 m at 120°.)
raster_georeference view_georeference(const view_params& view, const local_frame& frame);

// Writes `text` to `path` through a temporary file, replacing it; reports the path and
// returns false on failure.
bool write_output_text(const std::string& path, const std::string& text);

// The copy of a BGR raster that a PNG view holds: black pixels transparent (alpha 0),
// every other pixel opaque.
cv::Mat transparent_copy(const cv::Mat& bgr);

// Writes the raster of a view at `path`: a PNG name (".png" or ".PNG" found first in the
// extension table) as its transparent copy at compression 3 on a writer thread joined at
// once, any other with default parameters; a ".tif" is a GeoTIFF placed by
// `georeference`. False after "cannot write %s: %s\n" (path, reason) when it failed.
// `png_threads` 1 encodes a PNG with the image library; any other value with the band
// encoder of png_encoder.h on that many threads (0: every core), giving the same pixels.
bool write_view_image(const std::string& path, const cv::Mat& raster,
                      const raster_georeference& georeference, int png_threads = 1);

class staged_file_set;

// Stages the side files of the view image at `path` (whose extension the table finds)
// into `files`: the KML GroundOverlay and the world file of the record, the conventional
// world file and the .prj placed by `georeference`. Returns the KML file's path.
std::string stage_view_side_files(staged_file_set& files, const std::string& path,
                                  const view_params& view,
                                  const raster_georeference& georeference);

// Renames the staged files of the view at `path` into place, the image first. False
// after "cannot write %s: %s\n" for the first file that failed (and a line saying the
// view is incomplete when some files had been replaced already).
bool commit_view_files(staged_file_set& files, const std::string& path);

// The per-pixel maps of a view, where the renderer left them (width x height values each,
// row-major).
struct view_maps {
  const uint32_t* source = nullptr;  // flight-log line, 0 where nothing was projected
  const float* angle_deg = nullptr;  // off-nadir degrees where source != 0
  bool source_map = false, angle_map = false;     // which maps to write
  bool wide_source = false;  // the source map in 32 bits: the log has lines past 65535
};

struct written_view {
  bool written = false;  // every file in place
  std::string kml_path;  // the GroundOverlay beside the image (when written)
};

// Writes the view image at `path` (whose extension the table finds) with its side files
// and the asked maps of quality_maps.h as one all-or-nothing set, renamed side files
// first, then the maps, the image and `extra_texts` (path, text: what records the set),
// through commit_view_files, which reports a failure. `maps` points at both planes
// whenever a map is asked.
written_view write_view_file_set(
    const std::string& path, const cv::Mat& image, const view_params& view,
    const raster_georeference& georeference, int png_threads, const view_maps& maps,
    const std::vector<std::pair<std::string, std::string>>& extra_texts = {});

}  // namespace aeroquilt
