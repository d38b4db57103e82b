#include "app/view_output.h"

#include "base/console.h"
#include "base/fatal_error.h"
#include "imaging/composite.h"
#include "imaging/view_renderer.h"
#include "output/checked_write.h"
#include "output/quality_maps.h"

namespace aeroquilt {

view_result render_view(mosaic_job& job, const view_params& view, const std::string& path,
                        double preview_scale, bool save_empty) {
  const config_params& config = g_config;
  view_result result;
  output_canvas& canvas = job.canvas;
  install_view(canvas, view);
  console_printf("generating DEM for View, %s\n", config.DEM_filename.c_str());
  if (build_view_dem(job.dem, view) == 0) {
    result.outcome = view_outcome::dem_not_covered;
    return result;
  }

  frame_source frames(job.input_cache, projection_options_of(config));
  const composite_options compositing = composite_options_of(config);
  composite_planes planes;
  const render_result rendered =
      compositing.active()
          ? render_composite_view(canvas, place_in_survey(job.survey_view, view), job.geometries,
                                  job.dem, frames, job.gpu, config.USE_DEM != 0,
                                  job.images.centre_lat, job.images.centre_lon, preview_scale,
                                  compositing, planes)
          : render_view_images(canvas, job.geometries, job.dem, frames, job.gpu,
                               config.USE_DEM != 0, job.images.centre_lat, job.images.centre_lon,
                               preview_scale);
  if (!rendered.device_buffer) {
    console_printf("view %s left out: the device cannot hold its %d x %d pixels\n", path.c_str(),
                   canvas.view.width, canvas.view.height);
    result.outcome = view_outcome::buffer_not_created;
    return result;
  }
  result.projected = rendered.projected;
  if (rendered.projected == 0) return result;
  // Footprints that reach the view but no pixel in it (cameras that see nothing of
  // the terrain): an all-transparent image would pass for a mosaic.
  if (!save_empty && cv::countNonZero(canvas.image.reshape(1)) == 0) {
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
      view_georeference(canvas.view, make_local_frame(job.images.centre_lat, job.images.centre_lon));
  // All or nothing: every file of the view is written and synced under a temporary
  // name before any replaces an earlier one; a view that fails does not count.
  staged_file_set files;
  const std::string kml_path =
      stage_view_files(files, path, canvas.image, canvas.view, georeference,
                       config.png_encode_threads);
  // The maps belong to the view's set: they stand or fall with its image (a failure
  // to stage them is reported by the commit).
  if (compositing.source_map || compositing.angle_map) {
    stage_quality_maps(files, path, canvas.view.width, canvas.view.height, planes.source,
                       planes.angle_deg, georeference, compositing.source_map,
                       compositing.angle_map);
  }
  if (!commit_view_files(files, path)) {
    result.outcome = view_outcome::image_not_written;
    return result;
  }
  result.kml_path = kml_path;
  result.outcome = view_outcome::written;
  return result;
}

}  // namespace aeroquilt
