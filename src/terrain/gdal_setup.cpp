#include "terrain/gdal_setup.h"

#include <cpl_conv.h>
#include <gdal_priv.h>

#include <mutex>
#include <opencv2/imgcodecs.hpp>

namespace aeroquilt {

void register_gdal_drivers() {
  static std::once_flag registered;
  std::call_once(registered, [] {
    // OpenCV's image codecs register GDAL's drivers as they are set up, on whichever
    // thread first encodes or decodes an image, and two registrations at once crash:
    // set up first, they are done (or waited for) before the registration here.
    static_cast<void>(cv::haveImageWriter(".png"));
    GDALAllRegister();
    // A live run rewrites tiles under their names: a VRT must read them anew each time,
    // not from a source dataset kept open since an earlier warp.
    CPLSetConfigOption("VRT_SHARED_SOURCE", "0");
    // The COG (and GeoTIFF) writers build their option lists on first use, unguarded:
    // built here once, before two maps are written at the same time.
    for (const char* name : {"COG", "GTiff"}) {
      if (GDALDriver* driver = GetGDALDriverManager()->GetDriverByName(name))
        driver->GetMetadataItem(GDAL_DMD_CREATIONOPTIONLIST);
    }
  });
}

}  // namespace aeroquilt
