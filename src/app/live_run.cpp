#include "app/live_run.h"

#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <set>
#include <thread>

#include "app/image_set.h"
#include "app/job_size.h"
#include "app/live_inputs.h"
#include "app/live_setup.h"
#include "app/live_tiles.h"
#include "app/map_outputs.h"
#include "app/mosaic_grid.h"
#include "app/output_guard.h"
#include "base/console.h"
#include "base/input_file.h"
#include "imaging/radiometry.h"
#include "output/link_index.h"
#include "output/output_names.h"
#include "output/view_files.h"

namespace aeroquilt {
namespace {

constexpr double poll_interval_s = 0.05;
constexpr double retry_interval_s = 5.0;

std::atomic<int> stop_signal{0};
extern "C" void note_stop_signal(int signal) { stop_signal = signal; }

// SIGINT and SIGTERM end a live run between two tile updates, for as long as it runs.
class stop_signals {
 public:
  stop_signals() {
    stop_signal = 0;
    struct sigaction action {};
    action.sa_handler = note_stop_signal;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, &interrupt_);
    ::sigaction(SIGTERM, &action, &terminate_);
  }
  ~stop_signals() {
    ::sigaction(SIGINT, &interrupt_, nullptr);
    ::sigaction(SIGTERM, &terminate_, nullptr);
  }
  stop_signals(const stop_signals&) = delete;
  stop_signals& operator=(const stop_signals&) = delete;

 private:
  struct sigaction interrupt_ {};
  struct sigaction terminate_ {};
};

double steady_s() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

double epoch_s() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

// A flight-log line waiting for its frame.
struct awaited_frame {
  FPO_record record;
  double since_s = 0;
  frame_seen seen;
  bool reported_late = false;
};

class live_run {
 public:
  live_run(mosaic_job& job, const mosaic_request& request, const run_options& run,
           const camera_options& camera, frame_source& frames, const view_params& survey)
      : job_(job),
        request_(request),
        run_(run),
        camera_(camera),
        survey_(survey),
        plan_(plan_tiles(survey.width, survey.height, request.tile_size)),
        setting_{job.gpu,
                 frames,
                 job.geometries,
                 job.dem,
                 survey,
                 job.images.centre_lat,
                 job.images.centre_lon,
                 request.views},
        log_(request.FPO_file),
        state_folder_(file_name(mosaic_stem(request.joined)) + "_live") {
    const std::string joined = request.joined;
    state_folder_ = folder_of(joined) + "." + state_folder_ + "/";
    state_budget_ = std::min<uint64_t>(available_memory_bytes() / 4, uint64_t(2) << 30);
  }

  int run();

 private:
  void take_lines(double now);
  void take_frames(double now);
  void place(const awaited_frame& awaited, double now);
  bool update(bool final_pass);
  void update_tile(int64_t number, live_tile& tile);
  bool write_tile(int64_t number, live_tile& tile, const rendered_view& rendered, double render_s);
  void keep_states_within_budget(int64_t kept);
  void write_index();
  // A tile whose files were written by an earlier run goes on only once the frames they
  // hold are known again (or the log can bring no more).
  bool ready(const live_tile& tile) const;

  std::string tile_path(int64_t number) const {
    return mosaic_view_at(survey_, request_.joined, plan_, number).path;
  }
  std::string record_path(int64_t number) const {
    return state_folder_ + file_name(tile_path(number)) + ".frames";
  }

