#include "terrain/map_projection.h"

#include <cmath>
#include <limits>

namespace aeroquilt {
namespace {

// UTM ellipsoid (WGS84) as the UTM inversion uses it. Its e^2 differs in the
// tenth digit from the local frame's e*e below; the two are kept apart on purpose.
constexpr double kUtmA = 6378137.0;              // semi-major axis, m
constexpr double kUtmB = 6356752.3142;           // semi-minor axis, m
constexpr double kUtmE2 = 0.006694380004260827;  // first eccentricity squared
constexpr double kUtmK0 = 0.9996;                // scale on the central meridian
constexpr double kUtmFalseEasting = 500000.0;    // m
constexpr double kFootpointTolerance = 1e-8;     // rad
constexpr int kFootpointMaxSteps = 100;
// Radians to degrees as 180/pi exactly: the truncated 57.2957795786 would move a
// latitude of 70 degrees by about 9 mm.
constexpr double kUtmRadToDeg = 180.0 / 3.141592653589793;


// Meridian arc in Helmert's series of the third flattening n,
//   a/(1+n) (H0 phi - H2 sin 2phi + H4 sin 4phi - H6 sin 6phi + H8 sin 8phi),
// accurate to micrometres. The e^2 series truncated after sin 4phi is off by up to
// 2 mm at high latitudes, too much for millimetre agreement with geodetic tools.
struct meridian_series {
  double scale, H0, H2, H4, H6, H8;
};

const meridian_series& utm_series() {
  static const meridian_series series = [] {
    const double b = kUtmA * std::sqrt(1.0 - kUtmE2);
    const double n = (kUtmA - b) / (kUtmA + b);
    const double n2 = n * n, n3 = n2 * n, n4 = n2 * n2;
    meridian_series s;
    s.scale = kUtmA / (1.0 + n);
    s.H0 = 1.0 + n2 / 4.0 + n4 / 64.0;
    s.H2 = 1.5 * n * (1.0 - n2 / 8.0);
    s.H4 = 15.0 / 16.0 * n2 * (1.0 - n2 / 4.0);
    s.H6 = 35.0 / 48.0 * n3;
    s.H8 = 315.0 / 512.0 * n4;
    return s;
  }();
  return series;
}

double meridian_arc(const meridian_series& s, double phi) {
  return s.scale * (s.H0 * phi - s.H2 * std::sin(2.0 * phi) + s.H4 * std::sin(4.0 * phi) -
                    s.H6 * std::sin(6.0 * phi) + s.H8 * std::sin(8.0 * phi));
}

double meridian_arc_derivative(const meridian_series& s, double phi) {
  return s.scale * (s.H0 - 2.0 * s.H2 * std::cos(2.0 * phi) + 4.0 * s.H4 * std::cos(4.0 * phi) -
                    6.0 * s.H6 * std::cos(6.0 * phi) + 8.0 * s.H8 * std::cos(8.0 * phi));
}

// Latitude (rad) whose meridian arc is `arc_m`, by Newton's method. The arc is
// monotone and nearly linear, so a sane input converges in a few steps; the cap
// only stops a non-finite or absurd input from hanging the run.
double footpoint_latitude(double arc_m) {
  const meridian_series& s = utm_series();
  double phi = arc_m / kUtmA;
  if (!std::isfinite(phi)) return std::numeric_limits<double>::quiet_NaN();
  for (int step = 0; step < kFootpointMaxSteps; ++step) {
    const double next = phi - (meridian_arc(s, phi) - arc_m) / meridian_arc_derivative(s, phi);
    const bool converged = std::fabs(next - phi) <= kFootpointTolerance;
    phi = next;
    if (converged) return phi;
  }
  return phi;
}

}  // namespace

double utm_central_meridian(double meridian_longitude) {
  const int zone = static_cast<int>((meridian_longitude + 180.0) / 6.0 + 1.0);
  return 6.0 * zone - 183.0;
}

void utm_to_geographic(double easting, double northing, double central_meridian, double& latitude,
                       double& longitude) {
  const double a = kUtmA;
  const double e2 = kUtmE2;
  const double ep2 = (kUtmA * kUtmA - kUtmB * kUtmB) / (kUtmB * kUtmB);

  const double x = (easting - kUtmFalseEasting) / kUtmK0;
  const double m = northing / kUtmK0;

  const double phi1 = footpoint_latitude(m);
  const double c = std::cos(phi1);
  const double s = std::sin(phi1);
  const double t = std::tan(phi1);
  const double t2 = t * t;
  const double t4 = t2 * t2;
  const double n2 = ep2 * c * c;  // eta^2
  const double n4 = n2 * n2;
  const double n6 = n4 * n2;
  const double n8 = n4 * n4;
  const double w = 1.0 - e2 * s * s;
  const double nu = a / std::sqrt(w);
  const double rho = a * (1.0 - e2) / std::pow(w, 1.5);

  const double x2 = x * x;
  const double x3 = x2 * x;
  const double x4 = x2 * x2;
  const double x5 = x4 * x;
  const double x6 = x4 * x2;
  const double nu3 = nu * nu * nu;
  const double nu5 = nu3 * nu * nu;

  const double phi =
      phi1 - t * x2 / (2.0 * rho * nu) +
      t * x4 / (24.0 * rho * nu3) * (5.0 + 3.0 * t2 + n2 - 4.0 * n4 - 9.0 * t2 * n2) -
      t * x6 / (720.0 * rho * nu5) *
          (61.0 + 90.0 * t2 + 46.0 * n2 + 45.0 * t4 - 252.0 * t2 * n2 - 3.0 * n4 + 100.0 * n6 -
           66.0 * t2 * n4 - 90.0 * t4 * n2 + 88.0 * n8 + 225.0 * t4 * n4 + 84.0 * t2 * n6 -
           192.0 * t2 * n8);

  const double dlambda = (x / nu - x3 / (6.0 * nu3) * (1.0 + 2.0 * t2 + n2) +
                          x5 / (120.0 * nu5) *
                              (5.0 + 6.0 * n2 + 28.0 * t2 - 3.0 * n4 + 8.0 * t2 * n2 + 24.0 * t4 -
                               4.0 * n6 + 4.0 * t2 * n4 + 24.0 * t2 * n6)) /
                         c;

  latitude = phi * kUtmRadToDeg;
  longitude = dlambda * kUtmRadToDeg + central_meridian;
}

}  // namespace aeroquilt
