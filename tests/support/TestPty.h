#pragma once
// A pseudo-terminal pair whose master side plays the device; the code under test opens
// slavePath like any serial port. Every wait is bounded.
#include <algorithm>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <termios.h>
#include <unistd.h>

struct TestPty {
    int master = -1;
    std::string slavePath;

    TestPty() {
        master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return;
        if (const char* name = ptsname(master)) slavePath = name;
    }
    ~TestPty() { hangUp(); }
    TestPty(const TestPty&) = delete;
    TestPty& operator=(const TestPty&) = delete;

    bool ok() const { return master >= 0 && !slavePath.empty(); }
    // Closes the master: the slave side then reads as ready and delivers nothing.
    void hangUp() {
        if (master >= 0) ::close(master);
        master = -1;
    }
    // The slave's current attributes, as seen through the master.
    termios attrs() const {
        termios t{};
        tcgetattr(master, &t);
        return t;
    }
    // Up to n bytes the other side sent, waiting up to timeoutMs for each read.
    std::string receive(size_t n, int timeoutMs = 1000) const {
        std::string out;
        while (out.size() < n) {
            pollfd p{master, POLLIN, 0};
            char buf[256];
            if (::poll(&p, 1, timeoutMs) <= 0) break;
            ssize_t r = ::read(master, buf, std::min(sizeof buf, n - out.size()));
            if (r <= 0) break;
            out.append(buf, static_cast<size_t>(r));
        }
        return out;
    }
};
