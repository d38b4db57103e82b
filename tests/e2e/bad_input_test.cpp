// Runs the catalogue of bad inputs in tests/data/bad_input.txt (its header describes
// the format): each case spoils one input of a small survey, runs the real program
// and checks its messages, exit status and output files. The runs mostly wait in the
// program's fixed pauses, so they all start before the first case is checked.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <random>
#include <regex>
#include <sstream>

#include "support/dem_builder.h"
#include "support/image_builder.h"
#include "support/scratch.h"
#include "survey/synthetic_survey.h"

namespace aeroquilt::testing {
namespace {

namespace fs = std::filesystem;

struct directive {
  std::string keyword, rest;
};

struct bad_input_case {
  std::string name;
  std::vector<directive> steps;
};
void PrintTo(const bad_input_case& c, std::ostream* os) { *os << c.name; }

std::vector<bad_input_case> load_catalogue() {
  std::ifstream in(source_dir() + "/tests/data/bad_input.txt");
  std::vector<bad_input_case> cases;
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') continue;
    if (line[0] == '[') {
      cases.push_back({line.substr(1, line.find(']') - 1), {}});
    } else if (!cases.empty()) {
      const std::size_t space = line.find(' ');
      cases.back().steps.push_back(
          {line.substr(0, space), space == std::string::npos ? "" : line.substr(space + 1)});
    }
  }
  return cases;
}

// The first `count` words of `text`, then the rest of it as one more word.
std::vector<std::string> words(const std::string& text, std::size_t count) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string word; out.size() < count && in >> word;) out.push_back(word);
  std::string rest;
  std::getline(in >> std::ws, rest);
  out.push_back(rest);
  return out;
}

