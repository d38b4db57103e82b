#include "output/dem_image.h"

#include "base/console.h"
#include "base/fatal_error.h"
#include "output/output_files.h"
#include "output/view_files.h"

namespace aeroquilt {

bool export_dem_image(const view_dem& dem, const std::string& path, float pixel_size) {
  if (!dem.built) throw fatal_error("DEM not initialized");
  // A survey's DEM image is an extra: one too large to make is left out, and the run
  // that wrote the mosaic goes on.
  float rows = 0.0f, cols = 0.0f;
  dem_image_size(dem, pixel_size, rows, cols);
  if (!dem_image_size_usable(rows, cols)) {
    console_printf("DEM image %s left out: %.0f x %.0f pixels, more than 400000000\n",
                   path.c_str(), cols, rows);
    return false;
  }
  const cv::Mat image = render_dem_image(dem, pixel_size);
  const raster_georeference georeference = dem_image_georeference(dem, pixel_size);
  if (write_image_atomically(path, image, {}, &georeference) == write_outcome::written) {
    write_georeference_side_files(path, georeference);
  } else {
    console_printf("unable to write DEM image %s\n", path.c_str());
  }

  std::size_t dot = 0;
  if (find_output_extension(path, dot) < 0) throw fatal_error("extension not found\n");
  const std::string kml_path = side_file_path(path, dot, "kml");

  const std::string kml =
      ground_overlay_kml(path, dem.lat_end, dem.lat_start, dem.lon_end, dem.lon_start, "");
  switch (write_text_atomically(kml_path, kml)) {
    case write_outcome::written:
      break;
    case write_outcome::not_created:
      console_printf("unable to create KML file %s\n", kml_path.c_str());
      break;
    case write_outcome::not_written:
      console_printf("unable to write KML file %s\n", kml_path.c_str());
      break;
  }
  return true;
}

}  // namespace aeroquilt
