#include "output/output_files.h"

#include <gdal/gdal_priv.h>
#include <gdal/gdal_utils.h>
#include <gdal/ogr_spatialref.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <opencv2/imgproc.hpp>
#include <random>
#include <set>

#include "output/checked_write.h"
#include "output/quality_maps.h"
#include "output/view_files.h"
#include "support/scratch.h"

namespace aeroquilt {
namespace {

using testing::names_in;
using testing::scratch_dir;

// Debian's COG validator (python3-gdal), run by Debian's interpreter: another python3
// first on the PATH may lack GDAL's bindings.
const char* const cog_validator =
    "/usr/lib/python3/dist-packages/osgeo_utils/samples/validate_cloud_optimized_geotiff.py";

// Every band of `dataset`, interleaved, or the single `overview` when given, read as `type`.
cv::Mat read_raster(GDALDataset& dataset, GDALRasterBand* overview, GDALDataType type) {
  const int bands = overview != nullptr ? 1 : dataset.GetRasterCount();
  const int rows = overview != nullptr ? overview->GetYSize() : dataset.GetRasterYSize();
  const int cols = overview != nullptr ? overview->GetXSize() : dataset.GetRasterXSize();
  const int depth = type == GDT_Byte     ? CV_8U
                    : type == GDT_UInt16 ? CV_16U
                    : type == GDT_UInt32 ? CV_32S
                                         : CV_32F;
  cv::Mat image(rows, cols, CV_MAKETYPE(depth, bands));
  const int value_size = static_cast<int>(image.elemSize1());
  const CPLErr read =
      overview != nullptr
          ? overview->RasterIO(GF_Read, 0, 0, cols, rows, image.data, cols, rows, type, 0, 0,
                               nullptr)
          : dataset.RasterIO(GF_Read, 0, 0, cols, rows, image.data, cols, rows, type, bands,
                             nullptr, value_size * bands, static_cast<GSpacing>(image.step[0]),
                             value_size, nullptr);
  EXPECT_EQ(read, CE_None);
  return image;
}

// The three kinds of .tif a run writes, as a run writes them (a 700 x 600 view: two
// overview levels of 256-pixel tiles), read back through GDAL. The left 101 columns saw
// no frame: black, source 0, no angle.
TEST(CloudOptimizedGeotiff, ViewAndMapsAreValidCogsWithTheirPixelsAndPlace) {
  const int width = 700, height = 600, empty_columns = 101;
  std::mt19937 random(11);
  cv::Mat colour(height, width, CV_8UC3);
  cv::randu(colour, 1, 256);
  colour.colRange(0, empty_columns) = cv::Scalar::all(0);
  colour.at<cv::Vec3b>(300, 400) = {0, 0, 0};  // black inside the data is transparent too
  std::vector<uint32_t> source(static_cast<std::size_t>(width) * height);
  std::vector<float> angle_deg(source.size());
  const uint16_t lines[3] = {1, 2, 7};  // an average of neighbours would give 4
  for (int r = 0; r < height; ++r) {
    for (int c = 0; c < width; ++c) {
      const std::size_t i = static_cast<std::size_t>(r) * width + c;
      source[i] = c < empty_columns ? 0 : lines[(c + r) % 3];
      // As the renderer gives it: no angle where no frame was seen.
      angle_deg[i] =
          c < empty_columns ? NAN : std::uniform_real_distribution<float>(0.0f, 40.0f)(random);
    }
  }
  // Far west, where a float would lose the place: the file keeps the doubles.
  const raster_georeference georeference{3.2e-6, -2.7e-6, -120.300000123, 45.500000456};

  scratch_dir dir("cog");
  ASSERT_TRUE(write_view_image(dir.file("view.tif"), colour, georeference));
  staged_file_set maps;
  stage_quality_maps(maps, dir.file("view.tif"), width, height, source.data(), angle_deg.data(),
                     georeference, true, true, false);
  ASSERT_TRUE(maps.commit()) << maps.reason();
  // GDAL leaves nothing beside them (no temporary overview, no .aux.xml).
  EXPECT_EQ(names_in(dir.file("")),
            (std::vector<std::string>{"view.tif", "view_source.tif", "view_view_angle.tif"}));
  ASSERT_TRUE(std::filesystem::exists(cog_validator))
      << cog_validator << " is missing: install python3-gdal";

  const struct {
    const char* name;
    int bands;
    GDALDataType type;
    GDALColorInterp last_band;
    bool has_nodata;
    double nodata;  // NaN: the float map's
  } cases[] = {
      {"view.tif", 4, GDT_Byte, GCI_AlphaBand, false, 0.0},
      {"view_source.tif", 1, GDT_UInt16, GCI_GrayIndex, true, 0.0},
      {"view_view_angle.tif", 1, GDT_Float32, GCI_GrayIndex, true, NAN},
  };
  GDALAllRegister();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = dir.file(c.name);
    std::string verdict;
    EXPECT_EQ(testing::run_command(
                  std::string("/usr/bin/python3 ") + cog_validator + " '" + path + "'", verdict),
              0)
        << verdict;
    GDALDatasetUniquePtr file(GDALDataset::Open(path.c_str(), GDAL_OF_RASTER | GDAL_OF_READONLY));
    ASSERT_TRUE(file);
    ASSERT_EQ(file->GetRasterCount(), c.bands);
    EXPECT_STREQ(file->GetMetadataItem("LAYOUT", "IMAGE_STRUCTURE"), "COG");
    EXPECT_STREQ(file->GetMetadataItem("COMPRESSION", "IMAGE_STRUCTURE"), "DEFLATE");
    GDALRasterBand* band = file->GetRasterBand(c.bands);
    EXPECT_EQ(band->GetRasterDataType(), c.type);
    EXPECT_EQ(band->GetColorInterpretation(), c.last_band);
    int block_x = 0, block_y = 0;
    band->GetBlockSize(&block_x, &block_y);
    EXPECT_EQ(block_x, 256);
    EXPECT_EQ(block_y, 256);
    ASSERT_EQ(band->GetOverviewCount(), 2);  // 350 x 300, 175 x 150
    const OGRSpatialReference* srs = file->GetSpatialRef();
    ASSERT_NE(srs, nullptr);
    EXPECT_STREQ(srs->GetAuthorityCode(nullptr), "4326");
    double transform[6] = {};
    ASSERT_EQ(file->GetGeoTransform(transform), CE_None);
    const double expected[6] = {-120.300000123 - 1.6e-6, 3.2e-6, 0.0,
                                45.500000456 + 1.35e-6,  0.0,    -2.7e-6};
    for (int i = 0; i < 6; ++i) EXPECT_DOUBLE_EQ(transform[i], expected[i]) << i;
    int has_nodata = 0;
    const double nodata = band->GetNoDataValue(&has_nodata);
    EXPECT_EQ(has_nodata != 0, c.has_nodata);
    if (c.has_nodata) {
      EXPECT_TRUE(std::isnan(c.nodata) ? std::isnan(nodata) : nodata == c.nodata) << nodata;
    }

    const cv::Mat pixels = read_raster(*file, nullptr, c.type);
    const cv::Mat overview = read_raster(*file, band->GetOverview(0), c.type);
    if (c.type == GDT_Byte) {
      // RGB in the file, alpha 0 exactly where the view is black.
      cv::Mat channels[4], expected, bgra;
      cv::split(colour, channels);
      channels[3] = (channels[0] | channels[1] | channels[2]) != 0;
      cv::merge(channels, 4, expected);
      cv::cvtColor(pixels, bgra, cv::COLOR_RGBA2BGRA);
      EXPECT_EQ(cv::norm(bgra, expected, cv::NORM_INF), 0.0);
    } else if (c.type == GDT_UInt16) {
      cv::Mat expected;
      cv::Mat(height, width, CV_32SC1, source.data()).convertTo(expected, CV_16U);
      EXPECT_EQ(cv::norm(pixels, expected, cv::NORM_INF), 0.0);
      // Overview pixels are lines of the map, never an average of them.
      std::set<uint16_t> seen(overview.begin<uint16_t>(), overview.end<uint16_t>());
      EXPECT_EQ(seen, (std::set<uint16_t>{0, 1, 2, 7}));
    } else {
      int mismatches = 0;
      for (std::size_t i = 0; i < source.size(); ++i) {
        const float value = pixels.ptr<float>(0)[i];
        mismatches += source[i] == 0 ? !std::isnan(value) : value != angle_deg[i];
      }
      EXPECT_EQ(mismatches, 0);
      // Overview column 50 covers columns 100 (no data) and 101: the average of the data
      // alone, as if the nodata pixels were not there; column 49 has none.
      const auto at = [&](int row, int column) {
        return angle_deg[static_cast<std::size_t>(row) * width + column];
      };
      int wrong_averages = 0;
      for (int r = 0; r < overview.rows; ++r) {
        const float data_alone = (at(2 * r, 101) + at(2 * r + 1, 101)) / 2;
        wrong_averages += !(std::abs(overview.at<float>(r, 50) - data_alone) < 1e-4f) ||
                          !std::isnan(overview.at<float>(r, 49));
      }
      EXPECT_EQ(wrong_averages, 0);
    }
  }
}

// Lines past 65535 (a log of a long survey, or any map of such a log) keep their value:
// the map is then 32-bit, its overviews still labels.
TEST(CloudOptimizedGeotiff, SourceMapOfLongLogsIs32Bit) {
  const int width = 300, height = 260;
  for (const uint32_t top : {7u, 70007u}) {
    std::vector<uint32_t> source(static_cast<std::size_t>(width) * height);
    for (std::size_t i = 0; i < source.size(); ++i) source[i] = (i % width) < 20 ? 0 : 1 + (i % 3) * (top / 2);
    const std::vector<float> angle_deg(source.size(), 1.0f);
    scratch_dir dir("wide");
    staged_file_set maps;
    stage_quality_maps(maps, dir.file("v.tif"), width, height, source.data(), angle_deg.data(),
                       {1e-6, -1e-6, 10.0, 50.0}, true, false, /*wide_source=*/top == 7u);
    ASSERT_TRUE(maps.commit()) << maps.reason();
    GDALAllRegister();
    GDALDatasetUniquePtr file(
        GDALDataset::Open(dir.file("v_source.tif").c_str(), GDAL_OF_RASTER | GDAL_OF_READONLY));
    ASSERT_TRUE(file);
    GDALRasterBand* band = file->GetRasterBand(1);
    EXPECT_EQ(band->GetRasterDataType(), GDT_UInt32);
    const cv::Mat pixels = read_raster(*file, nullptr, GDT_UInt32);
    EXPECT_EQ(cv::norm(pixels, cv::Mat(height, width, CV_32SC1, source.data()), cv::NORM_INF), 0.0);
    const cv::Mat overview = read_raster(*file, band->GetOverview(0), GDT_UInt32);
    std::set<int32_t> seen(overview.begin<int32_t>(), overview.end<int32_t>());
    EXPECT_EQ(seen, (std::set<int32_t>{0, 1, int32_t(1 + top / 2), int32_t(1 + top / 2 * 2)}));
  }
}

}  // namespace
}  // namespace aeroquilt