std::string replace_all(std::string text, const std::string& from, const std::string& to) {
  for (std::size_t at = text.find(from); at != std::string::npos;
       at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}

std::string noise(std::size_t count, unsigned seed) {
  std::mt19937 random(seed);
  std::string bytes(count, '\0');
  for (char& c : bytes) c = static_cast<char>(random() & 0xff);
  return bytes;
}

struct case_run : run_result {
  std::string error;  // standard error alone
};

class BadInput : public ::testing::TestWithParam<bad_input_case> {
 protected:
  static void SetUpTestSuite() {
    dir_ = std::make_unique<scratch_dir>("bad_input");
    survey_design design;
    design.line_count = 1;
    design.images_per_line = 4;
    design.attitude_jitter_deg = 0.5;
    truth_ = std::make_unique<survey_truth>(make_survey(design, dir_->file("base")));
    std::vector<std::pair<std::string, std::function<case_run()>>> jobs;
    for (const bad_input_case& c : load_catalogue()) jobs.emplace_back(c.name, prepare(c));
    // Sleeping runs dominate; eight at a time keep two cores busy.
    for (std::size_t first = 0; first < jobs.size(); first += 8) {
      std::vector<std::future<case_run>> running;
      for (std::size_t k = first; k < std::min(jobs.size(), first + 8); ++k)
        running.push_back(std::async(std::launch::async, jobs[k].second));
      for (std::size_t k = 0; k < running.size(); ++k)
        results_[jobs[first + k].first] = running[k].get();
    }
  }
  static void TearDownTestSuite() {
    for (const std::string& mount : mounts_) ::umount2(mount.c_str(), MNT_DETACH);
    for (const int fd : held_locks_) ::close(fd);
    dir_.reset();
  }

  // Expands $DIR and $IMAGES, then the escapes of the catalogue.
  static std::string text(const std::string& raw, const std::string& dir) {
    return unescape(replace_all(replace_all(raw, "$DIR", dir), "$IMAGES", truth_->files.image_dir));
  }

  // Builds the case's files and returns its run.
  static std::function<case_run()> prepare(const bad_input_case& c) {
    const std::string dir = dir_->file(c.name);
    const auto path = [&](const std::string& name) { return dir + "/" + name; };
    fs::create_directories(dir);
    std::string config = read_file(truth_->files.config) + "output_dir," + dir + "/out/\n";
    std::string work_dir = source_dir(), environment, fault, arguments, argument = path("run.cfg");
    bool own_config = false, new_log = false;
    std::string log_text;  // a log that is no list of lines
    std::vector<std::string> log;
    std::istringstream base_log(read_file(truth_->files.flight_log));
    for (std::string line; std::getline(base_log, line);) log.push_back(line);
    unsigned seed = 11;
    // Reads a file of the case folder, lets `change` alter its bytes, writes it back.
    const auto rewrite = [&](const std::string& name,
                             const std::function<void(std::string&)>& change) {
      std::string bytes = read_file(path(name));
      change(bytes);
      write_binary_file(path(name), bytes.data(), bytes.size());
    };

    for (const directive& d : c.steps) {
      const std::string& k = d.keyword;
      new_log = new_log || k.rfind("log", 0) == 0 || k == "images";
      if (k == "config") {
        config += text(d.rest, dir) + "\n";
      } else if (k == "config_file") {
        own_config = true;
        const std::string usual = config;
        config = d.rest == "noise"  ? noise(4096, seed++)
                 : d.rest == "crlf" ? replace_all(usual, "\n", "\r\n")
                                    : "";
      } else if (k == "log") {
        log.clear();
        log_text = d.rest == "noise" ? noise(3000, seed++) : "";
      } else if (k == "log_field") {
        const auto w = words(d.rest, 2);
        for (std::size_t n = 0; n < log.size(); ++n) {
          if (w[0] != "*" && n + 1 != std::stoul(w[0])) continue;
          std::size_t at = 0;  // the field's first character
          for (unsigned f = 0; f < std::stoul(w[1]); ++f) at = log[n].find(',', at) + 1;
          log[n].replace(at, log[n].find(',', at) - at, text(w[2], dir));
        }
      } else if (k == "log_cut") {
        const auto w = words(d.rest, 2);
        std::string& line = log.at(std::stoul(w[0]) - 1);
        std::size_t at = 0;
        for (unsigned n = 0; n < std::stoul(w[1]); ++n) at = line.find(',', at + 1);
        line = line.substr(0, at);
      } else if (k == "log_append") {
        const auto w = words(d.rest, 1);
        log.at(std::stoul(w[0]) - 1) += text(w[1], dir);
      } else if (k == "log_add") {
        log.push_back(text(d.rest, dir) + log.at(0).substr(log.at(0).find(',')));
      } else if (k == "dem") {
        const survey_dem_grid& g = truth_->dem;
        std::string bytes = read_file(truth_->files.dem);
        if (d.rest == "half") {
          bytes.resize(bytes.size() / 2);
        } else {
          const auto w = words(d.rest, 6);
          const auto number = [&](int n, double base) {
            return w[n] == "base" ? base : std::strtod(w[n].c_str(), nullptr);
          };
          const int columns = static_cast<int>(number(0, g.column_count));
          const int rows = static_cast<int>(number(1, g.row_count));
          bytes = dem_file_bytes(columns, rows, g.west_longitude + number(4, 0),
                                 g.south_latitude + number(5, 0), number(2, g.cell_size), nullptr);
          const float fill = std::strtof(w[6].c_str(), nullptr);  // 0 when not given
          for (std::size_t k = w[3] == "all" ? std::size_t(columns) * rows : std::stoul(w[3]); k--;)
            bytes.append(reinterpret_cast<const char*>(&fill), 4);
        }
        write_binary_file(path("terrain.dem"), bytes.data(), bytes.size());
        config += "DEM_filename," + path("terrain.dem") + "\nUSE_DEM,1\n";
      } else if (k == "images") {
        const std::string suffix = d.rest == "raw"     ? "_rgb.raw"
                                   : d.rest == "tif16" ? ".tif"
                                                       : "." + d.rest;
        fs::create_directories(path("images"));
        for (const survey_camera& camera : truth_->cameras) {
          const cv::Mat frame = cv::imread(truth_->files.image_dir + camera.name);
          const std::string out =
              path("images/" + camera.name.substr(0, camera.name.find('.')) + suffix);
          if (d.rest == "raw") {
            write_raw_frame(out, frame);
          } else if (d.rest == "tif16") {
            cv::Mat grey, counts;
            cv::cvtColor(frame, grey, cv::COLOR_BGR2GRAY);
            grey.convertTo(counts, CV_16U, 4.0, thermal_count(0.0));  // 0 to 40 degrees C
            cv::imwrite(out, counts);
          } else {
            cv::imwrite(out, frame);
          }
        }
        for (std::string& line : log) line = replace_all(line, ".png", suffix);
        config += "image_dir," + path("images") + "/\n";
      } else if (k == "truncate" || k == "noise") {
        const auto w = words(d.rest, 2);
        rewrite(w[0], [&](std::string& bytes) {
          bytes.resize(std::min(bytes.size(), std::size_t(std::stoul(w[1]))));
          if (k == "noise") bytes += noise(std::stoul(w[2]), seed++);
        });
      } else if (k == "bytes") {
        const auto w = words(d.rest, 2);
        const std::string t = text(w[2], dir);
        rewrite(w[0], [&](std::string& bytes) { bytes.replace(std::stoul(w[1]), t.size(), t); });
      } else if (k == "resize") {
        const auto w = words(d.rest, 2);
        cv::Mat resized;
        cv::resize(cv::imread(path(w[0])), resized, cv::Size(std::stoi(w[1]), std::stoi(w[2])));
        cv::imwrite(path(w[0]), resized);
      } else if (k == "file") {
        const auto space = d.rest.find(' ');
        fs::create_directories(fs::path(path(d.rest.substr(0, space))).parent_path());
        write_text_file(path(d.rest.substr(0, space)),
                        space == std::string::npos ? "" : text(d.rest.substr(space + 1), dir));
      } else if (k == "workdir") {
        work_dir = text(d.rest, dir);
        if (!fs::exists(work_dir + "/kernels"))
          fs::create_directory_symlink(source_dir() + "/kernels", work_dir + "/kernels");
      } else if (k == "env") {
        environment = d.rest + " ";
      } else if (k == "fault") {
        // The shim fails one OpenCL call; ASan accepts it ahead of its runtime when told to.
        const auto w = words(d.rest, 2);
        const char* shim = std::getenv("AEROQUILT_CL_FAULT_SHIM");
        if (shim == nullptr) {
          setup_failures_[c.name] = "AEROQUILT_CL_FAULT_SHIM, the fault shim's path, is unset";
        } else {
          fault = "LD_PRELOAD='" + std::string(shim) + "' AQ_CL_FAULT='" + w[0] + ":" + w[1] + ":" +
                  w[2] + "' ASAN_OPTIONS=\"$ASAN_OPTIONS:verify_asan_link_order=0\" ";
        }
      } else if (k == "tmpfs") {
        // A real small file system, so that a full disk is the kernel's, not a mock's.
        const auto w = words(d.rest, 1);
        fs::create_directories(path(w[0]));
        const std::string options = "size=" + w[1];
        if (::mount("tmpfs", path(w[0]).c_str(), "tmpfs", 0, options.c_str()) == 0) {
          mounts_.push_back(path(w[0]));
        } else {
          skip_reasons_[c.name] = "cannot mount a tmpfs of " + w[1] + " at " + path(w[0]) + ": " +
                                  std::strerror(errno) + " (needs root)";
        }
      } else if (k == "fifo") {
        fs::remove(path(d.rest));
        ::mkfifo(path(d.rest).c_str(), 0644);
      } else if (k == "link") {
        const auto w = words(d.rest, 1);
        fs::create_directories(fs::path(path(w[0])).parent_path());
        fs::create_symlink(text(w[1], dir), path(w[0]));
      } else if (k == "argument") {
        argument = text(d.rest, dir);
      } else if (k == "hold_lock") {
        // Another run holding the output: this process, until the catalogue ends.
        fs::create_directories(fs::path(path(d.rest)).parent_path());
        const int fd = ::open(path(d.rest).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        const std::string holder = "pid " + std::to_string(::getpid()) + " on host catalogue\n";
        if (fd >= 0 && ::write(fd, holder.data(), holder.size()) > 0 && ::flock(fd, LOCK_EX) == 0)
          held_locks_.push_back(fd);
      } else if (k == "args") {
        arguments += " " + text(d.rest, dir);
      }
    }
    if (new_log) {
      for (const std::string& line : log) log_text += line + "\n";
      write_text_file(path("log.txt"), log_text);
      if (!own_config) config += "FPO_file," + path("log.txt") + "\n";
    }
    write_binary_file(path("run.cfg"), config.data(), config.size());
    const std::string command = "cd '" + work_dir + "' && (" + environment + fault +
                                "timeout 300 " + aeroquilt_binary() + " '" + argument + "'" +
                                arguments + " 2>'" + path("stderr.txt") + "')";
    return [command, dir] {
      case_run result;
      // A hung run is stopped long after any loaded machine would finish (status 124).
      result.status = run_command(command, result.output);
      result.error = read_file(dir + "/stderr.txt");
      result.output += result.error;
      return result;
    };
  }

  inline static std::unique_ptr<scratch_dir> dir_;
  inline static std::unique_ptr<survey_truth> truth_;
  inline static std::map<std::string, case_run> results_;
  inline static std::vector<std::string> mounts_;
  inline static std::vector<int> held_locks_;
  inline static std::map<std::string, std::string> skip_reasons_;    // cases that cannot run here
  inline static std::map<std::string, std::string> setup_failures_;  // cases the test cannot set up
};

TEST_P(BadInput, EndsAsCatalogued) {
  const bad_input_case& c = GetParam();
  if (skip_reasons_.count(c.name) != 0) GTEST_SKIP() << skip_reasons_.at(c.name);
  if (setup_failures_.count(c.name) != 0) FAIL() << setup_failures_.at(c.name);
  const std::string dir = dir_->file(c.name);
  const case_run& run = results_.at(c.name);
  EXPECT_TRUE(run.status >= 0 && run.status <= 3) << "status " << run.status << "\n" << run.output;
  EXPECT_FALSE(run.printed("Segmentation") || run.printed("terminate called")) << run.output;
  std::vector<std::string> outputs;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(dir + "/out", error))
    outputs.push_back(entry.path().filename().string());
  for (const std::string& name : outputs) EXPECT_EQ(name.find(".partial-"), name.npos) << name;

  for (const directive& d : c.steps) {
    const std::string t = text(d.rest, dir);
    if (d.keyword == "status") {
      EXPECT_EQ(run.status, std::stoi(t)) << run.output;
    } else if (d.keyword == "prints") {
      EXPECT_TRUE(run.printed(t)) << "missing: " << t << "\n" << run.output;
    } else if (d.keyword == "stderr") {
      EXPECT_NE(run.error.find(t), t.npos) << "missing: " << t << "\n" << run.output;
    } else if (d.keyword == "not_prints") {
      EXPECT_FALSE(run.printed(t)) << "printed: " << t << "\n" << run.output;
    } else if (d.keyword == "prints_once") {
      const std::size_t first = run.output.find(t);
      EXPECT_TRUE(first != run.output.npos && run.output.find(t, first + 1) == run.output.npos)
          << "not once: " << t << "\n"
          << run.output;
    } else if (d.keyword == "links") {
      const auto w = words(t, 1);
      const std::string index = read_file(dir + "/" + w[0]);
      const std::regex href("<href>([^<]*)</href>");
      int links = 0;
      for (auto it = std::sregex_iterator(index.begin(), index.end(), href);
           it != std::sregex_iterator(); ++it, ++links)
        EXPECT_TRUE(fs::exists(fs::path(dir + "/" + w[0]).parent_path() / (*it)[1].str()))
            << (*it)[1].str();
      EXPECT_GE(links, std::stoi(w[1])) << index;
    } else if (d.keyword == "exists" || d.keyword == "absent") {
      EXPECT_EQ(fs::exists(dir + "/" + t), d.keyword == "exists") << t;
    } else if (d.keyword == "outputs" && t == "none") {
      EXPECT_TRUE(outputs.empty()) << ::testing::PrintToString(outputs);
    } else if (d.keyword == "outputs") {
      EXPECT_FALSE(cv::imread(dir + "/out/mosaic.png", cv::IMREAD_UNCHANGED).empty()) << run.output;
      EXPECT_TRUE(fs::exists(dir + "/out/mosaic.kml") && fs::exists(dir + "/out/mosaic.tfw"));
    } else if (d.keyword == "holds") {
      const auto w = words(t, 1);
      EXPECT_EQ(read_file(dir + "/" + w[0]), w[1]) << w[0];
    } else if (d.keyword == "max_side") {
      const cv::Mat mosaic = cv::imread(dir + "/out/mosaic.png", cv::IMREAD_UNCHANGED);
      EXPECT_LT(std::max(mosaic.cols, mosaic.rows), std::stoi(t));
    }
  }
}

TEST(BadInputCatalogue, IsFound) { EXPECT_GE(load_catalogue().size(), 30u); }

INSTANTIATE_TEST_SUITE_P(Catalogue, BadInput, ::testing::ValuesIn(load_catalogue()),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace aeroquilt::testing
