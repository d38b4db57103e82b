// The catalogue of bad inputs: each case runs the real program on a small survey
// with one input spoiled, and checks the outcome a user relies on: a message that
// names the file and the problem, the documented exit status (1 mosaic written,
// 0 stopped before the mosaic, 2 fatal with its message on standard error), no
// crash, and no half-written output.
//
// The runs are independent and mostly wait in the program's fixed pauses, so the
// suite starts them all at once and each test then checks its own run.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <functional>
#include <future>
#include <map>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <random>
#include <sstream>

#include "support/dem_builder.h"
#include "support/image_builder.h"
#include "support/scratch.h"
#include "support/synthetic_survey.h"

namespace aeroquilt::testing {
namespace {

namespace fs = std::filesystem;

// One case's files: its folder, the configuration it runs and where it runs from.
struct case_setup {
  std::string folder;       // no trailing "/"
  std::string config;       // folder + "/run.cfg"
  std::string extra;        // configuration lines appended to the survey's (later keys win)
  std::string work_dir;     // the program's working folder (the repository root by default)
  bool own_config = false;  // the case wrote `config` itself
  std::string file(const std::string& name) const { return folder + "/" + name; }
};

struct run_result {
  int status = -1;
  std::string output;  // standard output and error
  std::string error;   // standard error alone
  std::string folder;  // the case's folder; its output folder is folder + "/out/"
  bool printed(const std::string& text) const { return output.find(text) != std::string::npos; }
  // Names of the files in the output folder (none when it does not exist).
  std::vector<std::string> outputs() const {
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(folder + "/out", error))
      names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }
};

// The survey every case starts from: one line of four 160 x 120 colour frames.
struct base_survey {
  survey_truth truth;
  std::vector<std::string> log_lines;  // the flight log's lines, without line ends
};

std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::string join_lines(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  return text;
}

std::string replace_all(std::string text, const std::string& from, const std::string& to) {
  for (std::size_t at = text.find(from); at != std::string::npos;
       at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}

// Field `field` (from 0) of a comma-separated line replaced by `value`.
std::string with_field(const std::string& line, int field, const std::string& value) {
  std::vector<std::string> fields;
  std::istringstream in(line);
  for (std::string f; std::getline(in, f, ',');) fields.push_back(f);
  fields.at(field) = value;
  std::string out;
  for (std::size_t k = 0; k < fields.size(); ++k) out += (k ? "," : "") + fields[k];
  return out;
}

using case_builder = std::function<void(const base_survey&, case_setup&)>;

// ---- the catalogue ---------------------------------------------------------------

// Writes a flight log into the case folder and points the configuration at it.
void use_log(case_setup& setup, const std::string& text) {
  write_text_file(setup.file("log.txt"), text);
  setup.extra += "FPO_file," + setup.file("log.txt") + "\n";
}

// Writes a DEM file into the case folder and projects on the terrain with it.
void use_dem_bytes(case_setup& setup, const std::string& bytes) {
  write_binary_file(setup.file("terrain.dem"), bytes.data(), bytes.size());
  setup.extra += "DEM_filename," + setup.file("terrain.dem") + "\nUSE_DEM,1\n";
}

// Copies the survey's frames into the case's own image folder, converted by `write`
// (given the frame and the path without extension), and renames them in the log.
void use_converted_images(const base_survey& base, case_setup& setup, const std::string& suffix,
                          const std::function<void(const cv::Mat&, const std::string&)>& write) {
  fs::create_directories(setup.file("images"));
  for (const survey_camera& camera : base.truth.cameras) {
    const cv::Mat frame = cv::imread(base.truth.files.image_dir + camera.name, cv::IMREAD_COLOR);
    const std::string stem = camera.name.substr(0, camera.name.find('.'));
    write(frame, setup.file("images/" + stem + suffix));
  }
  setup.extra += "image_dir," + setup.file("images") + "/\n";
  use_log(setup, replace_all(join_lines(base.log_lines), ".png", suffix));
}

// Keeps the first `keep` bytes of a file.
void truncate_file(const std::string& path, std::size_t keep) {
  const std::string bytes = read_file(path);
  write_binary_file(path, bytes.data(), std::min(keep, bytes.size()));
}

std::map<std::string, case_builder> catalogue() {
  std::map<std::string, case_builder> cases;
  const auto config_lines = [](const std::string& lines) {
    return [lines](const base_survey&, case_setup& setup) { setup.extra += lines; };
  };

  cases["reference"] = config_lines("");

  // Configuration.
  cases["config_binary"] = [](const base_survey&, case_setup& setup) {
    std::mt19937 random(11);
    std::string bytes(4096, '\0');
    for (char& c : bytes) c = static_cast<char>(random() & 0xff);
    write_binary_file(setup.config, bytes.data(), bytes.size());
    setup.own_config = true;
  };
  cases["config_empty"] = [](const base_survey&, case_setup& setup) {
    write_text_file(setup.config, "");
    setup.own_config = true;
  };
  cases["config_crlf"] = [](const base_survey& base, case_setup& setup) {
    const std::string text =
        read_file(base.truth.files.config) + "output_dir," + setup.folder + "/out/\n";
    write_text_file(setup.config, replace_all(text, "\n", "\r\n"));
    setup.own_config = true;
  };
  cases["config_negative_width"] = config_lines("image_width_pixels,-160\n");
  cases["config_absurd_width"] = config_lines("image_width_pixels,1e300\n");
  cases["config_nan_pixel_size"] = config_lines("output_pixel_size,0e999\n");  // 0 * inf
  cases["config_negative_pixel_size"] = config_lines("output_pixel_size,-0.5\n");
  cases["config_absurd_pixel_size"] = config_lines("output_pixel_size,1e300\n");
  cases["config_nan_focal_length"] = config_lines("image_kx,0e999\n");
  cases["config_absurd_topo_height"] = config_lines("topo_height,1e300\n");
  cases["config_missing_image_folder"] = [](const base_survey&, case_setup& setup) {
    setup.extra += "image_dir," + setup.file("no_such_folder") + "/\n";
  };
  cases["config_missing_flight_log"] = [](const base_survey&, case_setup& setup) {
    setup.extra += "FPO_file," + setup.file("no_such_log.txt") + "\n";
  };
  cases["config_missing_dem_on_terrain"] = [](const base_survey&, case_setup& setup) {
    setup.extra += "DEM_filename," + setup.file("no_such.dem") + "\nUSE_DEM,1\n";
  };
  cases["config_missing_dem_on_flat_ground"] = [](const base_survey&, case_setup& setup) {
    setup.extra += "DEM_filename," + setup.file("no_such.dem") + "\nUSE_DEM,0\n";
  };

  // Flight log.
  cases["log_empty"] = [](const base_survey&, case_setup& setup) { use_log(setup, ""); };
  cases["log_binary"] = [](const base_survey&, case_setup& setup) {
    std::mt19937 random(12);
    std::string bytes(3000, '\0');
    for (char& c : bytes) c = static_cast<char>(random() & 0xff);
    use_log(setup, bytes);
  };
  cases["log_long_line"] = [](const base_survey& base, case_setup& setup) {
    std::vector<std::string> lines = base.log_lines;
    lines[1] += std::string(1500, ' ') + "9,9,9";  // trailing blanks, then junk
    use_log(setup, join_lines(lines));
  };
  cases["log_missing_fields"] = [](const base_survey& base, case_setup& setup) {
    std::vector<std::string> lines = base.log_lines;
    lines[1] = lines[1].substr(0, lines[1].find(',', lines[1].find(',') + 1));  // name, lat
    use_log(setup, join_lines(lines));
  };
  cases["log_nan_roll"] = [](const base_survey& base, case_setup& setup) {
    std::vector<std::string> lines = base.log_lines;
    lines[1] = with_field(lines[1], 4, "0e999");
    use_log(setup, join_lines(lines));
  };
  cases["log_latitude_beyond_pole"] = [](const base_survey& base, case_setup& setup) {
    std::vector<std::string> lines = base.log_lines;
    lines[1] = with_field(lines[1], 1, "95.3");
    use_log(setup, join_lines(lines));
  };
  cases["log_utm_garbage"] = [](const base_survey& base, case_setup& setup) {
    std::vector<std::string> lines = base.log_lines;
    lines[1] = with_field(with_field(lines[1], 1, "1e12"), 2, "-1e12");
    use_log(setup, join_lines(lines));
  };
  cases["log_absurd_roll"] = [](const base_survey& base, case_setup& setup) {
    std::vector<std::string> lines = base.log_lines;
    lines[1] = with_field(lines[1], 4, "1e300");
    use_log(setup, join_lines(lines));
  };
  cases["log_duplicate_names"] = [](const base_survey& base, case_setup& setup) {
    std::vector<std::string> lines = base.log_lines;
    const std::string first = base.truth.cameras[0].name;
    for (std::size_t k = 0; k < lines.size(); ++k) lines[k] = with_field(lines[k], 0, first);
    use_log(setup, join_lines(lines));
  };
  cases["log_odd_names"] = [](const base_survey& base, case_setup& setup) {
    std::vector<std::string> lines = base.log_lines;
    lines.push_back(with_field(lines[0], 0, "%s%n%d.png"));
    lines.push_back(with_field(lines[0], 0, "bild \xc3\xa4 \"q\" \t.png"));
    lines.push_back(with_field(lines[0], 0, "../../../../../../etc/passwd"));
    lines.push_back(with_field(lines[0], 0, std::string(300, 'n') + ".png"));
    use_log(setup, join_lines(lines));
  };

  // DEM file (projected on the terrain, so that the run needs it).
  const auto dem_case = [](int32_t columns, int32_t rows, double cell, std::size_t heights,
                           bool here) {
    return [=](const base_survey& base, case_setup& setup) {
      const survey_dem_grid& grid = base.truth.dem;
      const double west = here ? grid.west_longitude : grid.west_longitude + 1.0;
      std::string bytes = dem_file_bytes(columns, rows, west, grid.south_latitude, cell, nullptr);
      bytes.append(heights * 4, '\0');
      use_dem_bytes(setup, bytes);
    };
  };
  cases["dem_truncated"] = [](const base_survey& base, case_setup& setup) {
    const std::string bytes = read_file(base.truth.files.dem);
    use_dem_bytes(setup, bytes.substr(0, bytes.size() / 2));
  };
  cases["dem_zero_counts"] = dem_case(0, 0, 0.00015, 16, true);
  cases["dem_negative_counts"] = dem_case(-40, 40, 0.00015, 1600, true);
  cases["dem_enormous_counts"] = dem_case(2147483647, 2147483647, 0.00015, 64, true);
  cases["dem_nan_cell_size"] = dem_case(40, 40, std::nan(""), 1600, true);
  cases["dem_view_outside"] = [](const base_survey& base, case_setup& setup) {
    const survey_dem_grid& grid = base.truth.dem;
    std::string bytes = dem_file_bytes(grid.column_count, grid.row_count, grid.west_longitude + 1.0,
                                       grid.south_latitude, grid.cell_size, nullptr);
    bytes.append(static_cast<std::size_t>(grid.column_count) * grid.row_count * 4, '\0');
    use_dem_bytes(setup, bytes);
  };

  // Images: one frame of four spoiled, unless said otherwise.
  cases["image_truncated_png"] = [](const base_survey& base, case_setup& setup) {
    use_converted_images(base, setup, ".png", [](const cv::Mat& frame, const std::string& path) {
      cv::imwrite(path, frame);
    });
    truncate_file(setup.file("images/img_001.png"), 300);
  };
  cases["image_corrupt_jpeg"] = [](const base_survey& base, case_setup& setup) {
    use_converted_images(base, setup, ".jpg", [](const cv::Mat& frame, const std::string& path) {
      cv::imwrite(path, frame);
    });
    // A JPEG start and a header, then noise where the entropy-coded data belongs.
    std::string bytes = read_file(setup.file("images/img_001.jpg")).substr(0, 200);
    std::mt19937 random(13);
    for (int k = 0; k < 2000; ++k) bytes.push_back(static_cast<char>(random() & 0xff));
    write_binary_file(setup.file("images/img_001.jpg"), bytes.data(), bytes.size());
  };
  cases["image_truncated_jpeg"] = [](const base_survey& base, case_setup& setup) {
    use_converted_images(base, setup, ".jpg", [](const cv::Mat& frame, const std::string& path) {
      cv::imwrite(path, frame);
    });
    truncate_file(setup.file("images/img_001.jpg"), 1500);
  };
  cases["image_truncated_tiff16"] = [](const base_survey& base, case_setup& setup) {
    use_converted_images(base, setup, ".tif", [](const cv::Mat& frame, const std::string& path) {
      cv::Mat grey, counts;
      cv::cvtColor(frame, grey, cv::COLOR_BGR2GRAY);
      grey.convertTo(counts, CV_16U, 4.0, thermal_count(0.0));  // 0 to 40 degrees C
      cv::imwrite(path, counts);
    });
    truncate_file(setup.file("images/img_001.tif"), 4000);
    setup.extra += "use_16bit_image_input,1\ntau_set_min_temp,0\ntau_set_max_temp,40\n";
  };
  cases["raw_frames_with_bad_headers"] = [](const base_survey& base, case_setup& setup) {
    use_converted_images(
        base, setup, "_rgb.raw",
        [](const cv::Mat& frame, const std::string& path) { write_raw_frame(path, frame); });
    const std::string good = read_file(setup.file("images/img_000_rgb.raw"));
    // img_001: the header promises the configured frame, the pixels stop half way.
    truncate_file(setup.file("images/img_001_rgb.raw"), good.size() / 2);
    // img_002: a header that says 2147483647 x 120 over a whole frame of pixels.
    std::string lying = good;
    const int32_t huge = 2147483647;
    std::memcpy(&lying[0], &huge, 4);
    write_binary_file(setup.file("images/img_002_rgb.raw"), lying.data(), lying.size());
    // img_003: only five bytes of header.
    truncate_file(setup.file("images/img_003_rgb.raw"), 5);
  };
  cases["image_of_another_size"] = [](const base_survey& base, case_setup& setup) {
    use_converted_images(base, setup, ".png", [](const cv::Mat& frame, const std::string& path) {
      cv::imwrite(path, frame);
    });
    const cv::Mat frame = cv::imread(setup.file("images/img_001.png"), cv::IMREAD_COLOR);
    cv::Mat half;
    cv::resize(frame, half, cv::Size(80, 60));
    cv::imwrite(setup.file("images/img_001.png"), half);
  };
  // Every frame is 160 x 120; the configuration says 320 x 240.
  cases["images_all_of_another_size"] =
      config_lines("image_width_pixels,320\nimage_height_pixels,240\nimage_kx,1000\n");

  // Output and kernel.
  cases["output_folder_not_creatable"] = [](const base_survey&, case_setup& setup) {
    write_text_file(setup.file("a_file"), "not a folder\n");
    setup.extra += "output_dir," + setup.file("a_file") + "/out/\n";
  };
  cases["output_folder_not_writable"] = config_lines("output_dir,/proc/\n");
  cases["output_name_without_extension"] = config_lines("output_filename,mosaic\n");
  cases["kernel_does_not_compile"] = [](const base_survey&, case_setup& setup) {
    fs::create_directories(setup.file("kernels"));
    const std::string source = read_file(source_dir() + "/kernels/direct_registration.cl");
    write_text_file(setup.file("kernels/direct_registration.cl"),
                    "this is not OpenCL C;\n" + source);
    setup.work_dir = setup.folder;
  };
  return cases;
}

// ---- running the catalogue -------------------------------------------------------

class BadInput : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = std::make_unique<scratch_dir>("bad_input");
    survey_spec design;
    design.line_count = 1;
    design.images_per_line = 4;
    design.attitude_jitter_deg = 0.5;
    base_ = std::make_unique<base_survey>();
    base_->truth = make_survey(design, dir_->file("base"));
    base_->log_lines = split_lines(read_file(base_->truth.files.flight_log));
    const std::string base_config = read_file(base_->truth.files.config);

    // Sleeping runs dominate; eight at a time keep two cores busy.
    std::vector<std::pair<std::string, std::function<run_result()>>> jobs;
    for (const auto& [name, build] : catalogue()) {
      case_setup setup;
      setup.folder = dir_->file(name);
      setup.config = setup.folder + "/run.cfg";
      setup.work_dir = source_dir();
      fs::create_directories(setup.folder);
      build(*base_, setup);
      if (!setup.own_config) {
        write_text_file(setup.config,
                        base_config + "output_dir," + setup.folder + "/out/\n" + setup.extra);
      }
      jobs.emplace_back(name, [setup] {
        run_result result;
        result.folder = setup.folder;
        const std::string error_file = setup.folder + "/stderr.txt";
        // A run that hangs is stopped after 60 s and reads as status 124.
        result.status =
            run_command("cd '" + setup.work_dir + "' && (timeout 60 " + aeroquilt_binary() + " '" +
                            setup.config + "' 2>'" + error_file + "')",
                        result.output);
        result.error = read_file(error_file);
        result.output += result.error;
        return result;
      });
    }
    results_ = std::make_unique<std::map<std::string, run_result>>();
    constexpr std::size_t kParallelRuns = 8;
    for (std::size_t first = 0; first < jobs.size(); first += kParallelRuns) {
      std::vector<std::future<run_result>> running;
      const std::size_t last = std::min(jobs.size(), first + kParallelRuns);
      for (std::size_t k = first; k < last; ++k)
        running.push_back(std::async(std::launch::async, jobs[k].second));
      for (std::size_t k = first; k < last; ++k)
        (*results_)[jobs[k].first] = running[k - first].get();
    }
  }
  static void TearDownTestSuite() {
    results_.reset();
    base_.reset();
    dir_.reset();
  }

