#include "app/view_output.h"

#include "base/console.h"
#include "base/fatal_error.h"
#include "output/view_files.h"

namespace aeroquilt {

bool view_failed(view_outcome outcome) {
  return outcome == view_outcome::device_failed || outcome == view_outcome::image_not_written;
}

view_result run_view(const view_setting& setting, const mosaic_request& request,
                     const view_params& view, const std::string& path,
                     const std::vector<int>& chosen, bool save_empty) {
  view_result result;
  const rendered_view rendered = render_view_canvas(setting, view, chosen);
  result.projected = rendered.projected;
  switch (rendered.status) {
    case view_status::dem_not_covered:
      result.outcome = view_outcome::dem_not_covered;
      return result;
    case view_status::nothing_projected:
      return result;
    case view_status::device_failed:
      // A buffer the device cannot make is most often a view too large for it.
      if (rendered.failure.rfind("clCreateBuffer", 0) == 0) {
        console_printf("view %s left out: the device cannot hold its %d x %d pixels (%s)\n",
                       path.c_str(), view.width, view.height, rendered.failure.c_str());
      } else {
        console_printf("view %s left out: %s\n", path.c_str(), rendered.failure.c_str());
      }
      result.outcome = view_outcome::device_failed;
      return result;
    case view_status::rendered:
      break;
  }
  // Footprints that reach the view but no pixel in it (cameras that see nothing of
  // the terrain): an all-transparent image would pass for a mosaic.
  if (!save_empty && cv::countNonZero(rendered.image.reshape(1)) == 0) {
    console_printf("view %s left out: no image pixel fell in it\n", path.c_str());
    result.outcome = view_outcome::empty;
    return result;
  }

  console_printf("Saving Projected Image and KML %s\n", path.c_str());
  std::size_t extension_position = 0;
  if (find_output_extension(path, extension_position) < 0)
    throw fatal_error("extension not found\n");
  // Placed in the run's frame in double precision, where the cameras are.
  const raster_georeference georeference =
      view_georeference(rendered.view, make_local_frame(setting.ref_lat_deg, setting.ref_lon_deg));
  const composite_options& compositing = request.views.compositing;
  view_maps maps;
  maps.source = rendered.planes.source;
  maps.angle_deg = rendered.planes.angle_deg;
  maps.source_map = compositing.source_map;
  maps.angle_map = compositing.angle_map;
  for (const image_geometry& geometry : setting.geometries)
    maps.wide_source = maps.wide_source || geometry.log_line > 65535;
  const written_view written = write_view_file_set(path, rendered.image, rendered.view,
                                                   georeference, request.png_encode_threads, maps);
  if (!written.written) {
    result.outcome = view_outcome::image_not_written;
    return result;
  }
  result.kml_path = written.kml_path;
  result.outcome = view_outcome::written;
  return result;
}

}  // namespace aeroquilt
