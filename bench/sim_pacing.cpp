// Streams about ten seconds of traffic through a paced simulator and compares the time it took
// with the time the line model gives. The host side keeps the line busy (requests are written
// ahead of the replies), so its own turn-around does not enter the figure.
// Usage: sim_pacing [generator|bootloader] [baud] [seconds]
//   generator:  flash-page frames in, acknowledgements out (host-to-generator direction bound)
//   bootloader: Read Memory commands in, 256-byte blocks out (generator-to-host direction bound)
#include "sim/KivoSim.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr unsigned kGeneratorBits = 10, kBootBits = 11;
constexpr size_t kAckBytes = 12;       // acknowledgement of a flash page
constexpr size_t kReadReply = 3 + 256; // ACK, ACK, ACK + block
constexpr double kTolerance = 0.01;

// Preview pages in order, with their first and last flags, so the simulator sees clean traffic.
Bytes flashFrame(unsigned k) {
    const unsigned page = 192 + k % (192 * 300), off = page % 192;
    const uint8_t flags = off == 0 ? 0x80 : off == 191 ? 0x40 : 0;
    Bytes f = {0xAA, 0, 0, 0x09, 0x01, 0, 0, 0x78, 0x78, 0x21, uint8_t(page), uint8_t(page >> 8),
               flags};
    f.resize(9 + 260, uint8_t(page));
    unsigned sum = 0;
    for (uint8_t b : f) sum += b;
    f.push_back(uint8_t(0x100 - (sum & 0xFF)));
    return f;
}

Bytes readCommand(uint32_t addr) {
    Bytes c = {0x11,         0xEE, uint8_t(addr >> 24), uint8_t(addr >> 16), uint8_t(addr >> 8),
               uint8_t(addr)};
    c.push_back(uint8_t(c[2] ^ c[3] ^ c[4] ^ c[5]));
    c.push_back(0xFF);
    c.push_back(0x00);
    return c;
}

bool receive(int fd, size_t n) {
    uint8_t buf[4096];
    while (n > 0) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 5000) <= 0) return false;
        ssize_t got = read(fd, buf, std::min(n, sizeof buf));
        if (got <= 0) return false;
        n -= size_t(got);
    }
    return true;
}

int openRaw(const std::string& path) {
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY);
    termios t{};
    tcgetattr(fd, &t);
    cfmakeraw(&t);
    tcsetattr(fd, TCSANOW, &t);
    return fd;
}

} // namespace

int main(int argc, char** argv) {
    const bool boot = argc > 1 && std::strcmp(argv[1], "bootloader") == 0;
    const unsigned baud = argc > 2 ? unsigned(std::atoi(argv[2])) : 115200;
    const double seconds = argc > 3 ? std::atof(argv[3]) : 10.0;
    if (baud == 0 || seconds <= 0) {
        std::fprintf(stderr, "usage: sim_pacing [generator|bootloader] [baud] [seconds]\n");
        return 2;
    }
    // The line's pacing alone is measured: no chip times, and any speed the pty was left at.
    KivoSim::Options o;
    o.baud = baud;
    o.bootloader = boot;
    o.timings = KivoSim::Timings::none();
    o.relaxed = KivoSim::LineSpeed;
    KivoSim sim(o);
    if (!sim.start()) return 1;
    const int fd = openRaw(sim.slavePath());
    if (boot) {
        (void)!write(fd, "\x7f", 1);
        if (!receive(fd, 1)) return 1;
    }

    const unsigned bits = boot ? kBootBits : kGeneratorBits;
    const double byteSeconds = double(bits) / baud;
    // Generator: bound by the frames coming in, plus the last acknowledgement going out.
    // Bootloader: bound by the blocks going out, after the first command byte pair came in.
    const size_t perUnit = boot ? kReadReply : flashFrame(0).size();
    const unsigned units = unsigned(std::ceil(seconds / (perUnit * byteSeconds)));
    const double modelled = boot ? (2 + double(units) * kReadReply) * byteSeconds
                                 : (double(units) * perUnit + kAckBytes) * byteSeconds;
    Bytes stream;
    for (unsigned u = 0; u < units; ++u) {
        const Bytes b = boot ? readCommand(o.flashBase + (u * 256) % o.flashSize) : flashFrame(u);
        stream.insert(stream.end(), b.begin(), b.end());
    }

    const Clock::time_point begin = Clock::now();
    std::thread writer([&] {
        for (size_t done = 0; done < stream.size();) {
            ssize_t n = write(fd, stream.data() + done, stream.size() - done);
            if (n <= 0) return;
            done += size_t(n);
        }
    });
    const bool ok = receive(fd, boot ? units * kReadReply : units * kAckBytes);
    const double measured = std::chrono::duration<double>(Clock::now() - begin).count();
    writer.join();
    const double error = (measured - modelled) / modelled;
    std::printf("%s mode, %u bit/s, %u units of %zu bytes: modelled %.3f s, measured %.3f s, "
                "error %+.3f%%%s\n",
                boot ? "bootloader" : "generator", baud, units, perUnit, modelled, measured,
                error * 100, ok ? "" : " (reply missing)");
    close(fd);
    sim.stop();
    return ok && std::fabs(error) <= kTolerance ? 0 : 1;
}