  static const run_result& result(const std::string& name) { return results_->at(name); }
  static const base_survey& base() { return *base_; }

  // A run that stopped (status 0 or 2) leaves no output file at all.
  static void expect_no_output(const run_result& run) {
    EXPECT_TRUE(run.outputs().empty()) << ::testing::PrintToString(run.outputs());
  }
  // A finished run leaves a whole mosaic with its KML and world file, and no
  // temporary file of the writers.
  static void expect_mosaic(const run_result& run) {
    const cv::Mat mosaic = cv::imread(run.folder + "/out/mosaic.png", cv::IMREAD_UNCHANGED);
    EXPECT_FALSE(mosaic.empty()) << run.output;
    EXPECT_TRUE(fs::exists(run.folder + "/out/mosaic.kml"));
    EXPECT_TRUE(fs::exists(run.folder + "/out/mosaic.tfw"));
    for (const std::string& name : run.outputs())
      EXPECT_EQ(name.find("partial"), std::string::npos) << name;
  }

 private:
  static std::unique_ptr<scratch_dir> dir_;
  static std::unique_ptr<base_survey> base_;
  static std::unique_ptr<std::map<std::string, run_result>> results_;
};

std::unique_ptr<scratch_dir> BadInput::dir_;
std::unique_ptr<base_survey> BadInput::base_;
std::unique_ptr<std::map<std::string, run_result>> BadInput::results_;

