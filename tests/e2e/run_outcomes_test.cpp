// How a whole run ends when part of it cannot be done: each row runs the real program
// on a small survey with a few configuration lines changed (later keys win), and
// checks the exit status, what the console says and what it must not say, and which
// output files exist. The runs mostly wait in the program's fixed pauses, so they are
// started together.

#include <gtest/gtest.h>

#include <filesystem>
#include <future>
#include <regex>

#include "support/dem_builder.h"
#include "support/scratch.h"
#include "support/synthetic_survey.h"

namespace aeroquilt::testing {
namespace {

namespace fs = std::filesystem;

struct outcome_case {
  const char* name;
  std::vector<std::string> config;  // lines appended; "{dir}" is the case's folder
  std::string environment;          // assignments put before the program
  int status;
  std::vector<std::string> printed;      // each must appear
  std::vector<std::string> not_printed;  // none may appear
  std::vector<std::string> present;      // files, relative to the case's folder
  std::vector<std::string> absent;
  bool in_case_folder = false;  // run from the case's folder instead of the repository root
  std::string before;           // "coarse_dem" or "folder NAME", made before the run
};

// The GPU is opened after the configuration checks, and each footprint printed after it.
const std::string gpu_opened = "Context created";

const outcome_case cases[] = {
    // An empty output folder is the working folder.
    {"empty_output_dir", {"output_dir,"}, "", 1, {"view 1 of 1"}, {}, {"mosaic.png", "mosaic.kml",
     "mosaic_link.kml"}, {}, true},
    // A display that cannot be opened skips the preview; the toolkit must not abort.
    {"unusable_display", {}, "DISPLAY=:97 WAYLAND_DISPLAY=", 1,
     {"no display available, preview window skipped"}, {}, {"out/mosaic.png"}},
    // Only three channels reach the kernels intact.
    {"one_channel", {"image_channels,1"}, "", 0, {"image_channels is 1, only 3 is supported"},
     {gpu_opened}, {}, {"out"}},
    {"two_channels", {"image_channels,2"}, "", 0, {"image_channels is 2"}, {gpu_opened}, {}, {"out"}},
    {"four_channels", {"image_channels,4"}, "", 0, {"image_channels is 4"}, {gpu_opened}, {}, {"out"}},
    {"no_channels", {"image_channels,0"}, "", 0, {"image_channels is 0"}, {gpu_opened}, {}, {"out"}},
    // A view the device cannot hold (256 MiB allocations here) is no view at all.
    {"view_buffer_refused", {"output_pixel_size,0.022"}, "POCL_MEMORY_LIMIT=1", 0,
     {"the device cannot hold its", "no view was written: the device cannot hold the view\n"},
     {"no image could be projected"}, {}, {"out/mosaic.png", "out/mosaic.kml", "out/mosaic.pgw",
     "out/mosaic_link.kml"}},
    // The link index names the tile KML files as written.
    {"dotted_tile_names", {"output_filename,mosaic.v2.png", "output_tile_size_pixels,40000"}, "",
     1, {}, {}, {"out/mosaic_0_0.v2.png", "out/mosaic_0_0.v2.kml", "out/mosaic_link.kml"}, {}},
    {"tiff_tile_names", {"output_filename,mosaic.tiff", "output_tile_size_pixels,40000"}, "", 1,
     {}, {}, {"out/mosaic_0_0.tiff", "out/mosaic_0_0.kmlf", "out/mosaic_link.kml"}, {}},
    // A run without views says why, once.
    {"dem_misses_view", {"DEM_filename,{dir}/none.dem"}, "", 0,
     {"no view was written: the DEM does not cover the view\n"}, {"no image could be projected"},
     {}, {"out/mosaic.png", "out/mosaic_link.kml"}},
    {"empty_subview",
     {"project_subview_only,1", "subview_min_lon,9.3", "subview_max_lon,9.2",
      "subview_min_lat,45.4", "subview_max_lat,45.3"},
     "", 0, {"output view has no pixels"}, {"no view was written"}, {}, {"out/mosaic.png"}},
    {"image_not_written", {}, "", 0,
     {"cannot write", "no view was written: the image could not be written\n"},
     {"no image could be projected"}, {}, {"out/mosaic.kml", "out/mosaic_link.kml"}, false,
     "folder out/mosaic.png"},
    {"every_image_left_out", {"topo_height,10000"}, "", 0, {"all 15 images were left out"},
     {"no images found in", "no view was written"}, {}, {"out"}},
    // A DEM image too large to make is left out; the mosaic stands.
    {"dem_image_too_large", {"generate_DEM_image,1", "output_DEM_filename,dem.png"}, "", 1,
     {"DEM image", "left out"}, {}, {"out/mosaic.png", "out/mosaic_link.kml"}, {"out/dem.png",
     "out/dem.kml"}, false, "coarse_dem"},
    // What the configuration alone decides is refused before the GPU is opened.
    {"zero_pixel_size", {"output_pixel_size,0"}, "", 0, {"output_pixel_size is 0"},
     {gpu_opened, "Image 0 "}, {}, {"out"}},
    {"unknown_output_extension", {"output_filename,mosaic.gif"}, "", 2,
     {"output_filename mosaic.gif has no image extension", "extension not found"}, {gpu_opened},
     {}, {"out"}},
    {"dem_image_name_without_extension", {"generate_DEM_image,1", "output_DEM_filename,dem"}, "",
     2, {"output_DEM_filename dem has no image extension"}, {gpu_opened}, {}, {"out"}},
    {"dem_image_name_missing", {"generate_DEM_image,1", "output_DEM_filename,"}, "", 2,
     {"output_DEM_filename  has no image extension"}, {gpu_opened}, {}, {"out"}},
};

std::string replace_all(std::string text, const std::string& from, const std::string& to) {
  for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + 1)) {
    text.replace(at, from.size(), to);
    at += to.size() - 1;
  }
  return text;
}

