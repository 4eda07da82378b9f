// Feeds arbitrary bytes as generator replies to the link's exchanges and console wait.
#include "device/KivoIo.h"
#include "tests/support/ScriptedStream.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace {

const unsigned char kExpected[] = "cnd 12";

struct Stop : KivoProgress {
    unsigned calls = 0, limit = 0;
    bool progress(double percent) override {
        return percent >= 0.0 && percent <= 100.0 && ++calls != limit;
    }
};

void runOne(KivoIo& kivo, unsigned op, Stop& sink) {
    unsigned char* reply = nullptr;
    unsigned len = 0, value = 0, v[4] = {};
    unsigned char byte = 0, type = 0, version = 0;
    const unsigned char payload[3] = {1, 2, 3};
    switch (op) {
    case 0:
        kivo.llio(0x8062, payload, 0, reply, len);
        break;
    case 1:
        kivo.llio(0x62, payload, 3, reply, len);
        break;
    case 2:
        kivo.ioRead(0xF858, 0x10, value);
        break;
    case 3:
        kivo.ioRead1(0x64, byte);
        break;
    case 4:
        kivo.getInfoFrame(2, type, version, reply, len);
        break;
    case 5:
        kivo.getVersions(v[0], v[1], v[2], v[3]);
        break;
    case 6:
        kivo.waitForResponse(1000, kExpected, 6, &sink);
        break;
    default:
        kivo.ping(2);
        break;
    }
    delete[] reply;
}

} // namespace

// Every bad reply is traced to stdout; keep the fuzzer's log readable.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (!std::freopen("/dev/null", "w", stdout)) return 0;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    ScriptedStream s;
    s.input.assign(data + 2, data + size);
    KivoIo kivo(s);
    Stop sink;
    sink.limit = data[1] & 0x07;
    // Each round consumes part of the input; the op sequence comes from the first byte.
    for (unsigned round = 0; round < 32 && !s.input.empty(); ++round)
        runOne(kivo, (data[0] + round * (data[0] >> 3 | 1)) & 0x07, sink);
    return 0;
}