// Every run ends with one of the three documented statuses: never a signal (which
// run_command reads as -1) and never the 60 s timeout (124).
TEST_F(BadInput, EveryRunEndsWithADocumentedStatus) {
  for (const auto& [name, build] : catalogue()) {
    const int status = result(name).status;
    EXPECT_TRUE(status == 0 || status == 1 || status == 2) << name << ": status " << status;
    EXPECT_EQ(result(name).output.find("Segmentation"), std::string::npos) << name;
    EXPECT_EQ(result(name).output.find("terminate called"), std::string::npos) << name;
  }
}

TEST_F(BadInput, ReferenceRunWritesTheMosaic) {
  const run_result& run = result("reference");
  ASSERT_EQ(run.status, 1) << run.output;
  expect_mosaic(run);
}

// ---- configuration ---------------------------------------------------------------

TEST_F(BadInput, BinaryOrEmptyConfigurationIsNamedAndStopsTheRun) {
  for (const char* name : {"config_binary", "config_empty"}) {
    const run_result& run = result(name);
    EXPECT_EQ(run.status, 0) << name << "\n" << run.output;
    EXPECT_TRUE(run.printed(run.folder + "/run.cfg holds no configuration key")) << run.output;
    expect_no_output(run);
  }
}

TEST_F(BadInput, ConfigurationWithCrLfLineEndsRuns) {
  const run_result& run = result("config_crlf");
  ASSERT_EQ(run.status, 1) << run.output;
  expect_mosaic(run);
}

