// A live run fed by a replayed flight (frames in chunks, lines in two writes, frames
// before and after their lines, one frame late and one that never comes) must leave
// every file a batch run over the same log and frames makes afterwards, byte for byte,
// in last wins and best view; killed and started again, it goes on from its tiles.

#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <regex>
#include <thread>

#include "support/scratch.h"
#include "survey/synthetic_survey.h"

namespace aeroquilt::testing {
namespace {

namespace fs = std::filesystem;

std::string replay_program() {
  return fs::path(aeroquilt_binary()).parent_path().string() + "/tools/replay_survey";
}

// The files under `folder` and their bytes, a live run's own files aside (its frame
// records, its KML, and the web page's version, which it raises with every update).
std::map<std::string, std::string> output_files(const std::string& folder) {
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    const std::string name = fs::relative(entry.path(), folder).string();
    if (!entry.is_regular_file() || name.find(".mosaic_live") == 0 || name == "mosaic_live.kml" ||
        name == "web/index.html" || name == "web/version.js")
      continue;
    files[name] = read_file(entry.path().string());
  }
  return files;
}

// The batch run of a live run's configuration, with the reference point it printed,
// into `target`/batch/; its files.
std::map<std::string, std::string> batch_files(const std::string& target,
                                               const std::string& live_output) {
  std::smatch lon, lat;
  EXPECT_TRUE(std::regex_search(live_output, lon, std::regex("reference_lon,[-0-9.]+")));
  EXPECT_TRUE(std::regex_search(live_output, lat, std::regex("reference_lat,[-0-9.]+")));
  write_text_file(target + "/batch.cfg", std::regex_replace(read_file(target + "/live.cfg"),
                                                            std::regex("output_dir,[^\n]*"),
                                                            "output_dir," + target + "/batch/") +
                                             lon.str() + "\n" + lat.str() + "\n");
  const run_result batch = run_program(target + "/batch.cfg --batch");
  EXPECT_EQ(batch.status, 1) << batch.output;
  return output_files(target + "/batch");
}

class LiveRun : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = std::make_unique<scratch_dir>("live");
    make_survey(survey_design{}, dir_->file("survey"));
  }
  static void TearDownTestSuite() { dir_.reset(); }

  // Writes `target`/live.cfg with `settings` for the replay of the survey.
  static std::string live_config(const std::string& target, const std::string& settings) {
    std::string output;
    EXPECT_EQ(run_command(replay_program() + " " + dir_->file("survey") + " " + target +
                              " --config-only --set output_tile_size_pixels,40000"
                              " --set live_frame_wait_seconds,1 " +
                              settings,
                          output),
              0)
        << output;
    return target + "/live.cfg";
  }
  // The live run (in the background) and the replay into `target`: the run's result.
  static run_result replay_live(const std::string& target, const std::string& replay_options) {
    auto live = std::async(std::launch::async,
                           [&] { return run_program(target + "/live.cfg --live --idle-exit 3"); });
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    std::string output;
    EXPECT_EQ(run_command(replay_program() + " " + dir_->file("survey") + " " + target +
                              " --rate 12 " + replay_options,
                          output),
              0)
        << output;
    return live.get();
  }

  inline static std::unique_ptr<scratch_dir> dir_;
};

TEST_F(LiveRun, LeavesTheFilesOfTheBatchRunAfterIt) {
  for (const char* mode : {"0", "1"}) {
    const std::string target = dir_->file(std::string("mode") + mode);
    // Best view also with its web map, rewritten where each update changes it.
    live_config(target, std::string("--set composite_mode,") + mode + " --set write_source_map,1" +
                            (mode[0] == '1' ? " --set write_web_tiles,1" : ""));
    const run_result live = replay_live(target, "--late 3 --missing 5");
    EXPECT_EQ(live.status, 1) << live.output;
    EXPECT_TRUE(live.printed("frame " + target + "/images/img_004.png has not come in 1 s"))
        << live.output;
    EXPECT_TRUE(live.printed("img_002.png (line 3) came late: used")) << live.output;
    const std::map<std::string, std::string> files = output_files(target + "/out");
    EXPECT_GT(files.size(), 10u) << mode;
    EXPECT_EQ(files.count("web/tiles.json"), mode[0] == '1' ? 1u : 0u) << mode;
    EXPECT_TRUE(files == batch_files(target, live.output)) << "mode " << mode;
    EXPECT_TRUE(std::regex_search(read_file(target + "/out/mosaic_live.kml"),
                                  std::regex("<href>mosaic_link.kml</href>\\s*<refreshMode>"
                                             "onInterval</refreshMode>\\s*<refreshInterval>5<")));
  }
}

// Killed outright after part of the flight and started again, the run keeps the tiles
// on disk, takes again only what is new, and ends as the batch run.
TEST_F(LiveRun, KilledAndStartedAgainGoesOnFromItsTiles) {
  const std::string target = dir_->file("resumed");
  live_config(target, "--set composite_mode,1");
  const std::string log = read_file(dir_->file("survey") + "/flight_log.txt");
  {
    // The first half of the flight, then SIGKILL once its tiles are written.
    auto first = std::async(std::launch::async, [&] {
      return run_program(target + "/live.cfg --live --idle-exit 30");
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    fs::create_directories(target + "/images");
    std::size_t at = 0;
    for (int k = 0; k < 7; ++k) {
      const std::size_t end = log.find('\n', at) + 1;
      const std::string name = log.substr(at, log.find(',', at) - at);
      fs::copy_file(dir_->file("survey") + "/images/" + name, target + "/images/" + name);
      std::ofstream(target + "/flight_log.txt", std::ios::app) << log.substr(at, end - at);
      at = end;
    }
    for (int wait = 0; wait < 200 && !fs::exists(target + "/out/mosaic_link.kml"); ++wait)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    std::string ignored;
    // "[r]" keeps the pattern from matching the shell that runs pkill.
    run_command("pkill -KILL -f '[r]esumed/live.cfg --live'", ignored);
    first.get();
  }
  fs::remove(target + "/flight_log.txt");
  fs::remove_all(target + "/images");
  const run_result live = replay_live(target, "");
  EXPECT_EQ(live.status, 1) << live.output;
  EXPECT_TRUE(live.printed("going on from the tiles on disk")) << live.output;
  EXPECT_TRUE(live.printed("img_000.png (line 1) already in its")) << live.output;
  EXPECT_TRUE(output_files(target + "/out") == batch_files(target, live.output));
}

}  // namespace
}  // namespace aeroquilt::testing
