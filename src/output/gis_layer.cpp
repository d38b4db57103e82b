#include "output/gis_layer.h"

#include <cpl_error.h>
#include <gdal_priv.h>
#include <gdal_utils.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>

#include "base/console.h"
#include "output/gdal_calls.h"
#include "output/output_files.h"

namespace aeroquilt {
namespace {

struct build_options_closer {
  void operator()(GDALBuildVRTOptions* options) const { GDALBuildVRTOptionsFree(options); }
};

}  // namespace

bool write_gis_layer(const std::string& vrt_path, const std::vector<std::string>& sources) {
  register_gdal_drivers();
  // GDAL writes the VRT with the sources' names relative to its own folder: it is built
  // under a temporary name in the VRT's folder, then written in place through the
  // all-or-nothing writer.
  const std::string temporary = create_temporary_file(vrt_path);
  if (temporary.empty()) {
    console_printf("cannot write %s: no temporary file in its folder\n", vrt_path.c_str());
    return false;
  }
  const char* arguments[] = {"-a_srs", "EPSG:4326", "-resolution", "highest", nullptr};
  const std::unique_ptr<GDALBuildVRTOptions, build_options_closer> options(
      GDALBuildVRTOptionsNew(const_cast<char**>(arguments), nullptr));
  std::vector<const char*> names;
  for (const std::string& source : sources) names.push_back(source.c_str());
  const gdal_failure_capture gdal;
  int usage_error = 0;
  GDALDatasetH built = GDALBuildVRT(temporary.c_str(), static_cast<int>(names.size()), nullptr,
                                    names.data(), options.get(), &usage_error);
  if (built != nullptr) GDALClose(built);  // writes the file
  const bool closed = built != nullptr && !gdal.failed();
  std::string text;
  if (closed) {
    std::ifstream file(temporary);
    std::ostringstream read;
    read << file.rdbuf();
    text = read.str();
  }
  ::unlink(temporary.c_str());
  if (!closed || text.empty()) {
    console_printf("cannot write %s: %s\n", vrt_path.c_str(),
                   gdal.reason("GDAL could not build the VRT").c_str());
    return false;
  }
  if (write_text_atomically(vrt_path, text) != write_outcome::written) {
    console_printf("cannot write %s\n", vrt_path.c_str());
    return false;
  }
  return true;
}

}  // namespace aeroquilt