  mosaic_job& job_;
  const mosaic_request& request_;
  const run_options& run_;
  camera_options camera_;
  view_params survey_;
  tile_plan plan_;
  view_setting setting_;
  log_follower log_;
  std::string state_folder_;
  std::vector<awaited_frame> awaited_;
  std::map<int64_t, live_tile> tiles_;
  std::set<int64_t> linked_;       // tiles whose files are on disk
  std::map<int, int> tiles_left_;  // frame -> tiles that do not hold it on disk yet
  uint64_t updates_ = 0;
  uint64_t state_budget_ = 0;
  double last_frame_s_ = 0;
  bool index_stale_ = false;
  bool changed_ = false;        // tiles written since the map outputs were
  geo_bounds changed_region_;   // their box
  long map_version_ = 0;
  int frames_placed_ = 0;
};

void live_run::take_lines(double now) {
  for (followed_line& line : log_.poll()) {
    std::string& text = line.text;
    // As the batch reader takes lines: the same refusals, the same messages.
    if (line.number == 1 && text.compare(0, 3, "\xEF\xBB\xBF") == 0) {
      console_printf("FPO file %s starts with a UTF-8 byte-order mark: skipped\n",
                     request_.FPO_file.c_str());
      text.erase(0, 3);
    }
    if (text.find('\0') != std::string::npos) {
      console_printf("FPO file %s line %d holds a zero byte: line left out\n",
                     request_.FPO_file.c_str(), line.number);
      continue;
    }
    if (text.size() > 999) {
      console_printf("FPO file %s line %d is longer than 999 characters: the rest is ignored\n",
                     request_.FPO_file.c_str(), line.number);
    }
    awaited_frame awaited;
    if (!read_FPO_line(text.c_str(), line.number, request_.FPO_file, request_.flight_log,
                       request_.image_dir, awaited.record))
      continue;
    awaited.since_s = now;
    awaited_.push_back(std::move(awaited));
  }
}

void live_run::take_frames(double now) {
  for (auto it = awaited_.begin(); it != awaited_.end();) {
    const FPO_record& record = it->record;
    if (frame_complete(record.path, it->seen)) {
      if (it->reported_late)
        console_printf("live: frame %s (line %d) came late: used\n", record.path.c_str(),
                       record.line_number);
      place(*it, now);
      it = awaited_.erase(it);
      continue;
    }
    // It is still watched for: a frame that comes late is used all the same.
    if (!it->reported_late && now - it->since_s > request_.live_frame_wait_s) {
      console_printf("live: line %d: frame %s has not come in %g s: left out until it comes\n",
                     record.line_number, record.path.c_str(), request_.live_frame_wait_s);
      it->reported_late = true;
    }
    ++it;
  }
}

void live_run::place(const awaited_frame& awaited, double now) {
  // Records and geometries stay index for index.
  const int index = static_cast<int>(job_.geometries.size());
  job_.images.records.resize(index);
  job_.images.records.push_back(awaited.record);
  job_.images.count = index + 1;
  image_geometry geometry;
  const frame_placement placement =
      place_frame(job_, camera_, request_.views.use_dem, index, geometry);
  if (placement != frame_placement::placed) {
    if (placement == frame_placement::off_dem)
      console_printf("image out of DEM range %s: left out\n", geometry.path.c_str());
    if (placement == frame_placement::no_terrain_height)
      console_printf("image %s: the DEM has no height under its footprint: left out\n",
                     geometry.path.c_str());
    job_.images.records.pop_back();
    job_.images.count = index;
    return;
  }
  const std::vector<int64_t> reached = tiles_reached(setting_, survey_, plan_, geometry);
  job_.geometries.push_back(std::move(geometry));
  job_.geometry_count = index + 1;
  last_frame_s_ = now;
  const FPO_record& record = job_.images.records[index];
  if (reached.empty()) {
    console_printf("live: frame %s (line %d) is outside the area: left out\n", record.path.c_str(),
                   record.line_number);
    return;
  }
  ++frames_placed_;
  int left = 0;
  for (const int64_t number : reached) {
    auto [entry, added] = tiles_.try_emplace(number);
    live_tile& tile = entry->second;
    if (added) tile.on_disk = read_frame_record(record_path(number));
    const auto held = tile.on_disk.find(record.line_number);
    if (held != tile.on_disk.end() && held->second == record.name) {
      tile.frames.push_back(index);  // its files hold it already (an earlier run)
    } else {
      tile.pending.push_back(index);
      ++left;
    }
  }
  if (left == 0) {
    console_printf("live: frame %s (line %d) already in its %zu tiles\n", record.path.c_str(),
                   record.line_number, reached.size());
  }
  tiles_left_[index] = left;
}

bool live_run::ready(const live_tile& tile) const {
  if (log_.stopped() || !tile.state.image.empty()) return true;
  for (const auto& [line, name] : tile.on_disk) {
    const bool known = std::any_of(tile.frames.begin(), tile.frames.end(), [&](int k) {
      return job_.images.records[k].line_number == line;
    });
    if (!known) return false;
  }
  return true;
}

bool live_run::update(bool final_pass) {
  // The tiles of the frames that came first go first: a frame's lag ends with its last
  // tile.
  std::vector<std::pair<int, int64_t>> due;
  for (const auto& [number, tile] : tiles_) {
    if (tile.pending.empty() && !tile.dirty) continue;
    if (!final_pass && (!ready(tile) || (tile.failed && tile.pending.empty()))) continue;
    // A disk that was full is tried again with the tile's next frame or a while later.
    if (!final_pass && tile.pending.empty() && steady_s() < tile.retry_s) continue;
    const int oldest =
        tile.pending.empty() ? -1 : *std::min_element(tile.pending.begin(), tile.pending.end());
    due.emplace_back(oldest, number);
  }
  std::sort(due.begin(), due.end());
  for (const auto& [oldest, number] : due) {
    if (stop_signal != 0 && !final_pass) break;
    update_tile(number, tiles_.at(number));
    keep_states_within_budget(number);
    // New lines and frames are noted between tiles, so that a frame's file is seen
    // settled without waiting for the whole round; they wait for the next round.
    const double now = steady_s();
    take_lines(now);
    take_frames(now);
  }
  return !due.empty();
}

void live_run::update_tile(int64_t number, live_tile& tile) {
  const mosaic_view target = mosaic_view_at(survey_, request_.joined, plan_, number);
  tile.used = ++updates_;
  // Feathering blends finished planes, and a tile without its state starts afresh:
  // both are drawn from every frame they hold.
  const bool goes_on = !tile.state.image.empty() && !tile.failed &&
                       request_.views.compositing.rule != composite_rule::feathered;
  std::vector<int> chosen = tile.pending;
  if (!goes_on) {
    chosen.insert(chosen.end(), tile.frames.begin(), tile.frames.end());
    tile.state = {};
  }
  const auto line_of = [&](int k) { return job_.geometries[k].log_line; };
  std::sort(chosen.begin(), chosen.end(), [&](int a, int b) { return line_of(a) < line_of(b); });
  const bool feathered = request_.views.compositing.rule == composite_rule::feathered;
  const double start_s = steady_s();
  const rendered_view rendered =
      render_view_canvas(setting_, target.view, chosen, nullptr, feathered ? nullptr : &tile.state);
  if (rendered.status == view_status::device_failed) {
    console_printf("view %s left out: %s\n", target.path.c_str(), rendered.failure.c_str());
    tile.failed = true;
    tile.state = {};
    return;
  }
  tile.failed = false;
  // The batch run leaves out the same frames for the same reasons.
  tile.frames.insert(tile.frames.end(), tile.pending.begin(), tile.pending.end());
  tile.unwritten.insert(tile.unwritten.end(), tile.pending.begin(), tile.pending.end());
  tile.pending.clear();
  if (rendered.status == view_status::dem_not_covered) return;
  // A tile whose new frames could not be read keeps its files, unless they are behind.
  const bool has_pixels = rendered.status == view_status::rendered || (goes_on && tile.dirty);
  if (!has_pixels) return;
  tile.dirty = !write_tile(number, tile, rendered, steady_s() - start_s);
  tile.retry_s = steady_s() + retry_interval_s;
  if (tile.dirty) return;
  std::vector<int> written;
  written.swap(tile.unwritten);
  for (const int k : written) {
    if (--tiles_left_[k] != 0) continue;
    const FPO_record& record = job_.images.records[k];
    console_printf("live: frame %s (line %d) placed at %.3f\n", record.path.c_str(),
                   record.line_number, epoch_s());
  }
}

bool live_run::write_tile(int64_t number, live_tile& tile, const rendered_view& rendered,
                          double render_s) {
  const std::string path = tile_path(number);
  const double start_s = steady_s();
  const composite_options& compositing = request_.views.compositing;
  view_maps maps;
  maps.source = rendered.planes.source;
  maps.angle_deg = rendered.planes.angle_deg;
  maps.source_map = compositing.source_map;
  maps.angle_map = compositing.angle_map;
  maps.wide_source = log_.lines_read() > 65535;
  const raster_georeference georeference = view_georeference(
      rendered.view, make_local_frame(setting_.ref_lat_deg, setting_.ref_lon_deg));
  // The record of its frames stands or falls with the tile's files.
  const written_view written = write_view_file_set(
      path, rendered.image, rendered.view, georeference, request_.png_encode_threads, maps,
      {{record_path(number), frame_record_text(tile.frames, job_.images.records)}});
  console_printf("live: tile %s, %zu frames, %.2f s drawing, %.2f s writing\n",
                 file_name(path).c_str(), tile.frames.size(), render_s, steady_s() - start_s);
  if (!written.written) return false;
  linked_.insert(number);
  index_stale_ = true;
  // The region whose web tiles the next index write renews.
  const geo_bounds bounds = view_bounds(rendered.view);
  if (!changed_) changed_region_ = bounds;
  changed_region_ = {std::min(changed_region_.west, bounds.west),
                     std::min(changed_region_.south, bounds.south),
                     std::max(changed_region_.east, bounds.east),
                     std::max(changed_region_.north, bounds.north)};
  changed_ = true;
  return true;
}

void live_run::keep_states_within_budget(int64_t kept) {
  uint64_t total = 0;
  for (const auto& [number, tile] : tiles_) total += state_bytes(tile.state);
  // The tiles the aircraft left longest ago go first; they are drawn afresh if it comes back.
  while (total > state_budget_) {
    live_tile* oldest = nullptr;
    for (auto& [number, tile] : tiles_) {
      if (number == kept || tile.state.image.empty()) continue;
      if (oldest == nullptr || tile.used < oldest->used) oldest = &tile;
    }
    if (oldest == nullptr) return;
    total -= state_bytes(oldest->state);
    oldest->state = {};
  }
}

void live_run::write_index() {
  std::vector<std::string> names;
  for (const int64_t number : linked_) {
    std::size_t extension_position = 0;
    const std::string path = tile_path(number);
    find_output_extension(path, extension_position);
    names.push_back(file_name(side_file_path(path, extension_position, "kml")));
  }
  // A whole image is linked by no network link: its index is the empty document.
  if (plan_.whole) names.clear();
  index_stale_ = !write_link_index(link_index_path(request_.joined), names);
  if (index_stale_ || !changed_) return;
  // The GIS layer and the web map where tiles changed; the page polls the version.
  const std::vector<int64_t> on_disk(linked_.begin(), linked_.end());
  if (write_map_outputs(request_, survey_, plan_, on_disk, changed_region_, ++map_version_))
    changed_ = false;
}

int live_run::run() {
  std::error_code error;
  std::filesystem::create_directories(state_folder_, error);
  const std::string index_name = file_name(link_index_path(request_.joined));
  write_output_text(mosaic_stem(request_.joined) + "_live.kml", live_link_text(index_name));
  // Tiles an earlier run left are linked again from the start.
  for (int64_t number = 0; number < plan_.count(); ++number) {
    const std::string path = tile_path(number);
    std::size_t extension_position = 0;
    find_output_extension(path, extension_position);
    if (std::filesystem::is_regular_file(path, error) &&
        std::filesystem::is_regular_file(side_file_path(path, extension_position, "kml"), error))
      linked_.insert(number);
  }
  index_stale_ = true;
  console_printf("live: following %s and %s; %lld tiles of up to %d x %d pixels%s\n",
                 request_.FPO_file.c_str(), request_.image_dir.c_str(),
                 static_cast<long long>(plan_.count()),
                 plan_.whole ? survey_.width : plan_.side + tile_overlap_pixels,
                 plan_.whole ? survey_.height : plan_.side + tile_overlap_pixels,
                 linked_.empty() ? "" : ", going on from the tiles on disk");

  const stop_signals signals;
  last_frame_s_ = steady_s();
  while (true) {
    const double now = steady_s();
    take_lines(now);
    take_frames(now);
    const bool worked = update(false);
    if (index_stale_) write_index();
    if (stop_signal != 0) {
      console_printf("live: ended by signal %d\n", static_cast<int>(stop_signal));
      break;
    }
    const bool waiting = std::any_of(tiles_.begin(), tiles_.end(), [](const auto& entry) {
      return !entry.second.pending.empty() && !entry.second.failed;
    });
    if (run_.idle_exit_s > 0 && !waiting && now - last_frame_s_ >= run_.idle_exit_s) {
      console_printf("live: no new frame for %g s: ended\n", run_.idle_exit_s);
      break;
    }
    if (!worked) std::this_thread::sleep_for(std::chrono::duration<double>(poll_interval_s));
  }
  // What is still held back is written now: tiles waiting for frames an earlier run
  // drew, and tiles whose write failed.
  if (stop_signal == 0) update(true);
  if (index_stale_) write_index();
  int incomplete = 0;
  for (const auto& [number, tile] : tiles_)
    incomplete += tile.dirty || tile.failed || !tile.pending.empty() ? 1 : 0;
  console_printf("live: %d frames, %zu tiles on disk, %d tiles incomplete\n", frames_placed_,
                 linked_.size(), incomplete);
  if (incomplete > 0) return 3;
  return linked_.empty() ? 0 : 1;
}

}  // namespace

