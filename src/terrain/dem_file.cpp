#include "terrain/dem_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <new>

#include "base/console.h"
#include "base/input_file.h"
#include "terrain/dem_sampling.h"

namespace aeroquilt {

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "DEM files are little-endian and read without byte swapping");

namespace {

constexpr uint64_t header_bytes = 32;

// Byte offset of cell (row, column): the heights are stored column by column.
uint64_t cell_offset(int32_t row_count, int32_t row, int32_t column) {
  return header_bytes + 4 * (static_cast<uint64_t>(row_count) * static_cast<uint64_t>(column) +
                             static_cast<uint64_t>(row));
}

template <typename T>
T read_at(const unsigned char* bytes, uint64_t offset) {
  T value;
  std::memcpy(&value, bytes + offset, sizeof(T));
  return value;
}

}  // namespace

DEM_grid::~DEM_grid() { release_dem(*this); }

void DEM_grid::clear_header() {
  column_count = 0;
  row_count = 0;
  south_latitude = 0;
  west_longitude = 0;
  cell_size = 0;
  north_latitude = 0;
  east_longitude = 0;
}

void DEM_grid::unmap() {
  mapped_view_ = nullptr;
  std::vector<unsigned char>().swap(contents_);
  file_size_ = 0;
}

void DEM_grid::close_stream() {
  if (stream_ != nullptr) {
    std::fclose(stream_);
    stream_ = nullptr;
  }
}

bool DEM_grid::header_usable(const std::string& path, uint64_t file_size,
                             bool header_complete) const {
  const char* file = path.c_str();
  if (!header_complete || file_size < header_bytes) {
    console_printf("DEM file %s refused: header incomplete, the file holds %llu bytes\n", file,
                   static_cast<unsigned long long>(file_size));
    return false;
  }
  if (column_count <= 0 || row_count <= 0) {
    console_printf("DEM file %s refused: column count %d and row count %d must be positive\n", file,
                   column_count, row_count);
    return false;
  }
  if (!std::isfinite(cell_size) || cell_size <= 0) {
    console_printf("DEM file %s refused: cell size %f is not a positive number\n", file, cell_size);
    return false;
  }
  if (!std::isfinite(west_longitude) || !std::isfinite(south_latitude)) {
    console_printf("DEM file %s refused: origin %f %f is not a number\n", file, west_longitude,
                   south_latitude);
    return false;
  }
  // A grid beyond the poles or a turn of longitude is a corrupt header, and would
  // let a view of a few degrees ask for billions of nodes.
  const double north = south_latitude + row_count * cell_size;
  const double east = west_longitude + column_count * cell_size;
  if (south_latitude < -90.0 || north > 90.0 + cell_size || west_longitude < -360.0 ||
      east > 360.0 + cell_size) {
    console_printf(
        "DEM file %s refused: latitudes %f to %f and longitudes %f to %f are not on the earth\n",
        file, south_latitude, north, west_longitude, east);
    return false;
  }
  const uint64_t needed = cell_offset(row_count, 0, column_count);
  if (file_size < needed) {
    console_printf("DEM file %s refused: %d x %d heights need %llu bytes, the file holds %llu\n",
                   file, column_count, row_count, static_cast<unsigned long long>(needed),
                   static_cast<unsigned long long>(file_size));
    return false;
  }
  return true;
}

DEM_grid::open_result DEM_grid::map_file(const std::string& path) {
  unmap();
  if (stream_ == nullptr) clear_header();
  std::string reason;
  bool wrong_kind = false;
  const int fd = open_regular_file(path, reason, &wrong_kind);
  if (fd < 0) {
    if (!wrong_kind) return open_result::failed;
    release_dem(*this);
    console_printf("DEM file %s refused: not a regular file (%s)\n", path.c_str(), reason.c_str());
    return open_result::refused;
  }
  struct fd_closer {
    int fd;
    ~fd_closer() { ::close(fd); }
  } closer{fd};

  struct stat info;
  if (::fstat(fd, &info) != 0) {
    console_printf("hMapFile is NULL: last error: %d\n", errno);
    return open_result::failed;
  }
  if (static_cast<uint64_t>(info.st_size) < header_bytes) {
    release_dem(*this);
    header_usable(path, static_cast<uint64_t>(info.st_size), false);
    return open_result::refused;
  }
  const uint64_t size = static_cast<uint64_t>(info.st_size);
  if (size > available_memory_bytes() / 2) {
    console_printf("DEM file %s: %llu bytes do not fit in memory, read cell by cell\n",
                   path.c_str(), static_cast<unsigned long long>(size));
    return open_result::failed;
  }
  try {
    contents_.resize(size);
  } catch (const std::bad_alloc&) {
    unmap();
    console_printf("pbuf is NULL: last error: %d\n", ENOMEM);
    return open_result::failed;
  }
  // Read to the end of what is there: a file cut short since fstat holds fewer bytes,
  // which the header check below then refuses.
  uint64_t held = 0;
  while (held < size) {
    const ssize_t got = ::pread(fd, contents_.data() + held, size - held, static_cast<off_t>(held));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    held += static_cast<uint64_t>(got);
  }
  mapped_view_ = contents_.data();
  file_size_ = held;

  if (held < header_bytes) {
    release_dem(*this);
    header_usable(path, held, false);
    return open_result::refused;
  }
  column_count = read_at<int32_t>(mapped_view_, 0);
  row_count = read_at<int32_t>(mapped_view_, 4);
  west_longitude = read_at<double>(mapped_view_, 8);
  south_latitude = read_at<double>(mapped_view_, 16);
  cell_size = read_at<double>(mapped_view_, 24);
  if (!header_usable(path, held, true)) {
    release_dem(*this);
    return open_result::refused;
  }
  north_latitude = south_latitude + row_count * cell_size;
  east_longitude = west_longitude + column_count * cell_size;
  return open_result::opened;
}

