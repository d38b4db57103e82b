#pragma once
// Builds DEM files for tests: the 32-byte little-endian header (A, B as int32; C, D, E
// as double) followed by A*B single-precision heights, column by column (west to east),
// each column from row 0 (north) to row B-1 (south). Cell (i, j) lies at latitude
// D + (B - i)*E and longitude C + j*E.

#include <cstdint>
#include <functional>
#include <string>

namespace aeroquilt::testing {

// Height in metres of cell (row i from the north, column j from the west).
using dem_height_fn = std::function<float(int i, int j)>;

// The bytes of a DEM file; `height` is called once per cell. With an empty `height`
// only the 32-byte header is produced (for corrupt or sparse files).
std::string dem_file_bytes(int32_t column_count, int32_t row_count, double west_longitude,
                           double south_latitude, double cell_size, const dem_height_fn& height);

// Writes dem_file_bytes(...) to `path`, replacing any file there.
void write_dem_file(const std::string& path, int32_t column_count, int32_t row_count,
                    double west_longitude, double south_latitude, double cell_size,
                    const dem_height_fn& height);

}  // namespace aeroquilt::testing
