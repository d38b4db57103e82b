#include "app/run_options.h"

#include <climits>
#include <cstdlib>
#include <cstring>

namespace aeroquilt {
namespace {

// A tile number: decimal digits alone, at most INT_MAX.
bool read_tile_number(const std::string& text, int& number) {
  if (text.empty() || text.size() > 10) return false;
  for (char c : text)
    if (c < '0' || c > '9') return false;
  const long long value = std::strtoll(text.c_str(), nullptr, 10);
  if (value > INT_MAX) return false;
  number = static_cast<int>(value);
  return true;
}

}  // namespace

std::string parse_run_options(int argc, const char* const* argv, run_options& options) {
  options = run_options{};
  const char* part = nullptr;  // the option that chose the mode
  for (int k = 0; k < argc; ++k) {
    const std::string argument = argv[k];
    if (argument == "--batch") {
      options.batch = true;
      continue;
    }
    if (argument == "--idle-exit") {
      if (k + 1 >= argc) return "--idle-exit needs a number of seconds";
      char* end = nullptr;
      const std::string seconds = argv[++k];
      options.idle_exit_s = std::strtod(seconds.c_str(), &end);
      if (seconds.empty() || *end != '\0' || !(options.idle_exit_s > 0) ||
          options.idle_exit_s > 1e9) {
        return "--idle-exit " + seconds + ": give a positive number of seconds";
      }
      continue;
    }
    if (argument == "--tiles" || argument == "--list-tiles" || argument == "--link-index" ||
        argument == "--live") {
      if (part != nullptr) {
        return std::strcmp(part, argv[k]) == 0
                   ? argument + " is given twice: one range per process"
                   : std::string(part) + " and " + argument + " exclude each other";
      }
      part = argv[k];
      if (argument == "--live") {
        options.mode = run_mode::live;
      } else if (argument == "--list-tiles") {
        options.mode = run_mode::list_tiles;
      } else if (argument == "--link-index") {
        options.mode = run_mode::link_index;
      } else {
        if (k + 1 >= argc) return "--tiles needs a range FIRST-LAST (tile numbers from 0)";
        const std::string range = argv[++k];
        const std::size_t dash = range.find('-');
        if (dash == std::string::npos ||
            !read_tile_number(range.substr(0, dash), options.first_tile) ||
            !read_tile_number(range.substr(dash + 1), options.last_tile)) {
          return "--tiles " + range + ": give FIRST-LAST, two tile numbers from 0 (e.g. 0-9)";
        }
        if (options.first_tile > options.last_tile) {
          return "--tiles " + range + ": FIRST is after LAST";
        }
        options.mode = run_mode::tile_range;
      }
      continue;
    }
    if (argument.size() > 1 && argument[0] == '-') return "unknown option " + argument;
    if (!options.config_path.empty()) {
      return "one configuration file per run: " + options.config_path + " and " + argument;
    }
    options.config_path = argument;
  }
  if (options.idle_exit_s > 0 && options.mode != run_mode::live)
    return "--idle-exit goes with --live";
  return "";
}

std::string tile_range_problem(const run_options& options, int tile_count) {
  if (options.mode != run_mode::tile_range || options.last_tile < tile_count) return "";
  return "--tiles " + std::to_string(options.first_tile) + "-" + std::to_string(options.last_tile) +
         ": the mosaic has " + std::to_string(tile_count) +
         (tile_count == 1 ? " tile, number 0"
                          : " tiles, numbered 0 to " + std::to_string(tile_count - 1));
}

}  // namespace aeroquilt
