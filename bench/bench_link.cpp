// Times the updater's own upload loops against a generator on a serial line (in practice a
// kivo-sim pty in another process, so this process's CPU time is the updater's alone).
// Usage:
//   bench_link pattern PORT PAGES   erase slot 0 (not timed), then write PAGES bitmap pages
//   bench_link firmware PORT BYTES  bootloader: synchronise, erase, then write BYTES at 0x08000000
// Prints "key value" lines: wall and cpu seconds of the timed part, the unit count, peak RSS.
#include "bootloader/Stm32Bootload.h"
#include "device/KivoIo.h"
#include "serial/SerialIo.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sys/resource.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr unsigned kFlashBase = 0x08000000;

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

int benchPattern(const char* port, unsigned pages) {
    std::unique_ptr<SerialIo> io(SerialIo::PlatformSIo());
    if (!io->initialize(port, SerialIo::Baud115200, 8, SerialIo::ParityNone, 1)) {
        std::perror(port);
        return 1;
    }
    KivoIo link(*io);
    if (!link.ping(3) || !link.eraseBitmapSlot(0, nullptr)) {
        std::fprintf(stderr, "bench_link: no generator on %s\n", port);
        return 1;
    }
    const std::vector<unsigned char> bitmap = pattern(size_t(pages) * KivoIo::PageSize);
    Stopwatch sw;
    const bool ok = link.loadBitmap(bitmap.data(), unsigned(bitmap.size()), nullptr);
    sw.report("pattern", pages);
    return ok ? 0 : 1;
}

int benchFirmware(const char* port, unsigned bytes) {
    Stm32Bootload loader;
    if (loader.init(port) != Stm32Bootload::Ok) {
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
    const int written = loader.write_flash(kFlashBase, image.data(), bytes);
    sw.report("firmware", (bytes + Stm32Proto::MaxChunk - 1) / Stm32Proto::MaxChunk);
    all.report("erase_write", 1);
    return erased == Stm32Bootload::Ok && written == Stm32Bootload::Ok ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fputs("usage: bench_link pattern|firmware PORT COUNT\n", stderr);
        return 2;
    }
    const unsigned count = unsigned(std::strtoul(argv[3], nullptr, 0));
    int rc = 2;
    if (std::strcmp(argv[1], "pattern") == 0) rc = benchPattern(argv[2], count);
    if (std::strcmp(argv[1], "firmware") == 0) rc = benchFirmware(argv[2], count);
    std::fprintf(stderr, "peak_rss_kib %ld\n", peakRssKib());
    return rc;
}