TEST_F(BadInput, AbsurdFrameSizeIsRefusedWithTheKey) {
  const run_result& negative = result("config_negative_width");
  EXPECT_EQ(negative.status, 0) << negative.output;
  EXPECT_TRUE(negative.printed("run.cfg: image_width_pixels -160 ")) << negative.output;
  // 1e300 saturates to the largest 32-bit width instead of wrapping, and such a
  // frame is over the device's limit: fatal, with its own message.
  const run_result& absurd = result("config_absurd_width");
  EXPECT_EQ(absurd.status, 2) << absurd.output;
  EXPECT_TRUE(absurd.printed("invalid width or height")) << absurd.output;
  expect_no_output(negative);
  expect_no_output(absurd);
}

TEST_F(BadInput, PixelSizeThatIsNotAPositiveNumberIsRefused) {
  for (const char* name :
       {"config_nan_pixel_size", "config_negative_pixel_size", "config_absurd_pixel_size"}) {
    const run_result& run = result(name);
    EXPECT_EQ(run.status, 0) << name << "\n" << run.output;
    EXPECT_TRUE(run.printed("run.cfg: output_pixel_size is ")) << name << "\n" << run.output;
    expect_no_output(run);
  }
}

TEST_F(BadInput, FocalLengthThatIsNotANumberIsRefused) {
  const run_result& run = result("config_nan_focal_length");
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_TRUE(run.printed("image_kx is ")) << run.output;
  expect_no_output(run);
}

