// Arbitrary bytes through line assembly on a non-blocking socket, as an accepted connection
// delivers them; the first byte decides whether lines are handled or traced.
#include "serial/SIoMux.h"
#include "serial/SIoUnix.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {
const size_t kMaxInput = 64 * 1024; // stays within a socket pair's buffer

class Words : public SIoUnix {
public:
    int result = 0;
    int argv(unsigned argc, const char** words) override {
        for (unsigned i = 0; i < argc; ++i)
            if (!words[i] || !words[i][0]) __builtin_trap(); // words are never null or empty
        return result;
    }
};
} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (!std::freopen("/dev/null", "w", stdout)) return 0;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0 || size > kMaxInput) return 0;
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, sv) != 0) return 0;
    Words io;
    io.result = (data[0] & 1) ? -1 : 0;
    io.initialize(sv[0]);
    SIoMux mux;
    // Half now, the rest later: lines cross the boundary between calls.
    size_t half = (size - 1) / 2;
    if (::write(sv[1], data + 1, half) < 0) half = 0;
    for (int i = 0; i < 4 && io.onReadReady(mux) > 0; ++i) {
    }
    ssize_t rest = ::write(sv[1], data + 1 + half, size - 1 - half);
    ::close(sv[1]);
    if (rest < 0) return 0;
    // Every call takes at least one byte or ends the stream.
    for (size_t calls = 0; calls <= size + 1; ++calls)
        if (io.onReadReady(mux) == -1) break;
    return 0;
}