int run_live(mosaic_job& job, const mosaic_request& request, const run_options& run) {
  refuse_unmappable_live_request(request);
  camera_options camera;
  if (prepare_run(job, request, true, camera) == 0) return 0;
  job.images.image_dir = request.image_dir;
  live_reference_point(request, job.images.centre_lat, job.images.centre_lon);
  const view_params survey = fix_survey_view(request, job);
  console_printf("Calculated projetion size width %d  height %d\n", survey.width, survey.height);
  if (survey.width < 1 || survey.height < 1) {
    console_printf("output view has no pixels (width %d, height %d): nothing to project\n",
                   survey.width, survey.height);
    return 0;
  }
  const tile_plan plan = plan_tiles(survey.width, survey.height, request.tile_size);
  if (!check_job_size(request, job, survey, plan)) return 0;
  refuse_run_outputs_that_are_inputs(request, job, plan);
  make_output_folder(request.output_dir);
  job.lock = lock_run_output(request.joined, output_lock_mode::exclusive);
  if (request.vignette_multiplier > 0.0) {
    console_printf("generating vingette correction table\n");
    build_vignette_table(job.loader, request.vignette_multiplier);
  }
  size_frame_cache(job, camera);
  job.survey_view = survey;
  frame_source frames(job.input_cache, request.projection, job.loader.lens.no_data());
  live_run live(job, request, run, camera, frames, survey);
  return live.run();
}

}  // namespace aeroquilt
