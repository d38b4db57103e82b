#pragma once
// One entry per fuzz target: each takes an arbitrary byte string, hands it to a
// reader of user files exactly as a run would, and returns 0. The libFuzzer mains
// in fuzz/ and the seed-corpus test of the normal build call the same functions,
// so a crash found by fuzzing is replayed by `ctest` once its input is in the corpus.

#include <cstddef>
#include <cstdint>

namespace aeroquilt::fuzz {

// The configuration file: load_config on the bytes as a file, then parse_number,
// parse_exponent and parse_text_field on them as one line.
int config_reader_entry(const uint8_t* data, std::size_t size);

// The flight log: read_flight_log on the bytes as a file, then the camera model and
// flat footprint of (at most 64 of) the records that point at an existing image.
int flight_log_entry(const uint8_t* data, std::size_t size);

// The DEM file: load_dem (mapped) and the stream reader on the bytes as a file,
// nearest-cell lookups around the grid, and a view DEM of a few cells inside it.
int dem_loader_entry(const uint8_t* data, std::size_t size);

// A raw RGB frame: load_image on the bytes as a file named like a raw frame, with a
// configured frame size taken from the header when it is small, with and without
// the vignette table.
int raw_frame_entry(const uint8_t* data, std::size_t size);

}  // namespace aeroquilt::fuzz
