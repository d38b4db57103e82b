#pragma once
// The camera of one image: its position and attitude in the local frame, and the
// matrices that turn a pixel into a ray and a ground point into a pixel.

#include <armadillo>
#include <string>

#include "geometry/flight_log.h"

namespace aeroquilt {

struct image_geometry {
  std::string path;
  int log_line = 0;  // 1-based flight-log line of the image
  double latitude = 0, longitude = 0;        // radians
  double altitude = 0;                       // metres
  double ref_lat = 0, ref_lon = 0;           // radians
  arma::vec attitude;                        // roll, pitch, heading, radians
  arma::vec camera_position;                 // C: east, north, up, metres
  double image_width = 0, image_height = 0;  // W, H pixels
  double focal_length_px = 0;                // kx
  arma::mat attitude_rotation;               // R: aircraft axes to navigation (NED)
  arma::mat ned_to_enu;                      // S
  arma::mat camera_to_body;                  // T
  arma::mat camera_rotation;                 // A = S R T: camera axes to local axes
  arma::mat camera_rotation_t;               // A^T
  arma::mat camera_to_world;                 // 4x4
  arma::mat world_to_camera;                 // 4x4
  arma::mat canonical_projection;            // 3x4 [I 0]
  arma::mat pixel_axes;                      // K0
  arma::mat focal_matrix;                    // Kx
  arma::mat focal_matrix_inv;
  arma::mat pixel_to_ray;       // Kx^-1 K0
  arma::mat footprint_corners;  // 5x3 local x, y, z of the corner pixels
};

// What the camera model takes from the configuration.
struct camera_options {
  int32_t image_width_pixels = 0;
  int32_t image_height_pixels = 0;
  double image_kx = 0;                 // focal length, pixels
  double RPH_scale[3] = {0, 0, 0};     // roll, pitch, heading as logged times scale
  double RPH_offset[3] = {0, 0, 0};    // plus offset, degrees
  double topo_height = 0;              // metres subtracted from the logged altitudes
};

// Fills `geometry` from record `index` of `list`.
void build_camera_model(image_geometry& geometry, const camera_options& config,
                        const image_list& list, int index);

// Computes every derived matrix from attitude, position, frame size and kx.
void derive_camera_matrices(image_geometry& geometry);

// R = Rz(heading) Ry(pitch) Rx(roll), angles in radians.
arma::mat attitude_rotation(double roll, double pitch, double heading);
arma::mat rotation_x(double angle);
arma::mat rotation_y(double angle);
arma::mat rotation_z(double angle);

}  // namespace aeroquilt
