#pragma once
// Every rule that names an output file: the mosaic's stem, its tiles, link index, lock
// and quality maps, the extension the format and side files follow, and the set of
// files one view image writes. Names are cut at '/' only; a dot in a folder name never
// counts.

#include <cstddef>
#include <string>
#include <vector>

namespace aeroquilt {

// The part of `path` after its last '/' (all of it when none).
std::string file_name(const std::string& path);

// The part of `path` up to and with its last '/' (empty when none): the folder.
std::string folder_of(const std::string& path);

// Position in `path` of the first '.' of the file name, npos when none.
std::size_t name_dot(const std::string& path);

// `path` before name_dot (all of it when none): "./out.d/mosaic.v2.png" -> "./out.d/mosaic".
std::string mosaic_stem(const std::string& path);

// Position in `path` of the '.' that starts the file name's last extension, npos when
// none; a name that starts with its only dot (".png") has no extension.
std::size_t last_extension_dot(const std::string& path);

// The extension the image encoder chooses the format from, as cv::imwrite takes it: the
// last extension, or the whole name when it starts with its only dot (".png"); empty when
// none.
std::string encoder_extension(const std::string& path);

// Tile (i, j) of the mosaic at `joined`: "<stem>_i_j<extension from name_dot>"
// ("mosaic.png" -> "mosaic_2_0.png", "mosaic" -> "mosaic_2_0").
std::string tile_name(const std::string& joined, int i, int j);

// The link index of the mosaic at `joined`: "<stem>_link.kml".
std::string link_index_path(const std::string& joined);

// The lock file of the mosaic at `joined`: "<stem>.lock".
std::string output_lock_path(const std::string& joined);

// The record of a tiled mosaic's grid: "<stem>_grid.txt".
std::string grid_record_path(const std::string& joined);

// A per-pixel map of the view image at `image_path`: "<stem><suffix>.tif".
std::string quality_map_path(const std::string& image_path, const char* suffix);

// Index in the output extension table (".JPG", ".jpg", ".bmp", ".tif", ".png",
// ".PNG"; ".tiff" counts as ".tif") of the file name's last extension, and the position
// of its dot; -1 when the name has no extension or another one.
int find_output_extension(const std::string& path, std::size_t& position);

// `path` with its extension after the dot at `extension_position` replaced
// ("mosaic.tiff" with "kml" gives "mosaic.kml").
std::string side_file_path(const std::string& path, std::size_t extension_position,
                           const char* replacement);

// True when the last extension of `path` is .tif or .tiff in any case (the image is a GeoTIFF).
bool is_tiff_path(const std::string& path);

// The conventional world file beside an image: the last extension replaced by its first
// and last letters and "w", in lower case (".png" -> ".pgw", ".JPG" -> ".jgw", ".bmp" ->
// ".bpw"). Empty for a TIFF, which carries its georeferencing inside, and for a name
// without extension.
std::string conventional_world_file_path(const std::string& image_path);

// The ".prj" beside an image: its last extension replaced by "prj" (appended when none).
std::string projection_file_path(const std::string& image_path);

// Every file a view image at `image_path` writes: the image, its .kml and .tfw (when the
// extension table finds an extension), the conventional world file (when it has one) and
// the .prj.
std::vector<std::string> view_output_paths(const std::string& image_path);

}  // namespace aeroquilt
