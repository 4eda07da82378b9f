// Random bytes into the simulated generator: the first byte picks the starting mode.
#include "sim/KivoSim.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    KivoSim::parseForTest(data + 1, size - 1, data[0] & 1);
    return 0;
}
