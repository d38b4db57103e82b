#include "output/checked_write.h"

#include <gtest/gtest.h>
#include <sys/mount.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "support/scratch.h"

namespace aeroquilt {
namespace {

using testing::names_in;
using testing::read_file;
using testing::scratch_dir;
using testing::write_text_file;

// A real small file system (tmpfs), so that the full disk is the kernel's.
class small_file_system {
 public:
  small_file_system(const std::string& folder, const char* size) : folder_(folder) {
    std::filesystem::create_directories(folder);
    const std::string options = std::string("size=") + size;
    if (::mount("tmpfs", folder.c_str(), "tmpfs", 0, options.c_str()) == 0) {
      mounted_ = true;
    } else {
      reason_ = "cannot mount a tmpfs at " + folder + ": " + std::strerror(errno) + " (needs root)";
    }
  }
  ~small_file_system() {
    if (mounted_) ::umount2(folder_.c_str(), MNT_DETACH);
  }
  bool mounted() const { return mounted_; }
  const std::string& reason() const { return reason_; }

 private:
  std::string folder_, reason_;
  bool mounted_ = false;
};

// Incompressible pixels: the PNG is about as large as the raster.
cv::Mat noise_image(int rows, int cols) {
  cv::Mat image(rows, cols, CV_8UC3);
  cv::randu(image, 0, 256);
  return image;
}

// The disk fills while a view's set is staged: in the image (the encoder's own writes
// would not report it; GDAL's, for a GeoTIFF, must) or after it, in a side file. Nothing
// of the set may replace the earlier files, the failure names the file and the reason,
// and no temporary stays.
TEST(StagedFileSet, FullDiskLeavesTheEarlierSetWhole) {
  const raster_georeference georeference{1e-5, -1e-5, 9.0, 45.0};
  const struct {
    const char* name;
    const char* image;         // the view's image, written by GDAL when a GeoTIFF
    int image_rows;            // 240 columns of incompressible pixels: about 720 B a row
    const char* failing_file;  // the first that does not fit
  } cases[] = {
      {"image too large", "view.png", 200, "view.png"},     // about 144 KB in 64 KB
      {"GeoTIFF too large", "view.tif", 200, "view.tif"},   // the same pixels, tiled
      {"side file too large", "view.png", 40, "view.kml"},  // about 29 KB fit, then 40 KB of text
  };
  for (const auto& c : cases) {
    scratch_dir dir("checked_write");
    const std::string out = dir.file("out");
    small_file_system disk(out, "64k");
    if (!disk.mounted()) GTEST_SKIP() << disk.reason();
    const std::string image = out + "/" + c.image;
    write_text_file(image, "earlier image");
    write_text_file(out + "/view.kml", "earlier kml");
    {
      staged_file_set files;
      files.stage_image(image, noise_image(c.image_rows, 240), {}, &georeference);
      EXPECT_FALSE(files.stage_text(out + "/view.kml", std::string(40000, 'k'))) << c.name;
      EXPECT_FALSE(files.stage_text(out + "/view.tfw", "after the failure")) << c.name;
      EXPECT_FALSE(files.commit()) << c.name;
      EXPECT_EQ(files.failed_path(), out + "/" + c.failing_file) << c.name;
      EXPECT_EQ(files.reason(), std::strerror(ENOSPC)) << c.name;
      EXPECT_EQ(files.renamed(), 0) << c.name;
    }
    EXPECT_EQ(read_file(image), "earlier image") << c.name;
    EXPECT_EQ(read_file(out + "/view.kml"), "earlier kml") << c.name;
    EXPECT_EQ(names_in(out), (std::vector<std::string>{"view.kml", c.image})) << c.name;
  }
}

}  // namespace
}  // namespace aeroquilt