struct run_result {
  int status = -1;
  std::string output;
};

class RunOutcomes : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = std::make_unique<scratch_dir>("outcomes");
    truth_ = std::make_unique<survey_truth>(make_survey(survey_spec{}, dir_->file("survey")));
    std::vector<std::future<run_result>> runs;
    for (const outcome_case& c : cases) runs.push_back(std::async(std::launch::async, prepare(c)));
    results_ = std::make_unique<std::map<std::string, run_result>>();
    for (std::size_t k = 0; k < runs.size(); ++k) (*results_)[cases[k].name] = runs[k].get();
  }
  static void TearDownTestSuite() {
    results_.reset();
    truth_.reset();
    dir_.reset();
  }

  static std::function<run_result()> prepare(const outcome_case& c) {
    const std::string dir = dir_->file(c.name);
    fs::create_directories(dir);
    std::string config = read_file(truth_->files.config) + "output_dir," + dir + "/out/\n";
    for (const std::string& line : c.config) config += replace_all(line, "{dir}", dir) + "\n";
    if (c.before == "coarse_dem") {
      // Half-degree cells: the DEM image's grid, two cells beyond the survey on each
      // side, would be over 2 degrees wide at 3 m pixels.
      const std::string dem = dir + "/coarse.dem";
      write_dem_file(dem, 8, 8, truth_->centre_longitude_deg - 2.0,
                     truth_->centre_latitude_deg - 2.0, 0.5, [](int, int) { return 100.0f; });
      config += "DEM_filename," + dem + "\n";
    } else if (c.before.rfind("folder ", 0) == 0) {
      fs::create_directories(dir + "/" + c.before.substr(7));
    }
    std::string work_dir = source_dir();
    if (c.in_case_folder) {
      fs::create_directory_symlink(source_dir() + "/kernels", dir + "/kernels");
      work_dir = dir;
    }
    write_text_file(dir + "/run.cfg", config);
    const std::string command = "cd '" + work_dir + "' && " + c.environment + " timeout 300 " +
                                aeroquilt_binary() + " '" + dir + "/run.cfg' 2>&1";
    return [command] {
      run_result result;
      result.status = run_command(command, result.output);
      return result;
    };
  }

  static std::unique_ptr<scratch_dir> dir_;
  static std::unique_ptr<survey_truth> truth_;
  static std::unique_ptr<std::map<std::string, run_result>> results_;
};

std::unique_ptr<scratch_dir> RunOutcomes::dir_;
std::unique_ptr<survey_truth> RunOutcomes::truth_;
std::unique_ptr<std::map<std::string, run_result>> RunOutcomes::results_;

TEST_F(RunOutcomes, EveryCaseEndsAsDocumented) {
  for (const outcome_case& c : cases) {
    SCOPED_TRACE(c.name);
    const run_result& run = results_->at(c.name);
    const std::string dir = dir_->file(c.name) + "/";
    EXPECT_EQ(run.status, c.status) << run.output;
    for (const std::string& text : c.printed)
      EXPECT_NE(run.output.find(text), std::string::npos) << "missing: " << text << "\n" << run.output;
    for (const std::string& text : c.not_printed)
      EXPECT_EQ(run.output.find(text), std::string::npos) << "printed: " << text << "\n" << run.output;
    for (const std::string& name : c.present) EXPECT_TRUE(fs::exists(dir + name)) << name;
    for (const std::string& name : c.absent) EXPECT_FALSE(fs::exists(dir + name)) << name;
  }
}

TEST_F(RunOutcomes, ReasonForNoViewIsSaidOnce) {
  for (const char* name : {"dem_misses_view", "image_not_written", "view_buffer_refused"}) {
    const std::string& output = results_->at(name).output;
    const std::size_t first = output.find("no view was written");
    ASSERT_NE(first, std::string::npos) << name << "\n" << output;
    EXPECT_EQ(output.find("no view was written", first + 1), std::string::npos) << output;
  }
}

TEST_F(RunOutcomes, LinkIndexPointsAtTheTileKmlFilesWritten) {
  for (const char* name : {"dotted_tile_names", "tiff_tile_names"}) {
    const std::string out = dir_->file(name) + "/out/";
    const std::string index = read_file(out + "mosaic_link.kml");
    const std::regex href("<href>([^<]*)</href>");
    int links = 0;
    for (auto it = std::sregex_iterator(index.begin(), index.end(), href);
         it != std::sregex_iterator(); ++it, ++links) {
      EXPECT_TRUE(fs::exists(out + (*it)[1].str())) << name << ": " << (*it)[1].str();
    }
    EXPECT_GE(links, 4) << name << "\n" << index;
  }
}

}  // namespace
}  // namespace aeroquilt::testing
