#include "geometry/camera_model.h"

#include <cmath>

namespace aeroquilt {

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

}  // namespace aeroquilt