namespace aeroquilt {
namespace {

// The overviews a written GeoTIFF carries are those GDAL's COG writer makes itself from
// the same pixels (GDAL's translation to COG, told to ignore the file's own): the same
// level sizes down to one tile, and the same values, bit for bit, on awkward shapes.
TEST(CloudOptimizedGeotiff, OverviewsAreTheCogWritersOwn) {
  const struct {
    int width, height, type;
  } cases[] = {
      {700, 600, CV_32FC1}, {1000, 10, CV_32FC1}, {2000, 1, CV_16UC1}, {1, 2000, CV_32FC1},
      {257, 3, CV_16UC1},   {513, 300, CV_8UC3},  {300, 513, CV_8UC4}, {600, 300, CV_32SC1},
      {256, 256, CV_32FC1},
  };
  GDALAllRegister();
  scratch_dir dir("overviews");
  std::mt19937 random(5);
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.width) + " x " + std::to_string(c.height) + " type " +
                 std::to_string(c.type));
    cv::Mat image(c.height, c.width, c.type);
    cv::randu(image, 0, 9);  // labels and colours with runs of 0 (nodata, transparent)
    if (CV_MAT_DEPTH(c.type) == CV_32F) {
      for (auto value = image.begin<float>(); value != image.end<float>(); ++value)
        *value = *value < 3 ? NAN : std::uniform_real_distribution<float>(0, 40)(random);
    }
    const std::string ours = dir.file("ours.tif"), theirs = dir.file("theirs.tif");
    std::string reason;
    ASSERT_TRUE(write_geotiff(ours, image, {1e-5, -1e-5, 10.0, 50.0}, reason)) << reason;
    GDALDatasetUniquePtr written(GDALDataset::Open(ours.c_str(), GDAL_OF_RASTER));
    ASSERT_TRUE(written);
    GDALRasterBand* band = written->GetRasterBand(1);
    const bool labels = written->GetRasterCount() == 1 && band->GetRasterDataType() != GDT_Float32;
    const char* arguments[] = {"-of", "COG", "-co", "OVERVIEWS=IGNORE_EXISTING", "-co",
                               "BLOCKSIZE=256", "-co", labels ? "RESAMPLING=NEAREST"
                                                              : "RESAMPLING=AVERAGE",
                               nullptr};
    GDALTranslateOptions* options =
        GDALTranslateOptionsNew(const_cast<char**>(arguments), nullptr);
    GDALDatasetUniquePtr made(GDALDataset::FromHandle(
        GDALTranslate(theirs.c_str(), written.get(), options, nullptr)));
    GDALTranslateOptionsFree(options);
    ASSERT_TRUE(made);
    ASSERT_EQ(band->GetOverviewCount(), made->GetRasterBand(1)->GetOverviewCount());
    for (int b = 1; b <= written->GetRasterCount(); ++b) {
      for (int level = 0; level < band->GetOverviewCount(); ++level) {
        GDALRasterBand* mine = written->GetRasterBand(b)->GetOverview(level);
        GDALRasterBand* gdal = made->GetRasterBand(b)->GetOverview(level);
        ASSERT_EQ(mine->GetXSize(), gdal->GetXSize()) << level;
        ASSERT_EQ(mine->GetYSize(), gdal->GetYSize()) << level;
        const GDALDataType type = mine->GetRasterDataType();
        const cv::Mat a = read_raster(*written, mine, type), e = read_raster(*made, gdal, type);
        EXPECT_EQ(std::memcmp(a.data, e.data, a.total() * a.elemSize()), 0)
            << "band " << b << " level " << level;
      }
    }
  }
}

}  // namespace
}  // namespace aeroquilt
