#pragma once
// One output view: projected from every image, previewed, and saved as an image
// file with a KML GroundOverlay and a world file named after it.

#include <string>

#include "app/job.h"
#include "app/output_files.h"

namespace aeroquilt {

// Renders `view` into the output canvas and saves it at `path`.
// Returns the number of images projected; 0 means nothing was saved.
int render_view(mosaic_job& job, const view_params& view, const std::string& path,
                double preview_scale);

// Shows the canvas scaled by `scale` in the window "Figure 1" when a display exists.
void show_preview(image_cache& canvas, double scale);

// Writes the canvas image with default parameters on the calling thread; a ".tif"
// becomes a GeoTIFF placed by the canvas's view record. False (after
// "cannot write %s\n") when the image could not be written.
bool save_view_image(image_cache& canvas, const std::string& path);

// Makes the transparent PNG copy of the canvas and starts its writer thread (placed,
// for a TIFF name, by the canvas's view record as it is now).
void start_png_writer(image_cache& canvas, const std::string& path);

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
// the local point (x_min + c * pixel_size, y_max - r * pixel_size), converted with the
// record's own reference point and radii, in double precision.
raster_georeference view_georeference(const view_params& view);

// Writes `text` to `path` through a temporary file, replacing it; reports the path and
// returns false on failure.
bool write_output_text(const std::string& path, const std::string& text);

}  // namespace aeroquilt
