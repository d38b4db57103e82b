#include "prepare/survey_output.h"

#include <cstdint>
#include <filesystem>
#include <fstream>

#include "prepare/prepare_failure.h"

namespace aeroquilt {
namespace {

namespace fs = std::filesystem;

// Whether `folder` is absent, or a folder holding symbolic links only.
bool absent_or_links(const std::string& folder) {
  std::error_code error;
  const fs::file_status status = fs::symlink_status(folder, error);
  if (status.type() == fs::file_type::not_found) return true;
  if (status.type() != fs::file_type::directory) return false;
  for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error))
    if (!it->is_symlink(error)) return false;
  return !error;
}

void remove_links_folder(const std::string& folder) {
  std::error_code ignored;
  if (absent_or_links(folder)) fs::remove_all(folder, ignored);
}

}  // namespace

std::string dem_file_bytes(const geographic_dem& dem, double topo_height_m) {
  static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "DEM files are little-endian");
  std::string bytes;
  const auto put = [&bytes](const void* value, std::size_t size) {
    bytes.append(static_cast<const char*>(value), size);
  };
  const int32_t columns = dem.columns, rows = dem.rows;
  put(&columns, 4);
  put(&rows, 4);
  put(&dem.west_lon, 8);
  put(&dem.south_lat, 8);
  put(&dem.cell_deg, 8);
  for (float height : dem.heights_m) {
    const float relative = static_cast<float>(height - topo_height_m);
    put(&relative, 4);
  }
  return bytes;
}

void check_frames_folder(const std::string& out_dir) {
  for (const char* suffix : {"", ".part", ".old"}) {
    const std::string folder = out_dir + kFramesFolder + suffix;
    if (!absent_or_links(folder)) {
      throw prepare_failure(folder +
                            " exists and is not a folder of frame links made by prepare: "
                            "give another OUT_DIR");
    }
  }
}

void write_survey(const std::string& out_dir,
                  const std::vector<std::pair<std::string, std::string>>& files,
                  const std::vector<std::pair<std::string, std::string>>& links) {
  std::error_code error;
  const bool existed = fs::exists(out_dir, error);
  fs::create_directories(out_dir, error);
  if (error) throw prepare_failure("cannot create the folder " + out_dir + ": " + error.message());
  const std::string frames = out_dir + kFramesFolder;
  const std::string staged = frames + ".part", previous = frames + ".old";
  std::vector<std::string> written;
  bool moved_previous = false, placed = false;
  const auto fail = [&](const std::string& reason) {
    std::error_code ignored;
    for (const std::string& path : written) fs::remove(path + ".part", ignored);
    if (placed) remove_links_folder(frames);
    if (moved_previous) fs::rename(previous, frames, ignored);
    remove_links_folder(staged);
    if (!existed) fs::remove(out_dir, ignored);  // only when still empty
    throw prepare_failure(reason);
  };
  check_frames_folder(out_dir);
  remove_links_folder(staged);
  remove_links_folder(previous);
  if (!fs::create_directory(staged, error))
    fail("cannot create the folder " + staged + ": " + error.message());
  for (const auto& [name, target] : links) {
    fs::create_symlink(target, staged + "/" + name, error);
    if (error) fail("cannot link " + staged + "/" + name + ": " + error.message());
  }
  for (const auto& [name, bytes] : files) {
    const std::string path = out_dir + name;
    std::ofstream out(path + ".part", std::ios::binary);
    written.push_back(path);
    if (!out.write(bytes.data(), static_cast<std::streamsize>(bytes.size())) || !(out.close(), out))
      fail("cannot write " + path);
  }
  if (fs::exists(fs::symlink_status(frames, error))) {
    fs::rename(frames, previous, error);
    if (error) fail("cannot move " + frames + " aside: " + error.message());
    moved_previous = true;
  }
  fs::rename(staged, frames, error);
  if (error) fail("cannot rename " + staged + ": " + error.message());
  placed = true;
  for (const std::string& path : written) {
    fs::rename(path + ".part", path, error);
    if (error) fail("cannot rename the files in " + out_dir + ": " + error.message());
  }
  remove_links_folder(previous);
}

}  // namespace aeroquilt