TEST_F(BadInput, GroundHeightAboveTheCamerasLeavesEveryImageOut) {
  const run_result& run = result("config_absurd_topo_height");
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_TRUE(run.printed("image corner does not reach the ground, image left out")) << run.output;
  EXPECT_TRUE(run.printed("no images found in")) << run.output;
  expect_no_output(run);
}

TEST_F(BadInput, MissingImageFolderNamesEveryImage) {
  const run_result& run = result("config_missing_image_folder");
  EXPECT_EQ(run.status, 0) << run.output;
  const std::string folder = run.folder + "/no_such_folder/";
  EXPECT_TRUE(run.printed("image not found " + folder + base().truth.cameras[0].name))
      << run.output;
  EXPECT_TRUE(run.printed("no images found in " + folder)) << run.output;
  expect_no_output(run);
}

TEST_F(BadInput, MissingFlightLogIsNamed) {
  const run_result& run = result("config_missing_flight_log");
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_TRUE(run.printed("FPO file not found \n" + run.folder + "/no_such_log.txt\n"))
      << run.output;
  expect_no_output(run);
}

TEST_F(BadInput, MissingDemStopsATerrainRun) {
  const run_result& run = result("config_missing_dem_on_terrain");
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_TRUE(run.printed("unable to open DEM file " + run.folder + "/no_such.dem")) << run.output;
  EXPECT_TRUE(run.printed("image out of DEM range")) << run.output;
  expect_no_output(run);
}

