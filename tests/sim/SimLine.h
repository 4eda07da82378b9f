#pragma once
// The host end of a simulated generator's line, driven with plain read and write.
#include "sim/KivoSim.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <fcntl.h>
#include <memory>
#include <poll.h>
#include <string>
#include <termios.h>
#include <unistd.h>
#include <vector>

using Bytes = std::vector<uint8_t>;

class SimLine {
public:
    explicit SimLine(const std::string& path) : fd_(open(path.c_str(), O_RDWR | O_NOCTTY)) {
        termios t{};
        if (fd_ >= 0 && tcgetattr(fd_, &t) == 0) {
            cfmakeraw(&t);
            tcsetattr(fd_, TCSANOW, &t);
        }
    }
    ~SimLine() {
        if (fd_ >= 0) close(fd_);
    }
    SimLine(const SimLine&) = delete;
    SimLine& operator=(const SimLine&) = delete;

    bool ok() const { return fd_ >= 0; }
    void send(const Bytes& b) {
        if (::write(fd_, b.data(), b.size()) > 0) sent_ += b.size();
    }
    uint64_t sent() const { return sent_; }
    void send(const std::string& s) { send(Bytes(s.begin(), s.end())); }

    // Up to n bytes, waiting at most timeoutMs in all.
    Bytes read(size_t n, int timeoutMs = 2000) {
        Bytes out;
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (out.size() < n) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                end - std::chrono::steady_clock::now());
            if (left.count() <= 0 || !wait(int(left.count()))) break;
            uint8_t buf[4096];
            ssize_t got = ::read(fd_, buf, std::min(sizeof buf, n - out.size()));
            if (got <= 0) break;
            out.insert(out.end(), buf, buf + got);
        }
        return out;
    }

    // Everything that arrives until the line has been quiet for quietMs.
    Bytes drain(int quietMs = 100) {
        Bytes out;
        while (wait(quietMs)) {
            uint8_t buf[4096];
            ssize_t got = ::read(fd_, buf, sizeof buf);
            if (got <= 0) break;
            out.insert(out.end(), buf, buf + got);
        }
        return out;
    }

    // A request frame with tag 0 and address bytes 0.
    static Bytes request(uint16_t code, const Bytes& payload = {}, uint16_t tag = 0,
                         uint8_t addr1 = 0, uint8_t addr0 = 0) {
        const size_t len = payload.size() + 5;
        Bytes f = {0xAA,  uint8_t(tag), uint8_t(tag >> 8), uint8_t(len),      uint8_t(len >> 8),
                   addr1, addr0,        uint8_t(code),     uint8_t(code >> 8)};
        f.insert(f.end(), payload.begin(), payload.end());
        unsigned sum = 0;
        for (uint8_t b : f) sum += b;
        f.push_back(uint8_t(0x100 - (sum & 0xFF)));
        return f;
    }

    static Bytes ack(uint16_t code) {
        const Bytes body = {0xFF, 0xFF, uint8_t(code), uint8_t(code >> 8)};
        return reply(body);
    }

    static Bytes readReply(uint16_t code, const Bytes& value) {
        Bytes body = {uint8_t(code), uint8_t(code >> 8)};
        body.insert(body.end(), value.begin(), value.end());
        return reply(body);
    }

    static Bytes flashPage(uint8_t target, unsigned page, uint8_t flags, uint8_t fill) {
        Bytes p = {target, uint8_t(page), uint8_t(page >> 8), flags};
        p.resize(4 + 256, fill);
        return request(0x7878, p);
    }

private:
    static Bytes reply(const Bytes& codeAndPayload) {
        const size_t len = codeAndPayload.size() + 3;
        Bytes f = {0xAB, 0, 0, uint8_t(len), uint8_t(len >> 8), 0, 0};
        f.insert(f.end(), codeAndPayload.begin(), codeAndPayload.end());
        unsigned sum = 0;
        for (uint8_t b : f) sum += b;
        f.push_back(uint8_t(0x100 - (sum & 0xFF)));
        return f;
    }

    bool wait(int ms) {
        pollfd p{fd_, POLLIN, 0};
        return poll(&p, 1, ms) > 0 && (p.revents & POLLIN);
    }

    int fd_;
    uint64_t sent_ = 0;
};

// A started simulator with a line open on it.
struct SimFixture {
    explicit SimFixture(const KivoSim::Options& o = KivoSim::Options()) : sim(o) {
        started = sim.start();
        line.reset(new SimLine(sim.slavePath()));
    }
    // Waits until the simulator has taken in every byte sent so far (bounded).
    bool settle(int timeoutMs = 3000) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (sim.counters().bytesIn < line->sent()) {
            if (std::chrono::steady_clock::now() > end) return false;
            usleep(1000);
        }
        return true;
    }
    template <class Pred> bool eventually(Pred pred, int timeoutMs = 3000) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (!pred()) {
            if (std::chrono::steady_clock::now() > end) return false;
            usleep(1000);
        }
        return true;
    }
    KivoSim sim;
    bool started = false;
    std::unique_ptr<SimLine> line;
};
