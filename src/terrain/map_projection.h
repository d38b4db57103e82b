#pragma once
// Conversions between UTM grid coordinates, geographic latitude/longitude (WGS84,
// degrees) and the run's local metric frame (x east, y north, metres, about the
// reference point).

namespace aeroquilt {

// The reference point of a run (the survey centre) and its radii.
struct local_frame {
  double ref_lat = 0;       // degrees
  double ref_lon = 0;       // degrees
  double radius_east = 0;   // N, metres
  double radius_north = 0;  // M, metres (first power of 1 - e^2 sin^2 phi0)
};

// Central meridian, degrees, of the UTM zone that `meridian_longitude` (degrees) falls in.
double utm_central_meridian(double meridian_longitude);

// UTM easting/northing (metres, no false northing) to latitude/longitude (degrees).
void utm_to_geographic(double easting, double northing, double central_meridian, double& latitude,
                       double& longitude);

// Radii of the local frame at `ref_lat` (degrees), in double precision.
void local_radii(double ref_lat, double& radius_east, double& radius_north);

// A local frame about (ref_lat, ref_lon) degrees with its radii filled in.
local_frame make_local_frame(double ref_lat, double ref_lon);

// Geographic (degrees) to local (metres) about `frame`.
void geographic_to_local(double latitude, double longitude, const local_frame& frame, double& x,
                         double& y);

// Local (metres) to geographic (degrees) about `frame`.
void local_to_geographic(double x, double y, const local_frame& frame, double& latitude,
                         double& longitude);

}  // namespace aeroquilt
