#include "app/mosaic.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <filesystem>
#include <vector>

#include "app/job_size.h"
#include "app/map_outputs.h"
#include "app/mosaic_grid.h"
#include "app/output_guard.h"
#include "app/view_output.h"
#include "base/console.h"
#include "base/fatal_error.h"
#include "imaging/radiometry.h"
#include "output/link_index.h"
#include "output/output_names.h"

namespace aeroquilt {
namespace {

// The reason no view was written, from the outcomes of every view: each distinct one
// once, in the order of the outcome list.
std::string no_view_reason(const std::vector<view_outcome>& outcomes) {
  const std::pair<view_outcome, const char*> reasons[] = {
      {view_outcome::dem_not_covered, "the DEM does not cover the view"},
      {view_outcome::device_failed, "a device call failed"},
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

mosaic_result make_mosaic(mosaic_job& job, const mosaic_request& request, const run_options& run) {
  const std::string& joined = request.joined;
  job.survey_view = fix_survey_view(request, job);
  const view_params& survey = job.survey_view;
  const tile_plan plan = plan_tiles(survey.width, survey.height, request.tile_size);
  const int64_t count = plan.count();
  const std::string range_problem =
      tile_range_problem(run, static_cast<int>(std::min<int64_t>(count, INT_MAX)));
  if (!range_problem.empty()) throw fatal_error(range_problem + "\n");
  const bool ranged = run.mode == run_mode::tile_range;
  const int64_t first = ranged ? run.first_tile : 0;
  const int64_t end = ranged ? static_cast<int64_t>(run.last_tile) + 1 : count;

  if (request.average_error_frames != 0) {
    console_printf("computing average image frame error\n");
    std::vector<std::string> paths;
    for (const image_geometry& geometry : job.geometries) paths.push_back(geometry.path);
    compute_average_frame_error(job.loader, paths, request.average_error_frames);
  }
  if (request.vignette_multiplier > 0.0) {
    console_printf("generating vingette correction table\n");
    // Colour balancing may have built it already, to measure frames as they are drawn.
    if (!job.loader.vignette_ready) build_vignette_table(job.loader, request.vignette_multiplier);
  }

  console_printf("Calculated projetion size width %d  height %d\n", survey.width, survey.height);
  if (survey.width < 1 || survey.height < 1) {
    console_printf("output view has no pixels (width %d, height %d): nothing to project\n",
                   survey.width, survey.height);
    return {};
  }

  if (!check_job_size(request, job, survey, plan)) return {};
  refuse_run_outputs_that_are_inputs(request, job, plan);
  make_output_folder(request.output_dir);
  job.lock = lock_run_output(joined, job.lock_mode);
  if (!plan.whole)
    settle_tile_grid(
        joined, tile_grid_text(survey, plan, job.images.centre_lat, job.images.centre_lon), ranged);

  frame_source frames(job.input_cache, request.projection, job.loader.lens.no_data());
  // A whole image reads each frame once (feathering's last pass once per band of rows the
  // frame reaches), unless feathering must test frames for black pixels before it takes
  // them: a cache that kept them all would cost their memory and the faults of fresh
  // pages, so it keeps the frames the loaders read ahead.
  if (plan.whole &&
      (request.views.compositing.rule != composite_rule::feathered || frames.never_black()))
    job.input_cache.set_slot_count(std::min(job.input_cache.slot_count(), read_ahead_slots));
  const view_setting setting{job.gpu,
                             frames,
                             job.geometries,
                             job.dem,
                             survey,
                             job.images.centre_lat,
                             job.images.centre_lon,
                             request.views};
  const std::vector<int> chosen = all_frames(job.geometry_count);

  // The index is written once, from the tiles written, when the whole mosaic is made;
  // a range run leaves it to --link-index. (The lock file above has already shown that
  // the folder takes files.)
  const std::string index_path = link_index_path(joined);
  mosaic_result result;
  result.views_planned = end - first;
  std::vector<view_outcome> outcomes;  // each kind once
  std::vector<view_outcome> failures;
  std::vector<std::string> linked;
  std::vector<int64_t> written;
  console_printf(plan.whole ? "projecting entire image\n" : "projecting tiled images\n");
  for (int64_t number = first; number < end; ++number) {
    const mosaic_view target = mosaic_view_at(survey, joined, plan, number);
    if (!plan.whole) console_printf("Projecting View %d %d\n", target.i, target.j);
    // A whole image of nothing is no mosaic; an empty tile is part of its grid.
    const view_result view =
        run_view(setting, request, target.view, target.path, chosen, !plan.whole);
    console_printf("view %d of %d, %d of %d images\n", static_cast<int>(number + 1),
                   static_cast<int>(count), view.projected, job.geometry_count);
    if (std::find(outcomes.begin(), outcomes.end(), view.outcome) == outcomes.end())
      outcomes.push_back(view.outcome);
    if (view_failed(view.outcome)) {
      ++result.views_failed;
      failures.push_back(view.outcome);
    }
    if (view.outcome != view_outcome::written) continue;
    ++result.views_written;
    written.push_back(number);
    // The tiles and the index share a folder; the link names the KML file written. A
    // whole image is linked by no network link: its index is the empty document.
    if (!plan.whole) linked.push_back(file_name(view.kml_path));
  }
  result.failure_reason = no_view_reason(failures);
  if (result.views_written > 0) {
    if (ranged) return result;
    write_mosaic_link_index(index_path, linked);
    result.map_outputs_failed =
        !write_map_outputs(request, survey, plan, written, view_bounds(survey), 0);
    return result;
  }
  // Nothing new was written: a previous run's index still links its files.
  result.no_view_reason = no_view_reason(outcomes);
  return result;
}

}  // namespace aeroquilt
