// The libFuzzer main of one target; DC_FUZZ_ENTRY names its entry function.
#include <cstddef>
#include <cstdint>

#include "fuzz/entries/FuzzEntries.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    dcfuzz::DC_FUZZ_ENTRY(data, size);
    return 0;
}
