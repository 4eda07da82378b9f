// Times the updater's own upload loops against a generator on a serial line (in practice a
// kivo-sim pty in another process, so this process's CPU time is the updater's alone).
// Usage:
// PORT is a device path or, for pattern and firmware, a network port such as rfc2217://HOST:PORT.
//   bench_link pattern PORT PAGES   erase slot 0 (not timed), then write PAGES bitmap pages
//   bench_link firmware PORT BYTES  bootloader: synchronise, erase, then write BYTES at 0x08000000
//   bench_link floor PORT PAGES     like pattern, but the pages go out from a minimal loop on the
//                                   raw descriptor (one write, reads, 1 ms sleep): what the
//                                   machine itself needs for the same traffic, as a reference
//   bench_link fwfloor PORT BYTES   like firmware, but the chunks go out from a minimal loop on
//                                   the raw descriptor (one write and one ACK a step)
// Prints "key value" lines: wall and cpu seconds of the timed part, the unit count, peak RSS.
#include "bootloader/Stm32Bootload.h"
#include "device/KivoIo.h"
#include "serial/SIoUnix.h"
#include "serial/SerialIo.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr unsigned kFlashBase = 0x08000000;
constexpr size_t kAckBytes = 12;
constexpr unsigned kPauseUs = 1000;
constexpr int kReplyWaitMs = 1250;

double cpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    auto sec = [](const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
    return sec(u.ru_utime) + sec(u.ru_stime);
}

long peakRssKib() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss;
}

// Wall and CPU time of one timed stretch.
struct Stopwatch {
    Clock::time_point wall0 = Clock::now();
    double cpu0 = cpuSeconds();
    void report(const char* what, unsigned units) const {
        const double wall = std::chrono::duration<double>(Clock::now() - wall0).count();
        std::fprintf(stderr, "%s_units %u\n%s_wall %.6f\n%s_cpu %.6f\n", what, units, what, wall,
                     what, cpuSeconds() - cpu0);
    }
};

std::vector<unsigned char> pattern(size_t n) {
    std::vector<unsigned char> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<unsigned char>(i * 131 + (i >> 9));
    return v;
}

// Bitmap page k of a slot as a request frame (tag 0, address 0), as the link would build it.
std::vector<unsigned char> pageFrame(unsigned k, bool last, const unsigned char* data) {
    const unsigned length = 4 + KivoIo::PageSize + 5;
    std::vector<unsigned char> f = {0xAA,
                                    0,
                                    0,
                                    static_cast<unsigned char>(length),
                                    static_cast<unsigned char>(length >> 8),
                                    0,
                                    0,
                                    0x78,
                                    0x78,
                                    KivoIo::TargetBitmap,
                                    static_cast<unsigned char>(k),
                                    static_cast<unsigned char>(k >> 8),
                                    static_cast<unsigned char>(last ? KivoIo::FlagLastPage : 0)};
    f.insert(f.end(), data, data + KivoIo::PageSize);
    unsigned sum = 0;
    for (unsigned char b : f) sum += b;
    f.push_back(static_cast<unsigned char>(0x100 - (sum & 0xFF)));
    return f;
}

// The least a client can do per page: one write, reads until the acknowledgement is in, pause.
bool minimalLoop(int fd, const std::vector<unsigned char>& bitmap, unsigned pages) {
    unsigned char ack[kAckBytes];
    for (unsigned k = 0; k < pages; ++k) {
        const auto f = pageFrame(k, k + 1 == pages, bitmap.data() + size_t(k) * KivoIo::PageSize);
        if (write(fd, f.data(), f.size()) != ssize_t(f.size())) return false;
        for (size_t got = 0; got < kAckBytes;) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, kReplyWaitMs) != 1) return false;
            const ssize_t r = read(fd, ack + got, kAckBytes - got);
            if (r <= 0) return false;
            got += size_t(r);
        }
        usleep(kPauseUs);
    }
    return true;
}

int benchPattern(const char* port, unsigned pages, bool minimal) {
    // A network port ("rfc2217://HOST:PORT") works too, for the pattern loop.
    std::unique_ptr<SIoUnix> stream(static_cast<SIoUnix*>(SerialIo::ForPort(port)));
    SIoUnix& io = *stream;
    if (!io.initialize(port, SerialIo::Baud115200, 8, SerialIo::ParityNone, 1)) {
        std::perror(port);
        return 1;
    }
    KivoIo link(io);
    if (!link.ping(3) || !link.eraseBitmapSlot(0, nullptr)) {
        std::fprintf(stderr, "bench_link: no generator on %s\n", port);
        return 1;
    }
    const std::vector<unsigned char> bitmap = pattern(size_t(pages) * KivoIo::PageSize);
    Stopwatch sw;
    const bool ok = minimal ? minimalLoop(io.fd(), bitmap, pages)
                            : link.loadBitmap(bitmap.data(), unsigned(bitmap.size()), nullptr);
    sw.report(minimal ? "floor" : "pattern", pages);
    return ok ? 0 : 1;
}

