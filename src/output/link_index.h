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

// Writes the link index of `kml_names` to `index_path`; false after "cannot write %s\n".
bool write_link_index(const std::string& index_path, const std::vector<std::string>& kml_names);

}  // namespace aeroquilt
