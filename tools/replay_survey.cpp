// Replays a survey as a flight delivers it, for live runs (demo, benchmark, tests):
// the flight log's lines appended to TARGET/flight_log.txt and its frames written into
// TARGET/images/ at a set rate, each frame in chunks, lines sometimes in two writes,
// and the frame written before its line for every other frame.
//   replay_survey SURVEY_DIR TARGET_DIR [--rate FPS] [--chunks N] [--late LINE]...
//                 [--missing LINE]... [--config-only] [--set KEY,VALUE]...
// With --config-only it writes TARGET/live.cfg instead: the survey's configuration
// reading from TARGET and writing into TARGET/out/, the planned area (the sub-view keys)
// around every frame's ground, then the --set lines. Replaying, it prints
// "complete NAME LINE EPOCH_SECONDS" for each frame whose line and file are both
// complete. --late delivers a frame 2 s after all the others, --missing never.

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

struct log_line {
  std::string text;  // with its line feed
  std::string name;
  double lat = 0, lon = 0, altitude = 0;
};

std::string read_text(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

void append(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::app | std::ios::binary) << text << std::flush;
}

// The value of `key,` in a configuration text ("" when absent).
std::string config_value(const std::string& config, const std::string& key) {
  std::istringstream lines(config);
  std::string value;
  for (std::string line; std::getline(lines, line);) {
    if (line.compare(0, key.size() + 1, key + ",") == 0) value = line.substr(key.size() + 1);
  }
  return value;
}

double number(const std::string& config, const std::string& key) {
  return std::atof(config_value(config, key).c_str());
}

void pause_s(double seconds) {
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

double epoch_s() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

// The live configuration: the survey's, reading from and writing into `target`, over the
// box of every frame's ground (the camera positions widened by the largest footprint).
void write_live_config(const std::string& config, const std::vector<log_line>& lines,
                       const std::string& target, const std::vector<std::string>& settings) {
  const double half_view =
      std::hypot(number(config, "image_width_pixels"), number(config, "image_height_pixels")) /
      2.0 / number(config, "image_kx");
  double south = 90, north = -90, west = 180, east = -180, reach_m = 0;
  for (const log_line& line : lines) {
    south = std::min(south, line.lat), north = std::max(north, line.lat);
    west = std::min(west, line.lon), east = std::max(east, line.lon);
    reach_m = std::max(reach_m, 1.3 * half_view * (line.altitude - number(config, "topo_height")));
  }
  const double lat_deg = reach_m / 111320.0;
  const double lon_deg = reach_m / (111320.0 * std::cos((south + north) / 2.0 * M_PI / 180.0));
  std::ostringstream out;
  std::istringstream source(config);
  const std::set<std::string> replaced = {
      "image_dir",       "FPO_file",        "output_dir",      "project_subview_only",
      "subview_min_lon", "subview_max_lon", "subview_min_lat", "subview_max_lat"};
  for (std::string line; std::getline(source, line);) {
    if (replaced.count(line.substr(0, line.find(','))) == 0) out << line << "\n";
  }
  out << "image_dir," << target << "/images/\nFPO_file," << target << "/flight_log.txt\n"
      << "output_dir," << target << "/out/\nproject_subview_only,1\n";
  char area[256];
  std::snprintf(area, sizeof(area),
                "subview_min_lon,%.7f\nsubview_max_lon,%.7f\nsubview_min_lat,%.7f\n"
                "subview_max_lat,%.7f\n",
                west - lon_deg, east + lon_deg, south - lat_deg, north + lat_deg);
  out << area;
  for (const std::string& setting : settings) out << setting << "\n";
  std::ofstream(target + "/live.cfg") << out.str();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr,
                 "usage: replay_survey SURVEY_DIR TARGET_DIR [--rate FPS] [--chunks N] "
                 "[--late LINE]... [--missing LINE]... [--config-only] [--set KEY,VALUE]...\n");
    return 2;
  }
  const std::string survey = argv[1], target = argv[2];
  double rate = 5;
  int chunks = 3;
  bool config_only = false;
  std::set<int> late, missing;
  std::vector<std::string> settings;
  for (int k = 3; k < argc; ++k) {
    const std::string option = argv[k];
    const char* value = k + 1 < argc ? argv[k + 1] : "";
    if (option == "--config-only") {
      config_only = true;
      continue;
    }
    ++k;
    if (option == "--rate")
      rate = std::atof(value);
    else if (option == "--chunks")
      chunks = std::max(1, std::atoi(value));
    else if (option == "--late")
      late.insert(std::atoi(value));
    else if (option == "--missing")
      missing.insert(std::atoi(value));
    else if (option == "--set")
      settings.push_back(value);
    else {
      std::fprintf(stderr, "replay_survey: unknown option %s\n", option.c_str());
      return 2;
    }
  }
  const std::string config = read_text(survey + "/survey.cfg");
  const std::string image_dir = config_value(config, "image_dir");
  std::vector<log_line> lines;
  std::istringstream log(read_text(config_value(config, "FPO_file")));
  for (std::string text; std::getline(log, text);) {
    log_line line;
    line.text = text + "\n";
    std::istringstream fields(text);
    std::string field;
    std::getline(fields, line.name, ',');
    std::getline(fields, field, ',');
    line.lat = std::atof(field.c_str());
    std::getline(fields, field, ',');
    line.lon = std::atof(field.c_str());
    std::getline(fields, field, ',');
    line.altitude = std::atof(field.c_str());
    lines.push_back(line);
  }
  std::system(("mkdir -p '" + target + "/images'").c_str());
  if (config_only) {
    write_live_config(config, lines, target, settings);
    return 0;
  }

  const std::string log_path = target + "/flight_log.txt";
  const double interval = rate > 0 ? 1.0 / rate : 0.0;
  const auto deliver = [&](const log_line& line) {
    const std::string bytes = read_text(image_dir + line.name);
    std::ofstream frame(target + "/images/" + line.name, std::ios::binary | std::ios::trunc);
    for (int c = 0; c < chunks; ++c) {
      const std::size_t from = bytes.size() * c / chunks, to = bytes.size() * (c + 1) / chunks;
      frame.write(bytes.data() + from, static_cast<std::streamsize>(to - from)).flush();
      if (c + 1 < chunks) pause_s(interval / (2 * chunks));
    }
  };
  const auto log_it = [&](const log_line& line, bool in_two) {
    if (!in_two) return append(log_path, line.text);
    append(log_path, line.text.substr(0, line.text.size() / 2));
    pause_s(interval / 8);
    append(log_path, line.text.substr(line.text.size() / 2));
  };
  const auto say = [](const log_line& line, int number) {
    std::printf("complete %s %d %.3f\n", line.name.c_str(), number, epoch_s());
    std::fflush(stdout);
  };
  for (std::size_t k = 0; k < lines.size(); ++k) {
    const int number = static_cast<int>(k) + 1;
    const bool held = late.count(number) != 0 || missing.count(number) != 0;
    // Every other frame comes before its line.
    if (k % 2 == 1 && !held) deliver(lines[k]);
    log_it(lines[k], k % 3 == 2);
    if (k % 2 == 0 && !held) deliver(lines[k]);
    if (!held) say(lines[k], number);
    pause_s(interval / 2);
  }
  // Late frames come once a live run's usual wait for them is over.
  if (!late.empty()) pause_s(2.0);
  for (std::size_t k = 0; k < lines.size(); ++k) {
    if (late.count(static_cast<int>(k) + 1) == 0) continue;
    deliver(lines[k]);
    say(lines[k], static_cast<int>(k) + 1);
  }
  return 0;
}
