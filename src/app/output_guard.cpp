#include "app/output_guard.h"

#include <sys/stat.h>

#include <filesystem>
#include <map>
#include <utility>

#include "base/console.h"
#include "base/fatal_error.h"
#include "output/grid_record.h"
#include "output/output_files.h"
#include "output/output_names.h"

namespace aeroquilt {
namespace {

using file_identity = std::pair<dev_t, ino_t>;
using input_files = std::map<file_identity, const std::string*>;

// The existing inputs by device and inode.
input_files identify(const std::vector<std::string>& inputs) {
  input_files files;
  struct stat info;
  for (const std::string& input : inputs) {
    if (!input.empty() && ::stat(input.c_str(), &info) == 0)
      files.emplace(file_identity(info.st_dev, info.st_ino), &input);
  }
  return files;
}

// Fatal when `output` exists and is one of `inputs`.
void refuse_if_input(const std::string& output, const input_files& inputs) {
  struct stat info;
  if (::stat(output.c_str(), &info) != 0) return;
  const auto found = inputs.find({info.st_dev, info.st_ino});
  if (found == inputs.end()) return;
  console_printf("output file %s is the input %s: the run would overwrite it\n", output.c_str(),
                 found->second->c_str());
  throw fatal_error("output file " + output + " is an input of the run\n");
}

// Every file the view image at `path` writes, its maps included.
std::vector<std::string> view_files(const mosaic_request& request, const std::string& path) {
  std::vector<std::string> files = view_output_paths(path);
  if (request.views.compositing.source_map) files.push_back(quality_map_path(path, "_source"));
  if (request.views.compositing.angle_map) files.push_back(quality_map_path(path, "_view_angle"));
  return files;
}

// Digits from `at` as a number below `limit`, moving `at` past them; false when none or
// not below the limit.
bool read_index(const std::string& text, std::size_t& at, int64_t limit, int64_t& value) {
  const std::size_t start = at;
  value = 0;
  while (at < text.size() && at - start < 10 && text[at] >= '0' && text[at] <= '9')
    value = value * 10 + (text[at++] - '0');
  return at > start && value < limit;
}

// The tile of `plan` whose outputs would be named `name` ("<stem>_I_J..."), if any.
bool tile_of_name(const std::string& name, const std::string& stem, const tile_plan& plan,
                  int64_t& i, int64_t& j) {
  if (name.compare(0, stem.size() + 1, stem + "_") != 0) return false;
  std::size_t at = stem.size() + 1;
  if (!read_index(name, at, plan.columns, i) || at >= name.size() || name[at++] != '_')
    return false;
  return read_index(name, at, plan.rows, j);
}

}  // namespace

void refuse_outputs_that_are_inputs(const std::vector<std::string>& outputs,
                                    const std::vector<std::string>& inputs) {
  const input_files files = identify(inputs);
  for (const std::string& output : outputs) refuse_if_input(output, files);
}

void refuse_run_outputs_that_are_inputs(const mosaic_request& request, const mosaic_job& job,
                                        const tile_plan& plan) {
  std::vector<std::string> inputs = {request.config_path, request.FPO_file, request.DEM_filename};
  for (const FPO_record& record : job.images.records) inputs.push_back(record.path);
  const input_files files = identify(inputs);

  const std::string& joined = request.joined;
  std::vector<std::string> outputs = {link_index_path(joined), output_lock_path(joined)};
  if (plan.whole) {
    for (const std::string& path : view_files(request, joined)) outputs.push_back(path);
  }
  if (!request.DEM_image_path.empty()) {
    for (const std::string& path : view_output_paths(request.DEM_image_path))
      outputs.push_back(path);
  }
  for (const std::string& output : outputs) refuse_if_input(output, files);
  if (plan.whole) return;

  // A tile's files are "<stem>_I_J...": only files of the output folder with such names
  // can be outputs, however many tiles are planned.
  const std::string folder = folder_of(joined);
  const std::string stem = file_name(mosaic_stem(joined));
  std::error_code error;
  for (const auto& entry :
       std::filesystem::directory_iterator(folder.empty() ? std::string(".") : folder, error)) {
    const std::string name = entry.path().filename().string();
    int64_t i = 0, j = 0;
    if (!tile_of_name(name, stem, plan, i, j)) continue;
    const std::string tile = tile_name(joined, static_cast<int>(i), static_cast<int>(j));
    for (const std::string& output : view_files(request, tile)) {
      if (file_name(output) == name) refuse_if_input(output, files);
    }
  }
}

void make_output_folder(const std::string& output_dir) {
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
}

namespace {

// Removes the temporary files of the mosaic at `joined` that an interrupted run left (its
// files in the output folder, the web map's, the live run's); call it holding the output
// lock exclusively. Says how many when there were any.
void remove_stale_run_temporaries(const std::string& joined) {
  const std::string folder = folder_of(joined);
  const std::string stem = file_name(mosaic_stem(joined));
  int removed = remove_stale_temporaries(folder, temporary_common_start(stem));
  // The web map's and the live run's folders hold nothing but this mosaic's files.
  removed += remove_stale_temporaries(folder + "web", ".", true);
  removed += remove_stale_temporaries(folder + "." + stem + "_live", ".", true);
  if (removed > 0) console_printf("removed %d temporary files an interrupted run left\n", removed);
}

}  // namespace

void settle_tile_grid(const std::string& joined, const std::string& text, bool range_run) {
  const std::string path = grid_record_path(joined);
  if (!range_run) {
    if (!replace_grid_record(path, text)) console_printf("cannot write %s\n", path.c_str());
    return;
  }
  const grid_claim claim = claim_grid_record(path, text);
  if (claim.match == grid_match::failed)
    throw fatal_error("cannot write " + path + ": " + claim.error + "\n");
  if (claim.match == grid_match::different)
    throw fatal_error("the tiles in this folder are of another grid (" + path + ": " +
                      claim.recorded.substr(0, claim.recorded.find('\n')) +
                      "; this run: " + text.substr(0, text.find('\n')) +
                      "): give another output folder or name, or remove those tiles and " + path +
                      "\n");
}

output_lock lock_run_output(const std::string& joined, output_lock_mode mode) {
  const std::string path = output_lock_path(joined);
  lock_attempt attempt = take_output_lock(path, mode);
  if (attempt.busy) {
    console_printf("output %s is in use by another run (%s): refused\n", joined.c_str(),
                   attempt.holder.c_str());
    throw fatal_error("output " + joined + " is in use by another run (" + attempt.holder + ")\n");
  }
  if (!attempt.lock.held()) {
    console_printf("cannot lock the output: %s: %s\n", path.c_str(), attempt.error.c_str());
    throw fatal_error("cannot lock " + path + "\n");
  }
  // Only a run that holds the folder alone may tell a dead run's temporaries from its
  // neighbours' live ones.
  if (mode == output_lock_mode::exclusive) remove_stale_run_temporaries(joined);
  return std::move(attempt.lock);
}

}  // namespace aeroquilt
