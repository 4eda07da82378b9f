#include "TestPty.h"

#include <poll.h>

std::string TestPty::receive(size_t n, int timeoutMs) const {
    std::string out;
    while (out.size() < n) {
        pollfd p{master, POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) <= 0) break;
        char buf[256];
        ssize_t r = ::read(master, buf, std::min(sizeof buf, n - out.size()));
        if (r <= 0) break;
        out.append(buf, static_cast<size_t>(r));
    }
    return out;
}
