#pragma once
// The KML index that links the tiles of a mosaic: one network link per tile written,
// in the order the tiles are made, written once through a temporary file when the
// tiles are done (an interrupted run leaves the previous index or none, never a
// partial one).

#include <string>
#include <vector>

namespace aeroquilt {

// The link index document linking `kml_names` (paths relative to the index), in order;
// with none, the empty document.
std::string link_index_text(const std::vector<std::string>& kml_names);

// A KML NetworkLink to the link index named `index_name` (beside it) that reloads it
// every 5 seconds, so that Google Earth shows a live run's tiles as they are written.
std::string live_link_text(const std::string& index_name);

// Writes the link index of `kml_names` to `index_path`; false after "cannot write %s\n".
bool write_link_index(const std::string& index_path, const std::vector<std::string>& kml_names);

}  // namespace aeroquilt
