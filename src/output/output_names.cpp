#include "output/output_names.h"

#include <cctype>

namespace aeroquilt {
namespace {

const char* const extension_table[6] = {".JPG", ".jpg", ".bmp", ".tif", ".png", ".PNG"};

std::size_t name_start(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? 0 : slash + 1;
}

std::string lower_case(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

}  // namespace

std::string file_name(const std::string& path) { return path.substr(name_start(path)); }

std::size_t name_dot(const std::string& path) { return path.find('.', name_start(path)); }

// Cutting at a dot of a folder name would send every tile and the link index to a
// different folder under a broken name.
std::string mosaic_stem(const std::string& path) { return path.substr(0, name_dot(path)); }

std::size_t last_extension_dot(const std::string& path) {
  const std::size_t dot = path.find_last_of('.');
  if (dot == std::string::npos || dot <= name_start(path)) return std::string::npos;
  return dot;
}

std::string folder_of(const std::string& path) {
  return path.substr(0, path.size() - file_name(path).size());
}

std::string encoder_extension(const std::string& path) {
  const std::size_t dot = last_extension_dot(path);
  if (dot != std::string::npos) return path.substr(dot);
  return name_dot(path) == name_start(path) ? file_name(path) : "";
}

std::string tile_name(const std::string& joined, int i, int j) {
  const std::size_t dot = name_dot(joined);
  const std::string extension = dot == std::string::npos ? "" : joined.substr(dot);
  return mosaic_stem(joined) + "_" + std::to_string(i) + "_" + std::to_string(j) + extension;
}

std::string link_index_path(const std::string& joined) { return mosaic_stem(joined) + "_link.kml"; }

std::string output_lock_path(const std::string& joined) { return mosaic_stem(joined) + ".lock"; }

std::string grid_record_path(const std::string& joined) {
  return mosaic_stem(joined) + "_grid.txt";
}

std::string quality_map_path(const std::string& image_path, const char* suffix) {
  return mosaic_stem(image_path) + suffix + ".tif";
}

int find_output_extension(const std::string& path, std::size_t& position) {
  // The name's last extension decides, as the encoders choose the format: found
  // anywhere in the name, "mosaic.tiff" gave "mosaic.kmlf" and "mosaic.jpg.png" a PNG
  // whose side files were "mosaic.kml.png".
  const std::size_t dot = path.find_last_of('.');
  if (dot == std::string::npos || dot < name_start(path)) return -1;
  const std::string extension = path.substr(dot);
  for (int entry = 0; entry < 6; ++entry) {
    if (extension == extension_table[entry]) {
      position = dot;
      return entry;
    }
  }
  if (extension != ".tiff") return -1;
  position = dot;
  return 3;  // a TIFF, as ".tif"
}

std::string side_file_path(const std::string& path, std::size_t extension_position,
                           const char* replacement) {
  return path.substr(0, extension_position + 1) + replacement;
}

bool is_tiff_path(const std::string& path) {
  const std::size_t dot = last_extension_dot(path);
  if (dot == std::string::npos) return false;
  const std::string extension = lower_case(path.substr(dot));
  return extension == ".tif" || extension == ".tiff";
}

std::string conventional_world_file_path(const std::string& image_path) {
  const std::size_t dot = last_extension_dot(image_path);
  if (dot == std::string::npos || dot + 1 >= image_path.size() || is_tiff_path(image_path))
    return "";
  const std::string extension = lower_case(image_path.substr(dot + 1));
  return image_path.substr(0, dot + 1) + extension.front() + extension.back() + "w";
}

std::string projection_file_path(const std::string& image_path) {
  const std::size_t dot = last_extension_dot(image_path);
  return (dot == std::string::npos ? image_path : image_path.substr(0, dot)) + ".prj";
}

std::vector<std::string> view_output_paths(const std::string& image_path) {
  std::vector<std::string> outputs = {image_path};
  std::size_t extension_position = 0;
  if (find_output_extension(image_path, extension_position) >= 0) {
    outputs.push_back(side_file_path(image_path, extension_position, "kml"));
    outputs.push_back(side_file_path(image_path, extension_position, "tfw"));
  }
  const std::string world = conventional_world_file_path(image_path);
  if (!world.empty()) outputs.push_back(world);
  outputs.push_back(projection_file_path(image_path));
  return outputs;
}

}  // namespace aeroquilt
