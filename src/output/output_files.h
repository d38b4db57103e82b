#pragma once
// Writing of output files: every file is written under a temporary name in its own
// folder and renamed into place when complete, so that an interrupted run leaves
// either the previous file or the finished one, never a truncated one. Also the
// texts shared by the view and DEM outputs: the KML GroundOverlay, and the
// georeferencing that GIS readers expect (conventional world file, .prj, GeoTIFF).

#include <opencv2/core.hpp>
#include <string>
#include <vector>

#include "base/local_frame.h"
#include "output/output_names.h"

namespace aeroquilt {

// Outcome of one output write; the caller reports it with its own message.
enum class write_outcome {
  written,
  not_created,  // the temporary file could not be created (missing folder, no permission)
  not_written,  // created, but writing, encoding or the final rename failed
};

// The start of the temporary names of the file named `name`: "." and the name (its first
// 100 characters and a hash when it is long).
std::string temporary_prefix(const std::string& name);
// The start that every temporary name of `name` shares, long or short: "." and at most
// its first 100 characters.
std::string temporary_common_start(const std::string& name);

// A fresh name in the folder of `path`: "<folder>/.<name>.partial-<pid>-<n>" followed by
// the last extension of the name, which the image encoders choose the format from.
// The file is created empty (exclusively) so that no other writer can take the name.
// Empty on failure.
std::string create_temporary_file(const std::string& path);

// Removes the temporary files (".partial-") whose names start with `prefix` left in
// `folder` (and below it, with `recursive`) by a process that is gone; the caller holds
// the output exclusively. Returns how many.
int remove_stale_temporaries(const std::string& folder, const std::string& prefix,
                             bool recursive = false);

// Writes `text` to `path` through a temporary file, every write checked and synced
// (see checked_write.h); no temporary file is left behind.
write_outcome write_text_atomically(const std::string& path, const std::string& text);

// Writes `image` to `path` through a temporary file. The format follows the last
// extension as in cv::imwrite (with `params`); a ".tif" or ".tiff" path (any case) with
// `georeference` is written by write_geotiff.
write_outcome write_image_atomically(const std::string& path, const cv::Mat& image,
                                     const std::vector<int>& params,
                                     const raster_georeference* georeference);

// Writes `image` (8- or 16-bit with 1, 3 or 4 channels in BGR(A) order, or one float
// channel) at `path` as a Cloud Optimized GeoTIFF through GDAL: DEFLATE, 256 x 256 tiles,
// overviews down to one tile, bands in RGB(A) order (a fourth is alpha), geographic
// WGS 84 (EPSG:4326) with the first pixel's centre at `georeference`. Overviews average,
// leaving out nodata and transparent pixels, except for a single uint16 band: it holds
// labels (nodata 0), which overviews pick. A float band's nodata is NaN. False with
// GDAL's `reason` on failure (the file may then be partly written).
bool write_geotiff(const std::string& path, const cv::Mat& image,
                   const raster_georeference& georeference, std::string& reason);

// Six lines A, D, B, E, C, F of a world file whose C and F name the centre of the first pixel.
std::string conventional_world_file_text(const raster_georeference& georeference);

// WKT (ESRI-style WKT1, as .prj files hold it) of geographic WGS 84, EPSG:4326; axes
// longitude then latitude in degrees, as in the world file.
extern const char* const wgs84_prj_text;

// Writes the conventional world file (not for a TIFF) and the .prj beside `image_path`.
// Returns false after reporting "cannot write <path>\n" for a file that failed.
bool write_georeference_side_files(const std::string& image_path,
                                   const raster_georeference& georeference);

// The KML GroundOverlay document; `indent` starts each line from the GroundOverlay
// element to its end tag. Bounds in degrees, written with "%3.10f".
std::string ground_overlay_kml(const std::string& href, double north, double south, double east,
                               double west, const char* indent);

}  // namespace aeroquilt