// Each view is resampled from the DEM even on flat ground, as designed: without a
// DEM no view is produced, and the run says so instead of ending as if it had
// written a mosaic.
TEST_F(BadInput, MissingDemOnFlatGroundEndsWithoutMosaicAndSaysSo) {
  const run_result& run = result("config_missing_dem_on_flat_ground");
  EXPECT_TRUE(run.printed("unable to open DEM file " + run.folder + "/no_such.dem")) << run.output;
  EXPECT_TRUE(run.printed("DEM: input range out of bounds")) << run.output;
  EXPECT_TRUE(run.printed("no view was written: no image could be projected\n")) << run.output;
  EXPECT_EQ(run.status, 0) << run.output;
  expect_no_output(run);
}

// ---- flight log --------------------------------------------------------------------

TEST_F(BadInput, EmptyOrBinaryFlightLogStopsTheRun) {
  const run_result& empty = result("log_empty");
  EXPECT_EQ(empty.status, 0) << empty.output;
  EXPECT_TRUE(empty.printed("0 lines in FPO file\n")) << empty.output;
  EXPECT_TRUE(empty.printed("no images found in")) << empty.output;
  const run_result& binary = result("log_binary");
  EXPECT_EQ(binary.status, 0) << binary.output;
  EXPECT_TRUE(binary.printed("no images found in")) << binary.output;
  expect_no_output(empty);
  expect_no_output(binary);
}

TEST_F(BadInput, OverlongFlightLogLineKeepsItsRecordAndDropsTheRest) {
  const run_result& run = result("log_long_line");
  EXPECT_TRUE(run.printed("log.txt line 2 is longer than 999 characters")) << run.output;
  EXPECT_TRUE(run.printed("4 lines in FPO file\n")) << run.output;
  EXPECT_TRUE(run.printed("4 images found\n")) << run.output;
  ASSERT_EQ(run.status, 1) << run.output;
  expect_mosaic(run);
}

