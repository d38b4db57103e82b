#pragma once
// One view of a run: rendered by the view operation, then written with its side files
// and maps, all or nothing.

#include <string>
#include <vector>

#include "app/mosaic_request.h"
#include "imaging/view_operation.h"

namespace aeroquilt {

// What became of one view.
enum class view_outcome {
  written,            // the image, its side files and maps
  dem_not_covered,    // the DEM does not cover the view
  nothing_projected,  // no frame fell in the view or could be projected
  empty,              // projected, but no image pixel fell in the view
  device_failed,      // a device call failed (the view failed)
  image_not_written,  // rendered, but its files could not be written (the view failed)
};

// Whether the outcome is a failure of the view, which leaves the mosaic incomplete
// (not a view with nothing in it).
bool view_failed(view_outcome outcome);

struct view_result {
  view_outcome outcome = view_outcome::nothing_projected;
  int projected = 0;     // frames projected into the view
  std::string kml_path;  // the GroundOverlay written beside the image (when written)
};

// Renders `view` from the frames `chosen` and writes it at `path` (whose extension the
// request has checked) with its side files; nothing is written unless the outcome is
// `written`. With `save_empty` false a view in which no image pixel fell is not written
// (outcome `empty`): a whole image of nothing is no mosaic, while an empty tile is part
// of its grid.
view_result run_view(const view_setting& setting, const mosaic_request& request,
                     const view_params& view, const std::string& path,
                     const std::vector<int>& chosen, bool save_empty = true);

}  // namespace aeroquilt
