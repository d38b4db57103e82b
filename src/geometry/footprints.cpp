#include "geometry/footprints.h"

#include <cmath>

#include "base/console.h"

namespace aeroquilt {
namespace {

// Corner pixels (u column, v row, counted from 1), closing on the first again.
void corner_pixel(const image_geometry& geometry, int row, double& u, double& v) {
  const double W = geometry.image_width, H = geometry.image_height;
  const double us[5] = {1, W, W, 1, 1};
  const double vs[5] = {1, 1, H, H, 1};
  u = us[row];
  v = vs[row];
}

}  // namespace

arma::vec corner_ray_direction(const image_geometry& geometry, double u, double v) {
  const arma::vec x = geometry.pixel_to_ray * arma::vec{u, v, 1.0};
  const arma::vec w = geometry.camera_to_world * arma::vec{x(0), x(1), x(2), 1.0};
  return w.head(3) - geometry.camera_position;
}

int project_footprint_flat(image_geometry& geometry) {
  derive_camera_matrices(geometry);
  geometry.footprint_corners = arma::zeros<arma::mat>(5, 3);
  const arma::vec& C = geometry.camera_position;
  for (int row = 0; row < 5; ++row) {
    double u, v;
    corner_pixel(geometry, row, u, v);
    const arma::vec d = corner_ray_direction(geometry, u, v);
    // A ray at or above the horizon, or a camera at or below the ground, has no
    // ground point in front of the camera: the formula would put one behind it.
    if (!(d(2) < 0.0) || !(C(2) > 0.0)) {
      console_printf("image corner does not reach the ground, image left out %s\n",
                     geometry.path.c_str());
      return 0;
    }
    const double s = C(2) / d(2);
    const arma::vec G = C - s * d;
    geometry.footprint_corners.row(row) = G.t();
  }
  return 1;
}

int project_footprint_dem(image_geometry& geometry, view_dem& dem) {
  derive_camera_matrices(geometry);
  geometry.footprint_corners = arma::zeros<arma::mat>(5, 3);
  const arma::vec& C = geometry.camera_position;
  const float origin[3] = {static_cast<float>(C(0)), static_cast<float>(C(1)),
                           static_cast<float>(C(2))};
  // A camera at or below the terrain under it would march onto a surface it cannot see
  // and give a footprint of nothing visible.
  constexpr double degrees_per_radian = 180.0 / 3.141592653589793;
  const float ground =
      dem_height_bicubic(dem, static_cast<float>(geometry.latitude * degrees_per_radian),
                         static_cast<float>(geometry.longitude * degrees_per_radian), false);
  if (ground != out_of_dem_height && std::isfinite(ground) && !(origin[2] > ground)) {
    console_printf("camera of %s is %.1f m below the terrain: image left out\n",
                   geometry.path.c_str(), static_cast<double>(ground - origin[2]));
    return footprint_camera_below_terrain;
  }
  for (int row = 0; row < 5; ++row) {
    double u, v;
    corner_pixel(geometry, row, u, v);
    const arma::vec d = corner_ray_direction(geometry, u, v);
    const float direction[3] = {static_cast<float>(d(0)), static_cast<float>(d(1)),
                                static_cast<float>(d(2))};
    float point[3];
    const int hit = intersect_ray_dem(dem, direction, origin, static_cast<float>(geometry.ref_lat),
                                      static_cast<float>(geometry.ref_lon), point);
    if (hit < 0) return footprint_no_terrain_height;
    if (hit == 0) {
      console_printf("image corner out of DEM range\n");
      return 0;
    }
    geometry.footprint_corners.row(row) =
        arma::rowvec{static_cast<double>(point[0]), static_cast<double>(point[1]),
                     static_cast<double>(point[2])};
  }
  return 1;
}

}  // namespace aeroquilt
