#pragma once
// The far end of a pseudo-terminal for timing tests: a thread that waits for a number of bytes
// from the host, pauses, then answers, step by step. Every wait is bounded.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

class PtyPeer {
public:
    struct Step {
        size_t expect;    // bytes to receive from the host first
        unsigned delayMs; // then wait this long
        std::vector<uint8_t> send;
        unsigned byteGapMs = 0; // pause between the bytes of send
    };

    PtyPeer() {
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        if (master_ >= 0 && grantpt(master_) == 0 && unlockpt(master_) == 0)
            path_ = ptsname(master_);
    }
    ~PtyPeer() {
        join();
        closeLine();
    }
    PtyPeer(const PtyPeer&) = delete;
    PtyPeer& operator=(const PtyPeer&) = delete;

    const std::string& path() const { return path_; }
    // With an origin, delays count from it instead of from the bytes' arrival, so the peer's own
    // wake-up latency does not shift the answer.
    void run(std::vector<Step> steps, std::chrono::steady_clock::time_point origin = {}) {
        thread_ = std::thread([this, steps, origin] {
            for (const Step& s : steps) {
                if (!receive(s.expect)) return;
                const auto delay = std::chrono::milliseconds(s.delayMs);
                if (origin == std::chrono::steady_clock::time_point())
                    std::this_thread::sleep_for(delay);
                else
                    std::this_thread::sleep_until(origin + delay);
                for (size_t i = 0; i < s.send.size(); ++i) {
                    if (i && s.byteGapMs)
                        std::this_thread::sleep_for(std::chrono::milliseconds(s.byteGapMs));
                    if (::write(master_, &s.send[i], 1) != 1) return;
                }
            }
        });
    }
    void join() {
        if (thread_.joinable()) thread_.join();
    }
    // Hangs up: the host side then reads as ready and delivers nothing.
    void closeLine() {
        if (master_ >= 0) ::close(master_);
        master_ = -1;
    }
    const std::vector<uint8_t>& received() const { return received_; }

private:
    bool receive(size_t n) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        size_t target = received_.size() + n;
        while (received_.size() < target) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            pollfd p = {master_, POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0) continue;
            uint8_t buf[512];
            ssize_t got = ::read(master_, buf, sizeof buf);
            if (got <= 0) return false;
            received_.insert(received_.end(), buf, buf + got);
        }
        return true;
    }

    int master_ = -1;
    std::string path_;
    std::thread thread_;
    std::vector<uint8_t> received_;
};
