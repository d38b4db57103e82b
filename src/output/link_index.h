#pragma once
// The KML index that links the tiles of a mosaic: written empty before the first tile
// and completed after each tile, always through a temporary file.

#include <string>

namespace aeroquilt {

// The empty link index document.
std::string empty_link_index();

// The network-link block of one tile's KML file, closing the document again.
std::string network_link_block(const std::string& kml_name);

// Writes the link-index block for `kml_name` (a path relative to the index) over the
// closing lines of the index.
bool add_link_index_entry(const std::string& index_path, const std::string& kml_name);

}  // namespace aeroquilt
