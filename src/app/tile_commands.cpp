#include "app/tile_commands.h"

#include <cstdio>
#include <filesystem>
#include <vector>

#include "app/mosaic.h"
#include "app/output_guard.h"
#include "base/console.h"
#include "base/fatal_error.h"
#include "output/link_index.h"
#include "output/view_files.h"

namespace aeroquilt {
namespace {

std::string file_name(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

void print_tile_list(mosaic_job& job, double pixel_size, const std::string& joined,
                     int32_t tile_size) {
  fix_survey_view(job, pixel_size);
  const std::vector<tile_window> tiles = plan_mosaic(job.survey_view, tile_size);
  const std::size_t count = view_count(tiles);
  std::printf("%zu\n", count);
  for (std::size_t number = 0; number < count; ++number) {
    const mosaic_view tile = mosaic_view_at(job.survey_view, joined, tiles, number);
    std::printf("%zu %s %.10f %.10f %.10f %.10f\n", number, file_name(tile.path).c_str(),
                static_cast<double>(tile.view.lon_min), static_cast<double>(tile.view.lat_min),
                static_cast<double>(tile.view.lon_max), static_cast<double>(tile.view.lat_max));
  }
  std::fflush(stdout);
}

int write_link_index_from_disk(mosaic_job& job, double pixel_size, const std::string& joined,
                               int32_t tile_size) {
  fix_survey_view(job, pixel_size);
  const std::vector<tile_window> tiles = plan_mosaic(job.survey_view, tile_size);
  const std::size_t count = view_count(tiles);
  std::vector<std::string> linked;
  for (std::size_t number = 0; number < count; ++number) {
    const std::string path = mosaic_view_at(job.survey_view, joined, tiles, number).path;
    std::size_t extension_position = 0;
    if (find_output_extension(path, extension_position) < 0)
      throw fatal_error("extension not found\n");
    const std::string kml_path = side_file_path(path, extension_position, "kml");
    std::error_code error;
    if (std::filesystem::is_regular_file(path, error) &&
        std::filesystem::is_regular_file(kml_path, error))
      linked.push_back(file_name(kml_path));
  }
  const std::string index_path = link_index_path(joined);
  if (linked.empty()) {
    console_printf("no tile of %s is on disk: no link index\n", joined.c_str());
    return 0;
  }
  // Refused while a whole run or tile ranges are still writing into the folder.
  const output_lock lock = lock_run_output(joined, output_lock_mode::exclusive);
  // A whole image is linked by no network link: its index is the empty document.
  if (tiles.empty()) linked.clear();
  if (!write_link_index(index_path, linked)) throw fatal_error("cannot write " + index_path + "\n");
  console_printf("link index %s: %zu of %zu tiles on disk\n", index_path.c_str(),
                 tiles.empty() ? std::size_t{1} : linked.size(), count);
  return tiles.empty() ? 1 : static_cast<int>(linked.size());
}

}  // namespace aeroquilt
