#pragma once
// Ground footprints of the images: the corner pixels' rays cast onto flat ground
// or onto the DEM terrain.

#include "geometry/camera_model.h"
#include "terrain/dem_sampling.h"

namespace aeroquilt {

// Corner rays onto the plane z = 0. 1 when all five meet it below the camera,
// 0 (after a message naming the image) when a ray does not point below the horizon.
int project_footprint_flat(image_geometry& geometry);

// Corner rays onto the DEM. 1 when all five meet it; 0 when a corner ray misses the
// DEM; footprint_no_terrain_height or footprint_camera_below_terrain (after a message).
int project_footprint_dem(image_geometry& geometry, view_dem& dem);
constexpr int footprint_no_terrain_height = -1;     // the DEM holds NaN where a ray meets it
constexpr int footprint_camera_below_terrain = -2;  // no ray from there sees the terrain

// Direction (local frame) of the ray through pixel (u, v), and the ray's origin C.
arma::vec corner_ray_direction(const image_geometry& geometry, double u, double v);

}  // namespace aeroquilt
