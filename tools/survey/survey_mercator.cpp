// The maker's own transverse Mercator, written apart from the system's.

#include <cmath>

#include "survey/survey_internal.h"
#include "survey/synthetic_survey.h"

namespace aeroquilt::testing {

using detail::deg;

// --- Transverse Mercator -----------------------------------------------------

namespace {

struct krueger {
  double a_rect;  // rectifying radius A
  double e;       // first eccentricity
  double alpha[5], beta[5];
};

const krueger& wgs84_krueger() {
  static const krueger k = [] {
    krueger out{};
    const double a = 6378137.0, f = 1.0 / 298.257223563;
    const double n = f / (2.0 - f), n2 = n * n, n3 = n2 * n, n4 = n3 * n;
    out.a_rect = a / (1.0 + n) * (1.0 + n2 / 4.0 + n4 / 64.0);
    out.e = std::sqrt(f * (2.0 - f));
    out.alpha[1] = n / 2.0 - 2.0 * n2 / 3.0 + 5.0 * n3 / 16.0 + 41.0 * n4 / 180.0;
    out.alpha[2] = 13.0 * n2 / 48.0 - 3.0 * n3 / 5.0 + 557.0 * n4 / 1440.0;
    out.alpha[3] = 61.0 * n3 / 240.0 - 103.0 * n4 / 140.0;
    out.alpha[4] = 49561.0 * n4 / 161280.0;
    out.beta[1] = n / 2.0 - 2.0 * n2 / 3.0 + 37.0 * n3 / 96.0 - n4 / 360.0;
    out.beta[2] = n2 / 48.0 + n3 / 15.0 - 437.0 * n4 / 1440.0;
    out.beta[3] = 17.0 * n3 / 480.0 - 37.0 * n4 / 840.0;
    out.beta[4] = 4397.0 * n4 / 161280.0;
    return out;
  }();
  return k;
}

// Conformal latitude as tan: sinh(atanh(sin phi) - e atanh(e sin phi)).
double conformal_tan(double phi, double e) {
  const double s = std::sin(phi);
  return std::sinh(std::atanh(s) - e * std::atanh(e * s));
}

constexpr double utm_k0 = 0.9996;
constexpr double utm_false_easting = 500000.0;

}  // namespace

double utm_zone_central_meridian(double meridian_longitude_deg) {
  const int zone = static_cast<int>((meridian_longitude_deg + 180.0) / 6.0 + 1.0);
  return 6.0 * zone - 183.0;
}

void geographic_to_utm(double latitude_deg, double longitude_deg, double central_meridian_deg,
                       double& easting_m, double& northing_m) {
  const krueger& k = wgs84_krueger();
  const double t = conformal_tan(latitude_deg * deg, k.e);
  const double dl = (longitude_deg - central_meridian_deg) * deg;
  const double xi = std::atan2(t, std::cos(dl));
  const double eta = std::atanh(std::sin(dl) / std::sqrt(1.0 + t * t));
  double x = eta, y = xi;
  for (int j = 1; j <= 4; ++j) {
    x += k.alpha[j] * std::cos(2 * j * xi) * std::sinh(2 * j * eta);
    y += k.alpha[j] * std::sin(2 * j * xi) * std::cosh(2 * j * eta);
  }
  easting_m = utm_false_easting + utm_k0 * k.a_rect * x;
  northing_m = utm_k0 * k.a_rect * y;
}

void utm_to_geographic_exact(double easting_m, double northing_m, double central_meridian_deg,
                             double& latitude_deg, double& longitude_deg) {
  const krueger& k = wgs84_krueger();
  const double xi = northing_m / (utm_k0 * k.a_rect);
  const double eta = (easting_m - utm_false_easting) / (utm_k0 * k.a_rect);
  double xi1 = xi, eta1 = eta;
  for (int j = 1; j <= 4; ++j) {
    xi1 -= k.beta[j] * std::sin(2 * j * xi) * std::cosh(2 * j * eta);
    eta1 -= k.beta[j] * std::cos(2 * j * xi) * std::sinh(2 * j * eta);
  }
  const double chi = std::asin(std::sin(xi1) / std::cosh(eta1));
  // Invert the conformal latitude by fixed-point iteration (contraction ~e^2).
  double phi = chi;
  const double target = std::tan(chi);
  for (int i = 0; i < 20; ++i) phi += std::atan(target) - std::atan(conformal_tan(phi, k.e));
  latitude_deg = phi / deg;
  longitude_deg = central_meridian_deg + std::atan2(std::sinh(eta1), std::cos(xi1)) / deg;
}

}  // namespace aeroquilt::testing
