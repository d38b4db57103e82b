#pragma once
// Checked writing of a set of output files. Every file is first written in full to a
// temporary name in its own folder, each write checked, then flushed to the disk
// (fsync); only when every file of the set is there are they renamed into place.
// A full disk, a file size limit or a failing encoder therefore leaves the earlier
// files as they were, removes the temporaries and names the file and the reason.

#include <functional>
#include <opencv2/core.hpp>
#include <string>
#include <vector>

#include "base/local_frame.h"

namespace aeroquilt {

// Encodes `image` into the bytes of the file format of `extension` (".png", ".jpg",
// ".bmp", any case) with `params` as cv::imwrite takes them. False with `reason` when
// the encoder failed. The step is a function of its own so that another encoder (a
// parallel PNG one) can take its place.
using image_encoder =
    std::function<bool(const cv::Mat& image, const std::string& extension,
                       const std::vector<int>& params, std::vector<unsigned char>& bytes,
                       std::string& reason)>;

// The image library's encoder (cv::imencode).
bool encode_with_image_library(const cv::Mat& image, const std::string& extension,
                               const std::vector<int>& params, std::vector<unsigned char>& bytes,
                               std::string& reason);

// Writes all of `size` bytes to the open descriptor, checking every write, then fsync.
// False with `reason` (the system's error text, or "short write").
bool write_all_and_sync(int fd, const void* data, std::size_t size, std::string& reason);

// The files of one output set, written as temporaries until commit. Staging stops at
// the first failure (later calls do nothing and return false). Temporaries not renamed
// are removed when the set goes.
class staged_file_set {
 public:
  staged_file_set() = default;
  ~staged_file_set();
  staged_file_set(const staged_file_set&) = delete;
  staged_file_set& operator=(const staged_file_set&) = delete;

  // Stages `size` bytes to become `path`.
  bool stage_bytes(const std::string& path, const void* data, std::size_t size);
  bool stage_text(const std::string& path, const std::string& text);
  // Stages `image` encoded for the last extension of `path` by `encoder`; a ".tif" or
  // ".tiff" path with `georeference` is written as a GeoTIFF instead.
  bool stage_image(const std::string& path, const cv::Mat& image, const std::vector<int>& params,
                   const raster_georeference* georeference,
                   image_encoder encoder = encode_with_image_library);

  // Takes over the files `other` staged (after this set's own, in its order) and its
  // failure, if this set has none; `other` is left empty.
  void absorb(staged_file_set& other);

  // Renames every staged file into place in staging order. False when staging had
  // failed (nothing is renamed) or a rename failed (the files before it are in place).
  bool commit();

  bool failed() const { return !failed_path_.empty(); }
  const std::string& failed_path() const { return failed_path_; }
  const std::string& reason() const { return reason_; }       // e.g. "No space left on device"
  int renamed() const { return renamed_; }                    // files in place after commit
  std::size_t staged_count() const { return files_.size(); }  // temporaries created

 private:
  bool fail(const std::string& path, const std::string& reason);

  struct staged {
    std::string temporary, final_path;
  };
  std::vector<staged> files_;
  std::string failed_path_, reason_;
  int renamed_ = 0;
};

}  // namespace aeroquilt
