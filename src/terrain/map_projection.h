#pragma once
// Conversion of UTM grid coordinates to geographic latitude/longitude (WGS84, degrees).
// The local metric frame of a run is in base/local_frame.h.

namespace aeroquilt {

// Central meridian, degrees, of the UTM zone that `meridian_longitude` (degrees) falls in.
double utm_central_meridian(double meridian_longitude);

// UTM easting/northing (metres, no false northing) to latitude/longitude (degrees).
void utm_to_geographic(double easting, double northing, double central_meridian, double& latitude,
                       double& longitude);

}  // namespace aeroquilt
