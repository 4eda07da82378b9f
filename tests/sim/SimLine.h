#pragma once
// The host end of a simulated generator's line, and tables of exchanges played over it.
#include "sim/KivoSim.h"
#include "tests/support/FrameBytes.h"
#include "tests/support/SimGuard.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <fcntl.h>
#include <functional>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

constexpr uint8_t ACK = 0x79, NACK = 0x1F;
constexpr uint32_t kBase = 0x08000000;

const auto text = [](const std::string& s) { return Bytes(s.begin(), s.end()); };
inline Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

const auto flashPage = [](uint8_t target, unsigned page, uint8_t flags, uint8_t fill) {
    return request(0x7878, cat({{target, uint8_t(page), uint8_t(page >> 8), flags},
                                Bytes(KivoSim::kPageSize, fill)}));
};
const Bytes kRead62 = request(0x8062), kZero62 = answer(0x8062, {0}), kCnd12 = text("cnd 12\r\n");
const auto eraseSlot = [](int n) {
    return text("DBG 1\r\nfpw 7c 0" + std::to_string(n) + "\r\ncnd 12\r\n");
};

// Bootloader packets: command and complement, address and XOR, data and XOR.
const auto cmd = [](uint8_t c) { return Bytes{c, uint8_t(c ^ 0xFF)}; };
inline Bytes withXor(Bytes b, uint8_t x = 0) {
    for (uint8_t v : b) x ^= v;
    return cat({b, {x}});
}
const auto address = [](uint32_t a) {
    return withXor({uint8_t(a >> 24), uint8_t(a >> 16), uint8_t(a >> 8), uint8_t(a)});
};

// Bytes sent, then the answer expected byte for byte; no answer means the line stays quiet
// for ms (80 when 0).
struct Step {
    Bytes out, in;
    int ms = 0;
};
using Steps = std::vector<Step>;
inline Steps join(Steps a, const Steps& b, const Steps& c = {}, const Steps& d = {}) {
    for (const Steps* p : {&b, &c, &d}) a.insert(a.end(), p->begin(), p->end());
    return a;
}
inline Steps bootWrite(uint32_t a, const Bytes& data, uint8_t last = ACK) {
    return {{cmd(0x31), {ACK}},
            {address(a), {ACK}},
            {withXor(cat({{uint8_t(data.size() - 1)}, data})), {last}}};
}

// A started simulator with the host end of its line open, raw.
struct SimLine {
    KivoSim sim;
    explicit SimLine(const KivoSim::Options& o = {})
        : sim(o), started(sim.start()), fd(open(sim.slavePath().c_str(), O_RDWR | O_NOCTTY)) {
        termios t{};
        if (fd >= 0 && tcgetattr(fd, &t) == 0)
            cfmakeraw(&t), cfsetspeed(&t, B115200), tcsetattr(fd, TCSANOW, &t);
    }
    ~SimLine() {
        if (fd >= 0) close(fd);
    }
    void send(const Bytes& b) { sent += std::max<ssize_t>(0, ::write(fd, b.data(), b.size())); }
    // Up to n bytes, waiting at most ms for each piece; drain: all until ms of quiet.
    Bytes read(size_t n, int ms) {
        Bytes out;
        uint8_t buf[4096];
        for (pollfd p{fd, POLLIN, 0}; out.size() < n && poll(&p, 1, ms) > 0;) {
            const ssize_t got = ::read(fd, buf, std::min(sizeof buf, n - out.size()));
            if (got <= 0) break;
            out.insert(out.end(), buf, buf + got);
        }
        return out;
    }
    Bytes drain(int ms) { return read(SIZE_MAX, ms); }
    // Waits (bounded) until the simulator has taken in every byte sent so far.
    bool settle() {
        for (int i = 0; i < 3000 && sim.counters().bytesIn < sent; ++i) usleep(1000);
        return sim.counters().bytesIn >= sent;
    }
    void play(const Steps& steps) {
        for (size_t i = 0; i < steps.size(); ++i) {
            const Step& s = steps[i];
            if (!s.out.empty()) send(s.out);
            EXPECT_EQ(s.in.empty() ? drain(s.ms ? s.ms : 80)
                                   : read(s.in.size(), s.ms ? s.ms : 2000),
                      s.in)
                << "step " << i;
        }
    }
    const bool started;
    const int fd;
    uint64_t sent = 0;
};

using Check = std::function<void(const KivoSim&)>;
struct Case {
    const char* name;
    KivoSim::Options options;
    Steps steps;
    uint64_t violations = 0;
    Check check = nullptr;
};

// Each case on a fresh simulator: the exchanges, nothing more on the line, the violations.
// Bootloader cases start synchronised.
inline void runCases(std::vector<Case> cases, bool bootloader = false) {
    for (Case& c : cases) {
        SCOPED_TRACE(c.name);
        c.options.bootloader = c.options.bootloader || bootloader;
        SimLine f(c.options);
        ASSERT_TRUE(f.started);
        f.play(bootloader ? join({{{0x7F}, {ACK}}}, c.steps) : c.steps);
        EXPECT_TRUE(f.settle());
        EXPECT_EQ(f.drain(30), Bytes());
        EXPECT_EQ(f.sim.counters().violations, c.violations);
        simguard::expectViolations(c.violations);
        if (c.check) c.check(f.sim);
    }
}
