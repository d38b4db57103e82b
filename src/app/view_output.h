#pragma once
// One view of the run: its DEM, its rendering from every image, and its files.

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
  empty,               // projected, but no image pixel fell in the view
};

struct view_result {
  view_outcome outcome = view_outcome::nothing_projected;
  int projected = 0;     // images projected into the view
  std::string kml_path;  // the GroundOverlay written beside the image (when written)
};

// Renders `view` from every image of the job and saves it at `path` with its side
// files; nothing is saved unless the outcome is `written`. With `save_empty` false a
// view in which no image pixel fell is not saved (outcome `empty`): a whole image of
// nothing is no mosaic, while an empty tile is part of its grid.
view_result render_view(mosaic_job& job, const view_params& view, const std::string& path,
                        double preview_scale, bool save_empty = true);

}  // namespace aeroquilt
