#include "app/tile_commands.h"

#include <cstdio>
#include <filesystem>
#include <vector>

#include "app/map_outputs.h"
#include "app/mosaic_grid.h"
#include "app/output_guard.h"
#include "base/console.h"
#include "base/fatal_error.h"
#include "output/grid_record.h"
#include "output/link_index.h"
#include "output/output_names.h"

namespace aeroquilt {

void print_tile_list(const mosaic_request& request, mosaic_job& job) {
  job.survey_view = fix_survey_view(request, job);
  const tile_plan plan =
      plan_tiles(job.survey_view.width, job.survey_view.height, request.tile_size);
  const int64_t count = plan.count();
  std::printf("%lld\n", static_cast<long long>(count));
  for (int64_t number = 0; number < count; ++number) {
    const mosaic_view tile = mosaic_view_at(job.survey_view, request.joined, plan, number);
    std::printf("%lld %s %.10f %.10f %.10f %.10f\n", static_cast<long long>(number),
                file_name(tile.path).c_str(), static_cast<double>(tile.view.lon_min),
                static_cast<double>(tile.view.lat_min), static_cast<double>(tile.view.lon_max),
                static_cast<double>(tile.view.lat_max));
  }
  std::fflush(stdout);
}

int write_link_index_from_disk(const mosaic_request& request, mosaic_job& job) {
  job.survey_view = fix_survey_view(request, job);
  const tile_plan plan =
      plan_tiles(job.survey_view.width, job.survey_view.height, request.tile_size);
  const int64_t count = plan.count();
  std::vector<std::string> linked;
  std::vector<int64_t> on_disk;
  for (int64_t number = 0; number < count; ++number) {
    const std::string path = mosaic_view_at(job.survey_view, request.joined, plan, number).path;
    std::size_t extension_position = 0;
    if (find_output_extension(path, extension_position) < 0)
      throw fatal_error("extension not found\n");
    const std::string kml_path = side_file_path(path, extension_position, "kml");
    std::error_code error;
    if (std::filesystem::is_regular_file(path, error) &&
        std::filesystem::is_regular_file(kml_path, error)) {
      linked.push_back(file_name(kml_path));
      on_disk.push_back(number);
    }
  }
  const std::string index_path = link_index_path(request.joined);
  if (linked.empty()) {
    console_printf("no tile of %s is on disk: no link index\n", request.joined.c_str());
    return 0;
  }
  // Refused while a whole run or tile ranges are still writing into the folder.
  const output_lock lock = lock_run_output(request.joined, output_lock_mode::exclusive);
  // Tiles of another grid under the same names would be linked as this mosaic's.
  const std::string recorded = read_grid_record(grid_record_path(request.joined));
  const std::string grid = tile_grid_text(job.survey_view, plan, job.images.centre_lat,
                                          job.images.centre_lon);
  if (!plan.whole && !recorded.empty() && recorded != grid)
    throw fatal_error("the tiles on disk are of another grid (" + grid_record_path(request.joined) +
                      "): no link index\n");
  // A whole image is linked by no network link: its index is the empty document.
  if (plan.whole) linked.clear();
  if (!write_link_index(index_path, linked)) throw fatal_error("cannot write " + index_path + "\n");
  if (!write_map_outputs(request, job.survey_view, plan, on_disk, view_bounds(job.survey_view), 0))
    throw fatal_error("cannot write the GIS layer or the web map\n");
  console_printf("link index %s: %zu of %lld tiles on disk\n", index_path.c_str(),
                 plan.whole ? std::size_t{1} : linked.size(), static_cast<long long>(count));
  return plan.whole ? 1 : static_cast<int>(linked.size());
}

}  // namespace aeroquilt
