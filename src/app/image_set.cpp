#include "app/image_set.h"

#include <cstdint>

#include "app/colour_gains.h"
#include "base/console.h"
#include "geometry/footprints.h"

namespace aeroquilt {

void size_frame_cache(mosaic_job& job, const camera_options& camera) {
  const int64_t bytes_per_image =
      static_cast<int64_t>(camera.image_width_pixels) * camera.image_height_pixels * 3;
  size_image_cache(job.input_cache, 4000000000.0, static_cast<double>(bytes_per_image));
}

std::vector<arma::mat> job_footprints(const mosaic_job& job) {
  std::vector<arma::mat> footprints;
  footprints.reserve(job.geometries.size());
  for (const image_geometry& geometry : job.geometries)
    footprints.push_back(geometry.footprint_corners);
  return footprints;
}

int prepare_run(mosaic_job& job, const mosaic_request& request, bool open_gpu,
                camera_options& camera) {
  job.loader.set_options(request.frames);
  camera = request.camera;
  if (job.loader.options.lens.active()) {
    if (!job.loader.lens.active()) {
      console_printf("the lens_ keys give a distortion no frame of %d x %d can be corrected for\n",
                     camera.image_width_pixels, camera.image_height_pixels);
      return 0;
    }
    // The frames reach the camera model resampled to the ideal focal length.
    camera.image_kx = job.loader.lens.ideal_focal_px();
    console_printf("lens corrected: focal length %.3f pixels, ideal %.3f pixels\n",
                   request.camera.image_kx, camera.image_kx);
  }
  load_dem(job.dem, request.DEM_filename);
  if (open_gpu)
    job.gpu.open_gpu_device(camera.image_width_pixels, camera.image_height_pixels,
                            request.image_channels, request.opencl_platform);
  return 1;
}

frame_placement place_frame(mosaic_job& job, const camera_options& camera, bool use_dem, int index,
                            image_geometry& geometry) {
  build_camera_model(geometry, camera, job.images, index);
  if (!use_dem) {
    // An image whose corner rays miss the flat ground is left out; the others go on.
    return project_footprint_flat(geometry) == 0 ? frame_placement::left_out
                                                 : frame_placement::placed;
  }
  const int footprint = project_footprint_dem(geometry, job.dem);
  if (footprint == footprint_camera_below_terrain) return frame_placement::left_out;
  if (footprint == footprint_no_terrain_height) return frame_placement::no_terrain_height;
  return footprint == 0 ? frame_placement::off_dem : frame_placement::placed;
}

int prepare_image_set(mosaic_job& job, const mosaic_request& request, bool open_gpu) {
  camera_options camera;
  if (prepare_run(job, request, open_gpu, camera) == 0) return 0;
  job.images.image_dir = request.image_dir;
  read_flight_log(job.images, request.FPO_file, request.flight_log);
  // A fixed reference point makes the grid independent of which frames the log holds.
  if (request.reference_given) {
    job.images.centre_lat = request.reference_lat;
    job.images.centre_lon = request.reference_lon;
  }

  const int count = job.images.count;
  if (count == 0) {
    console_printf("no images found in %s %s\n", request.image_dir.c_str(),
                   request.FPO_file.c_str());
    pause_ms(5000);
    return 0;
  }

  job.geometries.clear();
  job.geometries.reserve(count);
  for (int i = 0; i < count; ++i) {
    image_geometry geometry;
    const frame_placement placement = place_frame(job, camera, request.views.use_dem, i, geometry);
    if (placement == frame_placement::left_out) continue;  // named already
    if (placement == frame_placement::no_terrain_height) {
      console_printf("image %s: the DEM has no height under its footprint\n",
                     geometry.path.c_str());
      pause_ms(2000);
      return 0;
    }
    if (placement == frame_placement::off_dem) {
      console_printf("image out of DEM range %s\n", geometry.path.c_str());
      pause_ms(2000);
      return 0;
    }
    for (int row = 0; row < 5; ++row) {
      console_printf("Image %d  %f %f %f\n", i, geometry.footprint_corners(row, 0),
                     geometry.footprint_corners(row, 1), geometry.footprint_corners(row, 2));
    }
    job.geometries.push_back(std::move(geometry));
  }
  job.geometry_count = static_cast<int>(job.geometries.size());
  if (job.geometry_count == 0) {
    // Only the ground guards leave images out here; each was named above.
    if (request.views.use_dem) {
      console_printf("all %d images were left out: every camera is at or below the terrain\n",
                     count);
      pause_ms(5000);
      return 0;
    }
    console_printf(
        "all %d images were left out: no footprint reaches the flat ground at topo_height %g m "
        "(cameras at or below it, or corner rays at or above the horizon)\n",
        count, camera.topo_height);
    pause_ms(5000);
    return 0;
  }
  size_frame_cache(job, camera);
  job.survey_view =
      survey_view_params(job_footprints(job), 1.0, job.images.centre_lat, job.images.centre_lon);
  // From every frame of the survey, so that a tile range gets the whole run's gains; runs
  // that draw no frame (no device: --list-tiles, --link-index) need none.
  if (open_gpu && request.colour_balance != 0) balance_frame_colours(job, request);
  return 1;
}

int prepare_survey_dem(mosaic_job& job) {
  job.survey_view =
      survey_view_params(job_footprints(job), 1.0, job.images.centre_lat, job.images.centre_lon);
  return build_view_dem(job.dem, job.survey_view);
}

}  // namespace aeroquilt
