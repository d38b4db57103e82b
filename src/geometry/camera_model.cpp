#include "geometry/camera_model.h"

#include <cmath>

#include "base/local_frame.h"

namespace aeroquilt {
namespace {

constexpr double kPi = 3.141592653589793;

// Multiplication first, so that the radians agree bit for bit with the rest of the run.
double radians(double degrees) { return degrees * kPi / 180.0; }

}  // namespace

arma::mat rotation_x(double angle) {
  const double c = std::cos(angle), s = std::sin(angle);
  return arma::mat{{1, 0, 0}, {0, c, -s}, {0, s, c}};
}

arma::mat rotation_y(double angle) {
  const double c = std::cos(angle), s = std::sin(angle);
  return arma::mat{{c, 0, s}, {0, 1, 0}, {-s, 0, c}};
}

arma::mat rotation_z(double angle) {
  const double c = std::cos(angle), s = std::sin(angle);
  return arma::mat{{c, -s, 0}, {s, c, 0}, {0, 0, 1}};
}

arma::mat attitude_rotation(double roll, double pitch, double heading) {
  // Products are formed left to right (Armadillo may otherwise regroup a chain).
  const arma::mat zy = rotation_z(heading) * rotation_y(pitch);
  return zy * rotation_x(roll);
}

void build_camera_model(image_geometry& geometry, const camera_options& config,
                        const image_list& list, int index) {
  const FPO_record& record = list.records[static_cast<std::size_t>(index)];
  geometry.log_line = record.line_number;

  geometry.image_width = static_cast<double>(config.image_width_pixels);
  geometry.image_height = static_cast<double>(config.image_height_pixels);
  geometry.focal_length_px = config.image_kx;

  geometry.ref_lat = radians(list.centre_lat);
  geometry.ref_lon = radians(list.centre_lon);
  geometry.latitude = radians(record.latitude);
  geometry.longitude = radians(record.longitude);
  geometry.altitude = record.altitude;

  const local_frame frame = make_local_frame(list.centre_lat, list.centre_lon);

  geometry.path = record.path;

  // RPH_scale defaults to 0, so an unset scale leaves only the offsets.
  geometry.attitude =
      arma::vec{(record.roll * config.RPH_scale[0] + config.RPH_offset[0]) * kPi / 180.0,
                (record.pitch * config.RPH_scale[1] + config.RPH_offset[1]) * kPi / 180.0,
                (record.heading * config.RPH_scale[2] + config.RPH_offset[2]) * kPi / 180.0};

  // The east scale is taken at the reference latitude, as the map grid does.
  double x = 0, y = 0;
  radians_to_local(geometry.latitude, geometry.longitude, frame, x, y);
  geometry.camera_position = arma::vec{x, y, geometry.altitude - config.topo_height};

  derive_camera_matrices(geometry);

  geometry.canonical_projection =
      arma::join_rows(arma::eye<arma::mat>(3, 3), arma::zeros<arma::mat>(3, 1));
}

void derive_camera_matrices(image_geometry& geometry) {
  const arma::vec& attitude = geometry.attitude;
  geometry.attitude_rotation = attitude_rotation(attitude(0), attitude(1), attitude(2));

  // S and T are constants; setting them here keeps this function dependent only
  // on attitude, position, frame size and kx.
  geometry.ned_to_enu = arma::mat{{0, 1, 0}, {1, 0, 0}, {0, 0, -1}};
  geometry.camera_to_body = arma::mat{{0, 1, 0}, {-1, 0, 0}, {0, 0, 1}};
  const arma::mat SR = geometry.ned_to_enu * geometry.attitude_rotation;
  const arma::mat A = SR * geometry.camera_to_body;
  geometry.camera_rotation = A;
  geometry.camera_rotation_t = A.t();

  const arma::vec& C = geometry.camera_position;
  geometry.camera_to_world = arma::zeros<arma::mat>(4, 4);
  geometry.camera_to_world.submat(0, 0, 2, 2) = A;
  geometry.camera_to_world.submat(0, 3, 2, 3) = C;
  geometry.camera_to_world(3, 3) = 1.0;

  geometry.world_to_camera = arma::zeros<arma::mat>(4, 4);
  geometry.world_to_camera.submat(0, 0, 2, 2) = geometry.camera_rotation_t;
  geometry.world_to_camera.submat(0, 3, 2, 3) = -(geometry.camera_rotation_t * C);
  geometry.world_to_camera(3, 3) = 1.0;

  const double W = geometry.image_width, H = geometry.image_height;
  const double kx = geometry.focal_length_px;
  geometry.pixel_axes = arma::mat{{-1, 0, W / 2}, {0, -1, H / 2}, {0, 0, 1}};
  geometry.focal_matrix = arma::mat{{kx, 0, 0}, {0, kx, 0}, {0, 0, 1}};
  // A zero kx is refused by the run driver; should one get here, inv() throws
  // std::runtime_error rather than yielding a useless ray matrix.
  geometry.focal_matrix_inv = arma::inv(geometry.focal_matrix);
  geometry.pixel_to_ray = geometry.focal_matrix_inv * geometry.pixel_axes;
}

}  // namespace aeroquilt
