#pragma once
// The run's local metric frame: x east, y north (metres) about a reference point (the
// survey centre), z up with z = 0 at topo_height. Every conversion between it and
// geographic degrees (WGS84) goes through here. The variants differ only in their
// order of rounding, which the records and kernels they feed depend on.

namespace aeroquilt {

// The reference point of a run and its radii.
struct local_frame {
  double ref_lat = 0;       // degrees
  double ref_lon = 0;       // degrees
  double radius_east = 0;   // N, metres
  double radius_north = 0;  // M, metres (first power of 1 - e^2 sin^2 phi0)
};

// Radii of the local frame at `ref_lat` (degrees), in double precision.
void local_radii(double ref_lat, double& radius_east, double& radius_north);

// The radii as view records hold them: sin^2 of the single-precision reference
// latitude `phi0` (radians) rounded to single precision first.
void record_radii(float phi0, double& radius_east, double& radius_north);

// A local frame about (ref_lat, ref_lon) degrees with its radii filled in.
local_frame make_local_frame(double ref_lat, double ref_lon);

// Geographic (degrees) to local (metres) about `frame`.
void geographic_to_local(double latitude, double longitude, const local_frame& frame, double& x,
                         double& y);

// Geographic (radians) to local (metres), in the camera model's order:
// cos(phi0) (lambda - lambda0) N and (phi - phi0) M, with phi0 = ref_lat * pi / 180.
void radians_to_local(double latitude_rad, double longitude_rad, const local_frame& frame,
                      double& x, double& y);

// Local (metres) to geographic (degrees) about `frame`.
void local_to_geographic(double x, double y, const local_frame& frame, double& latitude,
                         double& longitude);

// Local (metres) to geographic (degrees) as view records hold their bounds: the
// reference in single-precision radians, cos(phi0) taken in single precision.
void record_local_to_geographic(double x, double y, float phi0, float lambda0, double radius_east,
                                double radius_north, double& latitude, double& longitude);

// The frame of the terrain march that finds footprint corners: single-precision
// reference (radians), cosine and radii.
struct march_frame {
  float phi0 = 0, lambda0 = 0;
  float cos_phi = 0;
  float radius_east = 0, radius_north = 0;
};
march_frame make_march_frame(float phi0, float lambda0);

// Local (metres) to geographic (degrees) in the march's single precision.
void march_local_to_geographic(const march_frame& frame, float x, float y, float& latitude,
                               float& longitude);

// Geographic placement of a north-up raster in degrees of WGS 84: the centre of pixel
// (row r, column c) is at longitude first_lon_deg + c * lon_step_deg and latitude
// first_lat_deg + r * lat_step_deg (lat_step_deg < 0: rows run south).
struct raster_georeference {
  double lon_step_deg = 0.0;
  double lat_step_deg = 0.0;
  double first_lon_deg = 0.0;
  double first_lat_deg = 0.0;
};

}  // namespace aeroquilt
