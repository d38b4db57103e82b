#pragma once
// The files of one output view and the rule that names them: the image's extension
// found in a fixed table, the side files named by replacing the three letters after
// its ".", the specified world file, and the exact georeferencing of the pixels.

#include <cstddef>
#include <string>

#include "base/local_frame.h"
#include "terrain/view_params.h"

namespace aeroquilt {

// Index in the output extension table (".JPG", ".jpg", ".bmp", ".tif", ".png",
// ".PNG") of the first entry found anywhere in `path`, and its first position; -1 if none.
int find_output_extension(const std::string& path, std::size_t& position);

// `path` with the three characters after the extension's "." at `extension_position`
// replaced ("mosaic.tiff" with "kml" gives "mosaic.kmlf").
std::string side_file_path(const std::string& path, std::size_t extension_position,
                           const char* replacement);

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

// The frame a record holds itself: its single-precision reference point and radii.
local_frame record_frame(const view_params& view);
inline raster_georeference view_georeference(const view_params& view) {
  return view_georeference(view, record_frame(view));
}

}  // namespace aeroquilt
