#include "output/checked_write.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <opencv2/imgcodecs.hpp>

#include "output/output_files.h"

namespace aeroquilt {
bool encode_with_image_library(const cv::Mat& image, const std::string& extension,
                               const std::vector<int>& params, std::vector<unsigned char>& bytes,
                               std::string& reason) {
  try {
    if (cv::imencode(extension, image, bytes, params)) return true;
    reason = "the image encoder failed";
  } catch (const cv::Exception& error) {
    reason = std::string("the image encoder failed: ") + error.what();
  }
  return false;
}

bool write_all_and_sync(int fd, const void* data, std::size_t size, std::string& reason) {
  const char* bytes = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t written = ::write(fd, bytes, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      reason = written < 0 ? std::strerror(errno) : "short write";
      return false;
    }
    bytes += written;
    size -= static_cast<std::size_t>(written);
  }
  // Written data may still fail on its way to the disk (a full or remote file system).
  if (::fsync(fd) != 0) {
    reason = std::strerror(errno);
    return false;
  }
  return true;
}

staged_file_set::~staged_file_set() {
  for (const staged& file : files_) {
    if (!file.temporary.empty()) std::remove(file.temporary.c_str());
  }
}

bool staged_file_set::fail(const std::string& path, const std::string& reason) {
  if (failed_path_.empty()) {
    failed_path_ = path;
    reason_ = reason;
  }
  return false;
}

bool staged_file_set::stage_bytes(const std::string& path, const void* data, std::size_t size) {
  if (failed()) return false;
  const std::string temporary = create_temporary_file(path);
  if (temporary.empty()) return fail(path, std::strerror(errno));
  files_.push_back({temporary, path});
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return fail(path, std::strerror(errno));
  std::string reason;
  const bool written = write_all_and_sync(fd, data, size, reason);
  if (!written) {
    ::close(fd);
    return fail(path, reason);
  }
  if (::close(fd) != 0) return fail(path, std::strerror(errno));
  return true;
}

bool staged_file_set::stage_text(const std::string& path, const std::string& text) {
  return stage_bytes(path, text.data(), text.size());
}

bool staged_file_set::stage_image(const std::string& path, const cv::Mat& image,
                                  const std::vector<int>& params,
                                  const raster_georeference* georeference, image_encoder encoder) {
  if (failed()) return false;
  if (georeference != nullptr && is_tiff_path(path)) {
    // GDAL writes the file itself and checks its writes (a short write fails a tile or
    // the directory); then the file is synced.
    const std::string temporary = create_temporary_file(path);
    if (temporary.empty()) return fail(path, std::strerror(errno));
    files_.push_back({temporary, path});
    std::string reason;
    if (!write_geotiff(temporary, image, *georeference, reason)) return fail(path, reason);
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return fail(path, std::strerror(errno));
    const bool synced = ::fsync(fd) == 0;
    const int sync_error = errno;
    if ((::close(fd) != 0 || !synced))
      return fail(path, std::strerror(synced ? errno : sync_error));
    return true;
  }
  std::vector<unsigned char> bytes;
  std::string reason;
  if (!encoder(image, encoder_extension(path), params, bytes, reason)) return fail(path, reason);
  return stage_bytes(path, bytes.data(), bytes.size());
}

void staged_file_set::absorb(staged_file_set& other) {
  files_.insert(files_.end(), other.files_.begin(), other.files_.end());
  other.files_.clear();
  if (other.failed()) fail(other.failed_path_, other.reason_);
}

bool staged_file_set::commit() {
  if (failed()) return false;
  // A folder in a file's place would refuse its rename halfway through the set.
  struct stat info;
  for (const staged& file : files_) {
    if (::lstat(file.final_path.c_str(), &info) == 0 && S_ISDIR(info.st_mode))
      return fail(file.final_path, std::strerror(EISDIR));
  }
  for (staged& file : files_) {
    if (std::rename(file.temporary.c_str(), file.final_path.c_str()) != 0)
      return fail(file.final_path, std::strerror(errno));
    file.temporary.clear();
    ++renamed_;
  }
  return true;
}

}  // namespace aeroquilt
