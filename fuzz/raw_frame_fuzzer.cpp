// libFuzzer main of the raw frame target (built with AEROQUILT_FUZZ=ON).
#include <cstddef>
#include <cstdint>

#include "fuzz/fuzz_entries.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  return aeroquilt::fuzz::raw_frame_entry(data, size);
}
