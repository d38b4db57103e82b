#pragma once
// The DEM file: a 32-byte header and single-precision heights stored column by
// column (west to east), each column from north to south. The file is read into
// memory when it fits (a mapping would end the process with SIGBUS when the file
// shrinks under the run), or read cell by cell from a stream otherwise.

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace aeroquilt {

// The loaded DEM. All zero when nothing could be loaded; every lookup then gives 0.
class view_dem;

class DEM_grid {
 public:
  DEM_grid() = default;
  ~DEM_grid();
  DEM_grid(const DEM_grid&) = delete;
  DEM_grid& operator=(const DEM_grid&) = delete;

  int32_t column_count = 0;   // A
  int32_t row_count = 0;      // B
  double south_latitude = 0;  // D, degrees
  double west_longitude = 0;  // C, degrees
  double cell_size = 0;       // E, degrees
  double north_latitude = 0;  // D + B*E
  double east_longitude = 0;  // C + A*E

  bool mapped() const { return mapped_view_ != nullptr; }
  bool stream_open() const { return stream_ != nullptr; }

 private:
  friend int map_dem_file(DEM_grid&, const std::string&);
  friend int open_dem_stream(DEM_grid&, const std::string&);
  friend float dem_cell_height(const DEM_grid&, double, double);
  friend void release_dem(DEM_grid&);
  friend void load_dem(view_dem&, const std::string&);

  // `refused`: the file was read but its content is unusable (already reported);
  // another way of reading it would not help.
  enum class open_result { opened, failed, refused };
  open_result map_file(const std::string& path);
  open_result open_stream(const std::string& path);
  // Checks the header against the file size; on a fault prints why and returns false.
  bool header_usable(const std::string& path, uint64_t file_size, bool header_complete) const;
  void clear_header();
  void unmap();
  void close_stream();

  std::FILE* stream_ = nullptr;
  uint32_t last_read_count_ = 0;
  std::vector<unsigned char> contents_;  // the whole file, when read into memory
  const unsigned char* mapped_view_ = nullptr;
  uint64_t file_size_ = 0;  // bytes held
};

// Creates the grid in `dem`, reads the file (falling back to the stream), copies
// the cell size and builds the Hermite basis.
void load_dem(view_dem& dem, const std::string& path);

// Reads the whole file into memory when it takes at most half the machine's free
// memory. 1 on success, 0 on failure (then the stream may serve). A file that is not a
// regular one (a FIFO would hang the reader), whose header is
// unusable or promises more heights than the file holds is refused with a message
// and leaves the grid all zero.
int map_dem_file(DEM_grid& grid, const std::string& path);

// Opens the file as a stream for cell reads. 1 on success, 0 on failure; refuses
// a bad file like map_dem_file.
int open_dem_stream(DEM_grid& grid, const std::string& path);

// Height (metres) of the nearest cell to (latitude, longitude) degrees; 0 outside.
float dem_cell_height(const DEM_grid& grid, double latitude, double longitude);

// Closes the stream and unmaps the file; the grid is all zero again.
void release_dem(DEM_grid& grid);

}  // namespace aeroquilt
