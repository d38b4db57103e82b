// libFuzzer main of one target (built with AEROQUILT_FUZZ=ON); FUZZ_ENTRY names its entry.
#include "fuzz/fuzz_entries.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  return aeroquilt::fuzz::FUZZ_ENTRY(data, size);
}
