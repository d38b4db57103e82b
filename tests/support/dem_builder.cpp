#include "support/dem_builder.h"

#include <cstring>

#include "support/scratch.h"

namespace aeroquilt::testing {

namespace {

template <typename T>
void append(std::string& bytes, T value) {
  char raw[sizeof(T)];
  std::memcpy(raw, &value, sizeof(T));
  bytes.append(raw, sizeof(T));
}

}  // namespace

std::string dem_file_bytes(int32_t column_count, int32_t row_count, double west_longitude,
                           double south_latitude, double cell_size, const dem_height_fn& height) {
  std::string bytes;
  append(bytes, column_count);
  append(bytes, row_count);
  append(bytes, west_longitude);
  append(bytes, south_latitude);
  append(bytes, cell_size);
  if (!height) return bytes;
  for (int32_t j = 0; j < column_count; ++j) {
    for (int32_t i = 0; i < row_count; ++i) append(bytes, height(i, j));
  }
  return bytes;
}

void write_dem_file(const std::string& path, int32_t column_count, int32_t row_count,
                    double west_longitude, double south_latitude, double cell_size,
                    const dem_height_fn& height) {
  const std::string bytes =
      dem_file_bytes(column_count, row_count, west_longitude, south_latitude, cell_size, height);
  write_binary_file(path, bytes.data(), bytes.size());
}

}  // namespace aeroquilt::testing
