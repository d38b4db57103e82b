#include "app/output_guard.h"

#include <sys/stat.h>

#include <map>
#include <utility>

#include "base/console.h"
#include "base/fatal_error.h"
#include "output/output_files.h"
#include "output/view_files.h"

namespace aeroquilt {

std::vector<std::string> view_output_paths(const std::vector<std::string>& view_paths) {
  std::vector<std::string> outputs;
  for (const std::string& path : view_paths) {
    std::size_t extension_position = 0;
    outputs.push_back(path);
    if (find_output_extension(path, extension_position) >= 0) {
      outputs.push_back(side_file_path(path, extension_position, "kml"));
      outputs.push_back(side_file_path(path, extension_position, "tfw"));
    }
    const std::string world = conventional_world_file_path(path);
    if (!world.empty()) outputs.push_back(world);
    outputs.push_back(projection_file_path(path));
  }
  return outputs;
}

void refuse_outputs_that_are_inputs(const std::vector<std::string>& outputs,
                                    const std::vector<std::string>& inputs) {
  std::map<std::pair<dev_t, ino_t>, const std::string*> input_files;
  struct stat info;
  for (const std::string& input : inputs) {
    if (!input.empty() && ::stat(input.c_str(), &info) == 0)
      input_files.emplace(std::make_pair(info.st_dev, info.st_ino), &input);
  }
  for (const std::string& output : outputs) {
    if (::stat(output.c_str(), &info) != 0) continue;
    const auto found = input_files.find({info.st_dev, info.st_ino});
    if (found == input_files.end()) continue;
    console_printf("output file %s is the input %s: the run would overwrite it\n", output.c_str(),
                   found->second->c_str());
    throw fatal_error("output file " + output + " is an input of the run\n");
  }
}

void refuse_run_outputs_that_are_inputs(const mosaic_job& job, const std::string& joined,
                                        const std::vector<tile_window>& tiles) {
  const config_params& config = g_config;
  std::vector<std::string> views;
  if (tiles.empty()) views.push_back(joined);
  for (const tile_window& tile : tiles) views.push_back(tile_name(joined, tile.i, tile.j));
  if (config.generate_DEM_image != 0)
    views.push_back(config.output_dir + config.output_DEM_filename);
  std::vector<std::string> outputs = view_output_paths(views);
  const std::size_t slash = joined.find_last_of('/');
  const std::string base =
      joined.substr(0, joined.find('.', slash == std::string::npos ? 0 : slash + 1));
  outputs.push_back(base + "_link.kml");
  outputs.push_back(output_lock_path(joined));

  std::vector<std::string> inputs = {job.config_path, job.FPO_path, config.DEM_filename};
  for (const FPO_record& record : job.images.records) inputs.push_back(record.path);
  refuse_outputs_that_are_inputs(outputs, inputs);
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
  return std::move(attempt.lock);
}

}  // namespace aeroquilt
