#pragma once
// A pseudo-terminal whose master side plays the device.
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <termios.h>
#include <unistd.h>

struct TestPty {
    int master = -1;
    std::string slavePath;

    TestPty() {
        master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return;
        const char* name = ptsname(master);
        if (name) slavePath = name;
    }
    ~TestPty() { closeMaster(); }
    TestPty(const TestPty&) = delete;
    TestPty& operator=(const TestPty&) = delete;

    bool ok() const { return master >= 0 && !slavePath.empty(); }
    void closeMaster() {
        if (master >= 0) ::close(master);
        master = -1;
    }
    bool send(const std::string& bytes) const {
        return ::write(master, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    }
    // The slave's current attributes, as seen through the master.
    termios attrs() const {
        termios t{};
        tcgetattr(master, &t);
        return t;
    }
    // Reads what the stream sent, waiting up to timeoutMs for the first byte.
    std::string receive(size_t n, int timeoutMs = 1000) const;
};
