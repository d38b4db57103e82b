#include "app/mosaic.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <memory>

#include "base/config.h"
#include "base/console.h"
#include "base/fatal_error.h"
#include "app/image_set.h"
#include "app/job_size.h"
#include "app/output_guard.h"
#include "output/output_files.h"
#include "app/view_output.h"

namespace aeroquilt {
namespace {

// Position of the first "." of the file name in `path`. Dots in folder names
// ("./out/", "survey.2026/") are skipped: cutting there would send every tile and
// the link index to a different folder under a broken name.
std::size_t name_dot(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  return path.find('.', slash == std::string::npos ? 0 : slash + 1);
}

// Everything before the file name's first "." (all of it when there is none).
std::string before_first_dot(const std::string& text) { return text.substr(0, name_dot(text)); }

std::string file_name(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The reason no view was written, from the outcomes of every view: each distinct one
// once, in the order of the outcome list.
std::string no_view_reason(const std::vector<view_outcome>& outcomes) {
  const std::pair<view_outcome, const char*> reasons[] = {
      {view_outcome::dem_not_covered, "the DEM does not cover the view"},
      {view_outcome::buffer_not_created, "the device cannot hold the view"},
      {view_outcome::nothing_projected, "no image could be projected"},
      {view_outcome::image_not_written, "the image could not be written"},
      {view_outcome::empty, "no image pixel fell in the view"},
  };
  std::string text;
  for (const auto& [outcome, words] : reasons) {
    if (std::find(outcomes.begin(), outcomes.end(), outcome) == outcomes.end()) continue;
    text += (text.empty() ? "" : "; ") + std::string(words);
  }
  return text;
}

// The index of a whole run; a run whose tiles are written but not their index would
// end as if the mosaic were complete.
void write_mosaic_link_index(const std::string& path, const std::vector<std::string>& kml_names) {
  if (!write_link_index(path, kml_names)) throw fatal_error("cannot write " + path + "\n");
}

}  // namespace

std::vector<tile_window> plan_tiles(int32_t width, int32_t height, int64_t pixel_count,
                                    int32_t tile_size) {
  std::vector<tile_window> tiles;
  // A negative tile size means "no limit".
  if (tile_size < 0 || pixel_count <= static_cast<int64_t>(tile_size)) return tiles;
  const int S = static_cast<int>(std::sqrt(static_cast<double>(tile_size)));
  for (int i = 0; static_cast<int64_t>(i) * S < width; ++i) {
    for (int j = 0; static_cast<int64_t>(j) * S < height; ++j) {
      tiles.push_back(tile_window{i, j, j * S - 50, i * S - 50, S + 50, S + 50});
    }
  }
  return tiles;
}

std::string tile_name(const std::string& joined, int i, int j) {
  const std::size_t dot = name_dot(joined);
  const std::string extension = dot == std::string::npos ? "" : joined.substr(dot);
  return before_first_dot(joined) + "_" + std::to_string(i) + "_" + std::to_string(j) + extension;
}

void fix_survey_view(mosaic_job& job, double pixel_size) {
  const config_params& config = g_config;
  if (config.project_subview_only != 0) {
    job.survey_view = subview_params(pixel_size, config.subview_min_lon, config.subview_min_lat,
                                     config.subview_max_lon, config.subview_max_lat,
                                     job.images.centre_lat, job.images.centre_lon);
  } else {
    job.survey_view = survey_view_params(job_footprints(job), pixel_size, job.images.centre_lat,
                                         job.images.centre_lon);
  }
}

std::vector<tile_window> plan_mosaic(const view_params& survey, int32_t tile_size) {
  // A tile size of 0 (not configured) means one whole image. The pixel count is the
  // product in 64 bits: the record's 32-bit copy wraps past 2^32 pixels.
  if (tile_size == 0) return {};
  return plan_tiles(survey.width, survey.height,
                    static_cast<int64_t>(survey.width) * survey.height, tile_size);
}

std::size_t view_count(const std::vector<tile_window>& tiles) {
  return tiles.empty() ? 1 : tiles.size();
}

mosaic_view mosaic_view_at(const view_params& survey, const std::string& joined,
                           const std::vector<tile_window>& tiles, std::size_t number) {
  if (tiles.empty()) return {joined, survey, true, 0, 0};
  const tile_window& tile = tiles[number];
  return {tile_name(joined, tile.i, tile.j),
          tile_view_params(survey, tile.first_row, tile.first_column, tile.row_count,
                           tile.column_count),
          false, tile.i, tile.j};
}

std::string link_index_path(const std::string& joined) {
  return before_first_dot(joined) + "_link.kml";
}

mosaic_result make_mosaic(mosaic_job& job, double pixel_size, const std::string& output_dir,
                          const std::string& output_filename, double preview_scale,
                          int32_t tile_size, const run_options& run) {
  const config_params& config = g_config;
  const std::string joined = output_dir + output_filename;

  fix_survey_view(job, pixel_size);
  const view_params& survey = job.survey_view;
  const std::vector<tile_window> tiles = plan_mosaic(survey, tile_size);
  const std::size_t count = view_count(tiles);
  const std::string range_problem =
      tile_range_problem(run, static_cast<int>(std::min<std::size_t>(count, INT_MAX)));
  if (!range_problem.empty()) throw fatal_error(range_problem + "\n");
  const bool ranged = run.mode == run_mode::tile_range;
  const std::size_t first = ranged ? run.first_tile : 0;
  const std::size_t end = ranged ? run.last_tile + 1 : count;

  if (config.do_average_image_error_removal != 0 && config.use_16bit_image_input != 0) {
    console_printf("computing average image frame error\n");
    std::vector<std::string> paths;
    for (const image_geometry& geometry : job.geometries) paths.push_back(geometry.path);
    compute_average_frame_error(job.loader, paths, config.do_average_image_error_removal);
  }
  if (config.vingette_removal_multiplier > 0.0) {
    console_printf("generating vingette correction table\n");
    build_vignette_table(job.loader, config.vingette_removal_multiplier);
  }

  console_printf("Calculated projetion size width %d  height %d\n", survey.width, survey.height);
  if (survey.width < 1 || survey.height < 1) {
    console_printf("output view has no pixels (width %d, height %d): nothing to project\n",
                   survey.width, survey.height);
    return {};
  }

  if (!check_job_size(job, survey, tile_size, joined)) return {};
  refuse_run_outputs_that_are_inputs(job, joined, tiles);

  // Names are the folder text and the name joined, so an empty folder is the working
  // folder, which exists.
  std::error_code error;
  if (!output_dir.empty() && !std::filesystem::is_directory(output_dir, error))
    std::filesystem::create_directory(output_dir, error);
  // Without a folder to write in, every view would be projected for nothing and the
  // run would still end as if the mosaic had been written.
  std::error_code ignored;
  if (!output_dir.empty() && !std::filesystem::is_directory(output_dir, ignored)) {
    const std::string reason = error ? error.message() : "not a folder";
    console_printf("cannot create output folder %s: %s\n", output_dir.c_str(), reason.c_str());
    throw fatal_error("cannot create output folder " + output_dir + "\n");
  }
  job.lock = lock_run_output(joined, job.lock_mode);

  // The index is written once, from the tiles written, when the whole mosaic is made;
  // a range run leaves it to --link-index. (The lock file above has already shown that
  // the folder takes files.)
  const std::string index_path = link_index_path(joined);
  if (tiles.empty()) {
    console_printf("projecting entire image\n");
    const view_result view = render_view(job, survey, joined, preview_scale, false);
    console_printf("view 1 of 1, %d of %d images\n", view.projected, job.geometry_count);
    if (view.outcome == view_outcome::written) {
      if (!ranged) write_mosaic_link_index(index_path, {});
      return {1, ""};
    }
    if (!ranged) std::remove(index_path.c_str());  // an index of nothing
    return {0, no_view_reason({view.outcome})};
  }

  console_printf("projecting tiled images\n");
  int views_written = 0;
  std::vector<view_outcome> outcomes;
  std::vector<std::string> linked;
  for (std::size_t number = first; number < end; ++number) {
    const mosaic_view tile = mosaic_view_at(survey, joined, tiles, number);
    console_printf("Projecting View %d %d\n", tile.i, tile.j);
    const view_result view = render_view(job, tile.view, tile.path, preview_scale);
    console_printf("view %d of %d, %d of %d images\n", static_cast<int>(number + 1),
                   static_cast<int>(count), view.projected, job.geometry_count);
    outcomes.push_back(view.outcome);
    if (view.outcome != view_outcome::written) continue;
    ++views_written;
    // The tiles and the index share a folder; the link names the KML file written.
    linked.push_back(file_name(view.kml_path));
  }
  if (views_written > 0) {
    if (!ranged) write_mosaic_link_index(index_path, linked);
    return {views_written, ""};
  }
  if (!ranged) std::remove(index_path.c_str());  // an index of nothing
  return {0, no_view_reason(outcomes)};
}

}  // namespace aeroquilt