TEST_F(BadInput, LineWithMissingFieldsIsLeftOutWithItsLineNumber) {
  const run_result& run = result("log_missing_fields");
  EXPECT_TRUE(run.printed("log.txt line 2 has 2 fields, 7 expected")) << run.output;
  EXPECT_TRUE(run.printed("3 images found\n")) << run.output;
  ASSERT_EQ(run.status, 1) << run.output;
  expect_mosaic(run);
}

TEST_F(BadInput, PositionOrAttitudeOutOfRangeIsLeftOut) {
  for (const char* name : {"log_nan_roll", "log_latitude_beyond_pole", "log_utm_garbage"}) {
    const run_result& run = result(name);
    EXPECT_TRUE(run.printed("log.txt line 2: position or attitude out of range")) << name << "\n"
                                                                                  << run.output;
    EXPECT_TRUE(run.printed("3 images found\n")) << name;
    ASSERT_EQ(run.status, 1) << name << "\n" << run.output;
    expect_mosaic(run);
    // The survey keeps its size (the line is 4 frames, about 60 m by 140 m at 0.5 m).
    const cv::Mat mosaic = cv::imread(run.folder + "/out/mosaic.png", cv::IMREAD_UNCHANGED);
    EXPECT_LT(std::max(mosaic.cols, mosaic.rows), 600) << name;
  }
}

// Beyond the angle limit a line is dropped without a message, as designed.
TEST_F(BadInput, AbsurdRollDropsTheLineAsSteep) {
  const run_result& run = result("log_absurd_roll");
  EXPECT_TRUE(run.printed("3 images found\n")) << run.output;
  ASSERT_EQ(run.status, 1) << run.output;
  expect_mosaic(run);
}

TEST_F(BadInput, DuplicateImageNamesAreProjectedEachTime) {
  const run_result& run = result("log_duplicate_names");
  EXPECT_TRUE(run.printed("4 images found\n")) << run.output;
  ASSERT_EQ(run.status, 1) << run.output;
  expect_mosaic(run);
}

TEST_F(BadInput, OddImageNamesArePrintedVerbatimAndLeftOut) {
  const run_result& run = result("log_odd_names");
  const std::string folder = base().truth.files.image_dir;
  EXPECT_TRUE(run.printed("image not found " + folder + "%s%n%d.png\n")) << run.output;
  EXPECT_TRUE(run.printed("image not found " + folder + "bild \xc3\xa4 \"q\" \t.png\n"));
  EXPECT_TRUE(run.printed("image not found " + folder + std::string(300, 'n') + ".png\n"));
  // /etc/passwd is a file that opens, but no image: it is reported when it is loaded.
  EXPECT_TRUE(run.printed("not 160x120 pixels: " + folder + "../../../../../../etc/passwd"))
      << run.output;
  ASSERT_EQ(run.status, 1) << run.output;
  expect_mosaic(run);
}

// ---- DEM file ------------------------------------------------------------------------

TEST_F(BadInput, UnusableDemHeaderIsRefusedWithItsReason) {
  const std::map<std::string, std::string> reasons = {
      {"dem_truncated", "heights need"},
      {"dem_zero_counts", "column count 0 and row count 0 must be positive"},
      {"dem_negative_counts", "column count -40 and row count 40 must be positive"},
      {"dem_enormous_counts", "refused"},
      {"dem_nan_cell_size", "cell size nan is not a positive number"},
  };
  for (const auto& [name, reason] : reasons) {
    const run_result& run = result(name);
    EXPECT_TRUE(run.printed("DEM file " + run.folder + "/terrain.dem refused: ")) << name << "\n"
                                                                                  << run.output;
    EXPECT_TRUE(run.printed(reason)) << name << "\n" << run.output;
    EXPECT_EQ(run.status, 0) << name << "\n" << run.output;
    expect_no_output(run);
  }
}

TEST_F(BadInput, DemThatMissesTheSurveyStopsATerrainRun) {
  const run_result& run = result("dem_view_outside");
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_TRUE(run.printed("image out of DEM range " + base().truth.files.image_dir)) << run.output;
  expect_no_output(run);
}

// ---- images --------------------------------------------------------------------------