// One ACK byte within the reply time-out.
bool ackIn(int fd) {
    pollfd p{fd, POLLIN, 0};
    unsigned char b = 0;
    return poll(&p, 1, int(Stm32Proto::ReplyMs)) == 1 && read(fd, &b, 1) == 1 &&
           b == Stm32Proto::Ack;
}

bool sendAcked(int fd, const std::vector<unsigned char>& bytes) {
    return write(fd, bytes.data(), bytes.size()) == ssize_t(bytes.size()) && ackIn(fd);
}

// The least a client can do per chunk: Write Memory, the address, the data, each with its ACK.
bool minimalFirmwareLoop(int fd, const std::vector<unsigned char>& image) {
    const unsigned char cmd = Stm32Proto::CmdWriteMemory;
    for (size_t at = 0; at < image.size(); at += Stm32Proto::MaxChunk) {
        const size_t n = std::min<size_t>(Stm32Proto::MaxChunk, image.size() - at);
        const uint32_t addr = uint32_t(kFlashBase + at);
        std::vector<unsigned char> a = {static_cast<unsigned char>(addr >> 24),
                                        static_cast<unsigned char>(addr >> 16),
                                        static_cast<unsigned char>(addr >> 8),
                                        static_cast<unsigned char>(addr)};
        a.push_back(a[0] ^ a[1] ^ a[2] ^ a[3]);
        std::vector<unsigned char> d = {static_cast<unsigned char>(n - 1)};
        d.insert(d.end(), image.begin() + long(at), image.begin() + long(at + n));
        unsigned char x = 0;
        for (unsigned char b : d) x ^= b;
        d.push_back(x);
        if (!sendAcked(fd, {cmd, static_cast<unsigned char>(~cmd)}) || !sendAcked(fd, a) ||
            !sendAcked(fd, d))
            return false;
    }
    return true;
}

int benchFirmware(const char* port, unsigned bytes, bool minimal) {
    // Owned by the loader; a network port ("rfc2217://HOST:PORT") works too.
    auto* io = static_cast<SIoUnix*>(SerialIo::ForPort(port));
    Stm32Bootload loader(io);
    if (!io->initialize(port, SerialIo::Baud115200, 8, SerialIo::ParityEven, 1) ||
        loader.connect_to_bl() != Stm32Bootload::Ok) {
        std::fprintf(stderr, "bench_link: no bootloader on %s\n", port);
        return 1;
    }
    Stopwatch all;
    std::vector<unsigned char> commands;
    loader.get_commands(commands);
    auto offers = [&](unsigned char c) {
        return std::memchr(commands.data(), c, commands.size()) != nullptr;
    };
    // As the firmware job does: Extended Erase only where plain Erase is not offered.
    const bool extended = !offers(Stm32Proto::CmdErase) && offers(Stm32Proto::CmdExtendedErase);
    const int erased =
        extended ? loader.extended_erase_flash(0xFF, nullptr) : loader.erase_flash(0xFF, nullptr);
    const std::vector<unsigned char> image = pattern(bytes);
    Stopwatch sw;
    const int written = minimal ? (minimalFirmwareLoop(io->fd(), image) ? Stm32Bootload::Ok
                                                                        : Stm32Bootload::BadReply)
                                : loader.write_flash(kFlashBase, image.data(), bytes);
    sw.report(minimal ? "fwfloor" : "firmware",
              (bytes + Stm32Proto::MaxChunk - 1) / Stm32Proto::MaxChunk);
    all.report("erase_write", 1);
    return erased == Stm32Bootload::Ok && written == Stm32Bootload::Ok ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fputs("usage: bench_link pattern|floor|firmware|fwfloor PORT COUNT\n", stderr);
        return 2;
    }
    const unsigned count = unsigned(std::strtoul(argv[3], nullptr, 0));
    int rc = 2;
    if (std::strcmp(argv[1], "pattern") == 0) rc = benchPattern(argv[2], count, false);
    if (std::strcmp(argv[1], "floor") == 0) rc = benchPattern(argv[2], count, true);
    if (std::strcmp(argv[1], "firmware") == 0) rc = benchFirmware(argv[2], count, false);
    if (std::strcmp(argv[1], "fwfloor") == 0) rc = benchFirmware(argv[2], count, true);
    std::fprintf(stderr, "peak_rss_kib %ld\n", peakRssKib());
    return rc;
}
