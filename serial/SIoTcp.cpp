#include "serial/SIoTcp.h"
#include "serial/internal/SIoUnixState.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

namespace {
constexpr unsigned kChunk = 4096;

using Clock = std::chrono::steady_clock;

unsigned msLeft(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<unsigned>(left.count()) : 0;
}
} // namespace

SIoTcp::SIoTcp() = default;
SIoTcp::~SIoTcp() = default;

bool SIoTcp::stripPrefix(const char* name, const char* prefix, std::string& hostPort) {
    const size_t n = strlen(prefix);
    if (!name || strncmp(name, prefix, n) != 0) return false;
    hostPort = name + n;
    return true;
}

bool SIoTcp::initialize(const char* dev, Baudrate baud, unsigned bits, Parity parity,
                        unsigned stop) {
    std::string hostPort;
    if (!stripPrefix(dev, kPrefix, hostPort)) hostPort = dev ? dev : "";
    setAddress(kPrefix + hostPort);
    in_.clear();
    head_ = 0;
    lost_ = false;
    SIoUnixState& s = state();
    s.baud = baud;
    s.bits = bits;
    s.parity = parity;
    s.stop = stop;
    if (!SIoClient::initialize(hostPort.c_str(), baud, bits, parity, stop)) return false;
    // Every exchange is a small request waiting for its reply: never hold a byte back.
    const int on = 1;
    setsockopt(fd(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return true;
}

const char* SIoTcp::devName() {
    return address_.c_str();
}

void SIoTcp::take(const unsigned char* raw, unsigned n) {
    deliver(raw, n);
}

void SIoTcp::deliver(const unsigned char* data, unsigned n) {
    if (head_ == in_.size()) {
        in_.clear();
        head_ = 0;
    }
    in_.insert(in_.end(), data, data + n);
}

namespace {
std::string& lastLossLine() {
    static std::string line;
    return line;
}
} // namespace

const std::string& SIoTcp::lastLoss() { return lastLossLine(); }

int SIoTcp::loseConnection(int err) {
    if (!lost_) {
        lastLossLine() =
            address_ + ": " + (err ? strerror(err) : "connection closed by the server");
        fprintf(stderr, "%s\n", lastLossLine().c_str());
    }
    lost_ = true;
    return -1;
}

int SIoTcp::pump(unsigned timeoutMs) {
    if (lost_) return -1;
    pollfd p{fd(), POLLIN, 0};
    int r = ::poll(&p, 1, pollTimeout(timeoutMs));
    if (r == 0) return 0;
    if (r < 0) return errno == EINTR ? 1 : loseConnection(errno);
    unsigned char buf[kChunk];
    ssize_t got = ::recv(fd(), buf, sizeof buf, 0);
    // Acknowledge at once: a server that holds its next small segment until our ACK (Nagle)
    // would otherwise wait out our delayed ACK in the middle of every reply.
    const int on = 1;
    setsockopt(fd(), IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
    if (got > 0) {
        take(buf, static_cast<unsigned>(got));
        return 1;
    }
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return 1;
    return loseConnection(got == 0 ? 0 : errno);
}

bool SIoTcp::sendRaw(const unsigned char* buf, unsigned n) {
    if (lost_) return false;
    for (unsigned done = 0; done < n;) {
        // Never SIGPIPE: a server that went away is an error of this call, not the process's end.
        ssize_t r = ::send(fd(), buf + done, n - done, MSG_NOSIGNAL);
        if (r > 0) {
            done += static_cast<unsigned>(r);
            continue;
        }
        int err = r < 0 ? errno : 0;
        if (err == EAGAIN || err == EWOULDBLOCK || err == EINTR || r == 0) {
            pollfd p{fd(), POLLOUT, 0};
            if (::poll(&p, 1, static_cast<int>(kStallMs)) > 0) continue;
            err = ETIMEDOUT;
        }
        loseConnection(err);
        return false;
    }
    return true;
}

int SIoTcp::write(const unsigned char* buf, unsigned n) {
    return sendRaw(buf, n) ? static_cast<int>(n) : -1;
}

int SIoTcp::readyForRead(unsigned timeoutMs) {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (buffered() == 0) {
        // Telnet commands alone wake the wait without data; wait out the rest of the time.
        const unsigned left = timeoutMs ? msLeft(deadline) : 0;
        if (timeoutMs && left == 0) return 0;
        const int r = pump(left);
        if (r <= 0) return r;
    }
    return 1;
}

int SIoTcp::readAvailable(unsigned char* buf, unsigned n) {
    if (n == 0) return 0;
    if (buffered() == 0 && readyForRead(kStallMs) != 1) return 0;
    const unsigned k = std::min(n, buffered());
    memcpy(buf, in_.data() + head_, k);
    head_ += k;
    return static_cast<int>(k);
}

int SIoTcp::read(unsigned char* buf, unsigned n) {
    unsigned got = 0;
    while (got < n) {
        const int r = readAvailable(buf + got, n - got);
        if (r <= 0) break;
        got += static_cast<unsigned>(r);
    }
    return static_cast<int>(got);
}
