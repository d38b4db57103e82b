#pragma once
// The tiles of a mosaic as one GIS layer: a GDAL VRT that mosaics the tile images (or
// their maps), each placed by its own georeferencing, so that a GIS or gdalinfo opens
// the whole survey as one raster.

#include <string>
#include <vector>

namespace aeroquilt {

// Writes the VRT at `vrt_path` over the rasters `sources` (paths in the VRT's folder,
// referred to by their names), geographic WGS 84, through a temporary name. False after
// "cannot write PATH: REASON".
bool write_gis_layer(const std::string& vrt_path, const std::vector<std::string>& sources);

}  // namespace aeroquilt
