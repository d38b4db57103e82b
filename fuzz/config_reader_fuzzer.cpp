// libFuzzer main of the config reader target (built with AEROQUILT_FUZZ=ON).
#include <cstddef>
#include <cstdint>

#include "fuzz/fuzz_entries.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  return aeroquilt::fuzz::config_reader_entry(data, size);
}
