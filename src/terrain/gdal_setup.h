#pragma once
// GDAL's drivers, registered once for the whole process: every unit that opens or
// writes a raster through GDAL (frame headers, survey intake, the DEM import, the
// writers) registers them through here, on whichever thread comes first.

namespace aeroquilt {

// Makes GDAL's drivers known, once per process; safe from any thread.
void register_gdal_drivers();

}  // namespace aeroquilt