DEM_grid::open_result DEM_grid::open_stream(const std::string& path) {
  close_stream();
  if (mapped_view_ == nullptr) clear_header();
  std::string reason;
  stream_ = fopen_regular_file(path, "rb", reason);
  if (stream_ == nullptr) {
    console_printf("unable to open DEM file %s\n", path.c_str());
    return open_result::failed;
  }
  bool complete = true;
  const auto read_field = [&](void* field, std::size_t bytes) {
    last_read_count_ = static_cast<uint32_t>(std::fread(field, bytes, 1, stream_));
    complete = complete && last_read_count_ == 1;
  };
  read_field(&column_count, 4);
  read_field(&row_count, 4);
  read_field(&west_longitude, 8);
  read_field(&south_latitude, 8);
  read_field(&cell_size, 8);

  struct stat info;
  const uint64_t size = ::fstat(::fileno(stream_), &info) == 0 && S_ISREG(info.st_mode)
                            ? static_cast<uint64_t>(info.st_size)
                            : 0;
  if (!header_usable(path, size, complete)) {
    release_dem(*this);
    return open_result::refused;
  }
  north_latitude = south_latitude + row_count * cell_size;
  east_longitude = west_longitude + column_count * cell_size;
  console_printf("DEM loaded %s\nRange %f %f %f %f\ncell_size %f\n\n", path.c_str(), west_longitude,
                 east_longitude, south_latitude, north_latitude, cell_size);
  pause_ms(1000);
  return open_result::opened;
}

int map_dem_file(DEM_grid& grid, const std::string& path) {
  return grid.map_file(path) == DEM_grid::open_result::opened ? 1 : 0;
}

int open_dem_stream(DEM_grid& grid, const std::string& path) {
  return grid.open_stream(path) == DEM_grid::open_result::opened ? 1 : 0;
}

float dem_cell_height(const DEM_grid& grid, double latitude, double longitude) {
  const float row = std::roundf(
      static_cast<float>(grid.row_count - (latitude - grid.south_latitude) / grid.cell_size));
  const float column =
      std::roundf(static_cast<float>((longitude - grid.west_longitude) / grid.cell_size));
  // Compared as floats so that NaN and huge values never reach an integer conversion.
  if (!(row >= 0.0f && row < static_cast<float>(grid.row_count) && column >= 0.0f &&
        column < static_cast<float>(grid.column_count))) {
    return 0.0f;
  }
  const uint64_t offset =
      cell_offset(grid.row_count, static_cast<int32_t>(row), static_cast<int32_t>(column));
  if (grid.mapped_view_ != nullptr) return read_at<float>(grid.mapped_view_, offset);
  if (grid.stream_ != nullptr) {
    float height = 0.0f;
    if (::fseeko(grid.stream_, static_cast<off_t>(offset), SEEK_SET) != 0 ||
        std::fread(&height, 4, 1, grid.stream_) != 1) {
      return 0.0f;
    }
    return height;
  }
  return 0.0f;
}

void release_dem(DEM_grid& grid) {
  grid.close_stream();
  grid.unmap();
  grid.clear_header();
}

void load_dem(view_dem& dem, const std::string& path) {
  dem.grid = std::make_unique<DEM_grid>();
  // A refused file is not retried as a stream: it would read the same bad bytes.
  if (dem.grid->map_file(path) == DEM_grid::open_result::failed) dem.grid->open_stream(path);
  dem.cell_size = static_cast<float>(dem.grid->cell_size);
  dem.hermite_basis = {{1, 0, 0, 0}, {0, 0, 1, 0}, {-3, 3, -2, -1}, {2, -2, 1, 1}};
  dem.work.zeros(4, 4);
}

}  // namespace aeroquilt
