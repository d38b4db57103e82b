#include "prepare/survey_frames.h"

#include <gdal_priv.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <map>
#include <memory>
#include <tuple>

#include "base/console.h"
#include "imaging/frame_header.h"
#include "prepare/pose_table.h"
#include "prepare/prepare_failure.h"
#include "terrain/gdal_setup.h"

namespace aeroquilt {
namespace {

namespace fs = std::filesystem;

struct image_file {
  std::string name;
  frame_header header;
  std::string kind;
};

std::string lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// Bands and sample type of an image the run can decode ("3 x Byte"); empty for any
// other file.
std::string image_kind(const std::string& path) {
  static const char* const decodable[] = {"GTiff", "JPEG", "PNG", "BMP", nullptr};
  CPLPushErrorHandler(CPLQuietErrorHandler);
  const GDALDatasetUniquePtr image(
      GDALDataset::Open(path.c_str(), GDAL_OF_RASTER | GDAL_OF_READONLY, decodable));
  CPLPopErrorHandler();
  if (!image || image->GetRasterCount() < 1) return "";
  return std::to_string(image->GetRasterCount()) + " x " +
         GDALGetDataTypeName(image->GetRasterBand(1)->GetRasterDataType());
}

// The images of the folder in name order, with their headers and kinds.
std::vector<image_file> list_images(const std::string& folder) {
  std::error_code error;
  if (!fs::is_directory(folder, error))
    throw prepare_failure("the image folder " + folder + " is not a folder");
  std::vector<std::string> names;
  for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
    if (it->is_regular_file(error)) names.push_back(it->path().filename().string());
  }
  if (error)
    throw prepare_failure("cannot list the image folder " + folder + ": " + error.message());
  std::sort(names.begin(), names.end());
  register_gdal_drivers();
  // Each open would otherwise list the folder again, looking for sidecar files.
  CPLSetThreadLocalConfigOption("GDAL_DISABLE_READDIR_ON_OPEN", "EMPTY_DIR");
  std::vector<image_file> images;
  for (const std::string& name : names) {
    const std::string path = folder + "/" + name;
    image_file image{name, read_frame_header(path), ""};
    if (image.header.known) image.kind = image_kind(path);
    if (!image.kind.empty()) images.push_back(image);
  }
  CPLSetThreadLocalConfigOption("GDAL_DISABLE_READDIR_ON_OPEN", nullptr);
  return images;
}

}  // namespace

std::string frame_link_name(int k, int count, const std::string& name, const char* format) {
  const int digits = std::max(5, static_cast<int>(std::to_string(count).size()));
  std::string number = std::to_string(k + 1);
  number.insert(0, digits - number.size(), '0');
  std::string extension = lower(fs::path(name).extension().string());
  const bool plain =
      extension.size() > 1 &&
      extension.find_first_not_of(".abcdefghijklmnopqrstuvwxyz0123456789") == std::string::npos;
  if (!plain || extension.find("rgb") != std::string::npos) {
    const std::string kind = format;
    extension = kind == "JPEG" ? ".jpg" : kind == "TIFF" ? ".tif" : "." + lower(kind);
  }
  return "frame_" + number + extension;
}

survey_frames read_survey_frames(const prepare_options& options) {
  const std::vector<image_file> images = list_images(options.image_dir);
  if (images.empty()) {
    throw prepare_failure("the image folder " + options.image_dir +
                          " holds no JPEG, TIFF, PNG or BMP image");
  }
  // The frames' size and kind: the most common among the images, the first on a tie.
  std::map<std::tuple<std::string, int, int>, int> counts;
  const image_file* model = nullptr;
  int most = 0;
  for (const image_file& image : images) {
    const int count = ++counts[{image.kind, image.header.width, image.header.height}];
    if (count > most) most = count;
  }
  for (const image_file& image : images) {
    if (counts[{image.kind, image.header.width, image.header.height}] == most) {
      model = &image;
      break;
    }
  }
  survey_frames result;
  result.width = model->header.width;
  result.height = model->header.height;
  result.kind = model->kind;

  std::unique_ptr<pose_table> table;
  if (!options.poses_csv.empty()) {
    if (options.altitude == altitude_mode::relative)
      throw prepare_failure(
          "--altitude relative reads the frames' tags; a poses file gives absolute altitudes");
    table = std::make_unique<pose_table>(options.poses_csv, options.poses_crs);
  }
  const auto leave_out = [&](const std::string& name, const std::string& why) {
    console_printf("frame %s left out: %s\n", name.c_str(), why.c_str());
    ++result.left_out;
  };
  const bool relative = options.altitude == altitude_mode::relative;
  int posed = 0;
  for (const image_file& image : images) {
    if (image.kind != model->kind) continue;  // not a frame: a DEM, a mask, ...
    const std::string& name = image.name;
    if (image.header.width != result.width || image.header.height != result.height) {
      leave_out(name, "it is " + std::to_string(image.header.width) + " x " +
                          std::to_string(image.header.height) + " pixels, the frames " +
                          std::to_string(result.width) + " x " + std::to_string(result.height));
      continue;
    }
    survey_frame frame;
    frame.name = name;
    frame.format = image.header.format;
    std::error_code error;
    frame.target = fs::canonical(options.image_dir + "/" + name, error).string();
    if (error) {
      leave_out(name, "its path cannot be resolved (" + error.message() + ")");
      continue;
    }
    std::string reason;
    frame_tags& tags = frame.tags;
    const bool tagged = read_frame_tags(frame.target, tags, reason);
    if (!tagged && !table) {
      leave_out(name, "its tags cannot be read (" + reason + ")");
      continue;
    }
    tags.width = result.width;
    tags.height = result.height;
    if (table) {
      const table_pose* pose = table->find(name);
      if (pose == nullptr) {
        leave_out(name, "no line in the poses file " + options.poses_csv);
        continue;
      }
      ++posed;
      tags.has_position = tags.has_attitude = tags.has_gps_altitude = true;
      tags.position_source = "poses file";
      tags.latitude_deg = pose->latitude_deg;
      tags.longitude_deg = pose->longitude_deg;
      tags.gps_altitude_m = pose->altitude_m;
      tags.roll_deg = pose->roll_deg;
      tags.pitch_deg = pose->pitch_deg;
      tags.heading_deg = pose->heading_deg;
    }
    if (!tags.has_position) {
      leave_out(name, tags.position_problem);
      continue;
    }
    if (!tags.has_attitude) {
      leave_out(name,
                "no camera attitude (XMP drone-dji:GimbalRollDegree, GimbalPitchDegree, "
                "GimbalYawDegree or Camera:Roll, Pitch, Yaw)");
      continue;
    }
    if (relative ? !tags.has_relative_altitude : !tags.has_gps_altitude) {
      leave_out(name, relative ? "no XMP drone-dji:RelativeAltitude (--altitude relative)"
                               : "no EXIF GPSAltitude or XMP drone-dji:AbsoluteAltitude "
                                 "(--altitude absolute)");
      continue;
    }
    frame.altitude_m =
        (relative ? tags.relative_altitude_m : tags.gps_altitude_m) + options.height_offset_m;
    result.frames.push_back(frame);
  }
  if (result.frames.empty()) {
    throw prepare_failure(
        table && posed == 0 ? "no frame of " + options.image_dir + " is named in the poses file " +
                                  options.poses_csv + " (with or without its extension)"
                            : "no frame has a position, an attitude and an altitude");
  }
  return result;
}

}  // namespace aeroquilt
