#include "app/mosaic.h"

#include <algorithm>
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

mosaic_result make_mosaic(mosaic_job& job, double pixel_size, const std::string& output_dir,
                          const std::string& output_filename, double preview_scale,
                          int32_t tile_size) {
  const config_params& config = g_config;
  const std::string joined = output_dir + output_filename;

  if (config.project_subview_only != 0) {
    job.survey_view = subview_params(pixel_size, config.subview_min_lon, config.subview_min_lat,
                                     config.subview_max_lon, config.subview_max_lat,
                                     job.images.centre_lat, job.images.centre_lon);
  } else {
    job.survey_view = survey_view_params(job_footprints(job), pixel_size, job.images.centre_lat,
                                         job.images.centre_lon);
  }
  const view_params& survey = job.survey_view;

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
  // A tile size of 0 (not configured) means one whole image. The pixel count is the
  // product in 64 bits: the record's 32-bit copy wraps past 2^32 pixels.
  const std::vector<tile_window> tiles =
      tile_size == 0 ? std::vector<tile_window>{}
                     : plan_tiles(survey.width, survey.height,
                                  static_cast<int64_t>(survey.width) * survey.height, tile_size);
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

  const std::string index_path = before_first_dot(joined) + "_link.kml";
  if (!write_output_text(index_path, empty_link_index()))
    throw fatal_error("cannot write " + index_path + "\n");

  if (tiles.empty()) {
    console_printf("projecting entire image\n");
    const view_result view = render_view(job, survey, joined, preview_scale, false);
    console_printf("view 1 of 1, %d of %d images\n", view.projected, job.geometry_count);
    if (view.outcome == view_outcome::written) return {1, ""};
    std::remove(index_path.c_str());  // an index of nothing
    return {0, no_view_reason({view.outcome})};
  }

  console_printf("projecting tiled images\n");
  int view_number = 0;
  int views_written = 0;
  std::vector<view_outcome> outcomes;
  for (const tile_window& tile : tiles) {
    ++view_number;
    const view_params tile_view = tile_view_params(survey, tile.first_row, tile.first_column,
                                                   tile.row_count, tile.column_count);
    const std::string tile_path = tile_name(joined, tile.i, tile.j);
    console_printf("Projecting View %d %d\n", tile.i, tile.j);
    const view_result view = render_view(job, tile_view, tile_path, preview_scale);
    console_printf("view %d of %d, %d of %d images\n", view_number, static_cast<int>(tiles.size()),
                   view.projected, job.geometry_count);
    outcomes.push_back(view.outcome);
    if (view.outcome != view_outcome::written) continue;
    ++views_written;
    // The tiles and the index share a folder; the link names the KML file written.
    add_link_index_entry(index_path, file_name(view.kml_path));
  }
  if (views_written > 0) return {views_written, ""};
  std::remove(index_path.c_str());  // an index of nothing
  return {0, no_view_reason(outcomes)};
}

}  // namespace aeroquilt
