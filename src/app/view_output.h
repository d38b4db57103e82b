#pragma once
// One output view: projected from every image, previewed, and saved as an image
// file with a KML GroundOverlay and a world file named after it.

#include <string>

#include "app/job.h"
#include "output/view_files.h"

namespace aeroquilt {

// What became of one view.
enum class view_outcome {
  written,             // the image and its side files
  dem_not_covered,     // the DEM does not cover the view
  buffer_not_created,  // the device could not hold the view's output
  nothing_projected,   // no image fell in the view or could be projected
  image_not_written,   // projected, but the image file could not be written
};

struct view_result {
  view_outcome outcome = view_outcome::nothing_projected;
  int projected = 0;     // images projected into the view
  std::string kml_path;  // the GroundOverlay written beside the image (when written)
};

// Renders `view` into the output canvas and saves it at `path` with its side files;
// nothing is saved unless the outcome is `written`.
view_result render_view(mosaic_job& job, const view_params& view, const std::string& path,
                        double preview_scale);

// True when a preview window can be opened: a display is named and a window opened
// on it in a child process (decided once per run).
bool display_available();

// Shows the canvas scaled by `scale` in the window "Figure 1" when a display exists.
void show_preview(image_cache& canvas, double scale);

// Writes the canvas image with default parameters on the calling thread; a ".tif"
// becomes a GeoTIFF placed by `georeference` (by the canvas's view record when null).
// False (after "cannot write %s\n") when the image could not be written.
bool save_view_image(image_cache& canvas, const std::string& path,
                     const raster_georeference* georeference = nullptr);

// Makes the transparent PNG copy of the canvas and starts its writer thread (placed,
// for a TIFF name, by `georeference`, or by the canvas's view record when null).
void start_png_writer(image_cache& canvas, const std::string& path,
                      const raster_georeference* georeference = nullptr);

}  // namespace aeroquilt