TEST_F(BadInput, UnreadableImageIsNamedAndTheOthersAreProjected) {
  // Colour files are reported when they cannot be projected; thermal frames also
  // when they are read.
  const std::map<std::string, std::string> spoiled = {
      {"image_truncated_png", "not 160x120 pixels: %/images/img_001.png"},
      {"image_corrupt_jpeg", "not 160x120 pixels: %/images/img_001.jpg"},
      {"image_truncated_tiff16", "failed read %/images/img_001.tif"},
  };
  for (const auto& [name, message] : spoiled) {
    const run_result& run = result(name);
    const std::string expected = replace_all(message, "%", run.folder);
    EXPECT_TRUE(run.printed(expected)) << name << "\n" << run.output;
    ASSERT_EQ(run.status, 1) << name << "\n" << run.output;
    expect_mosaic(run);
  }
}

// The decoder fills the missing part of a truncated JPEG; the frame is still used.
TEST_F(BadInput, TruncatedJpegIsProjectedAsDecoded) {
  const run_result& run = result("image_truncated_jpeg");
  ASSERT_EQ(run.status, 1) << run.output;
  expect_mosaic(run);
}

TEST_F(BadInput, RawFramesWithWrongHeadersAreNamedWithTheirFault) {
  const run_result& run = result("raw_frames_with_bad_headers");
  const std::string images = run.folder + "/images/";
  EXPECT_TRUE(run.printed("failed read " + images + "img_001_rgb.raw\nraw frame is truncated"))
      << run.output;
  EXPECT_TRUE(run.printed("failed read " + images +
                          "img_002_rgb.raw\nraw frame is 2147483647 x 120 pixels"))
      << run.output;
  EXPECT_TRUE(
      run.printed("failed read " + images + "img_003_rgb.raw\nraw frame header is incomplete"))
      << run.output;
  ASSERT_EQ(run.status, 1) << run.output;
  expect_mosaic(run);
}

TEST_F(BadInput, FrameOfAnotherSizeIsLeftOutByName) {
  const run_result& run = result("image_of_another_size");
  EXPECT_TRUE(run.printed("image not projected, missing or not 160x120 pixels: " + run.folder +
                          "/images/img_001.png"))
      << run.output;
  ASSERT_EQ(run.status, 1) << run.output;
  expect_mosaic(run);
}

// No frame fits the configured size: nothing is projected, which is no mosaic.
TEST_F(BadInput, NoProjectableFrameIsNoMosaic) {
  const run_result& run = result("images_all_of_another_size");
  EXPECT_TRUE(run.printed("image not projected, missing or not 320x240 pixels")) << run.output;
  EXPECT_TRUE(run.printed("no image could be projected")) << run.output;
  EXPECT_EQ(run.status, 0) << run.output;
  expect_no_output(run);
}

// ---- output and kernel -----------------------------------------------------------------

TEST_F(BadInput, OutputFolderThatCannotBeCreatedIsFatal) {
  const run_result& run = result("output_folder_not_creatable");
  EXPECT_EQ(run.status, 2) << run.output;
  EXPECT_NE(run.error.find("cannot create output folder " + run.folder + "/a_file/out/"),
            std::string::npos)
      << run.output;
}

TEST_F(BadInput, OutputFolderThatCannotBeWrittenIsFatal) {
  const run_result& run = result("output_folder_not_writable");
  EXPECT_EQ(run.status, 2) << run.output;
  EXPECT_NE(run.error.find("cannot write /proc/mosaic_link.kml"), std::string::npos) << run.output;
}

TEST_F(BadInput, OutputNameWithoutExtensionIsFatalBeforeAnyWork) {
  const run_result& run = result("output_name_without_extension");
  EXPECT_EQ(run.status, 2) << run.output;
  EXPECT_NE(run.error.find("extension not found"), std::string::npos) << run.output;
  EXPECT_TRUE(run.printed("output_filename mosaic has no image extension")) << run.output;
  // Refused before the output folder is made.
  EXPECT_FALSE(run.printed("Calculated projetion size")) << run.output;
  EXPECT_FALSE(fs::exists(run.folder + "/out"));
}

TEST_F(BadInput, KernelFileThatDoesNotCompileIsFatalAndNamed) {
  const run_result& run = result("kernel_does_not_compile");
  EXPECT_EQ(run.status, 2) << run.output;
  EXPECT_NE(run.error.find("OpenCl device open failed"), std::string::npos) << run.output;
  EXPECT_TRUE(run.printed("kernels/direct_registration.cl")) << run.output;
  EXPECT_FALSE(fs::exists(run.folder + "/out"));
}

}  // namespace
}  // namespace aeroquilt::testing
