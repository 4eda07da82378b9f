#include "serial/SIoClient.h"
#include "serial/internal/SIoUnixState.h"
#include "serial/internal/SocketAddress.h"

#include <cstdio>
#include <cstring>
#include <err.h>
#include <netdb.h>
#include <string>
#include <unistd.h>

namespace {
const char kDevicePrefix[] = "/dev/";
const size_t kHostPortCap = 256;

int connectFirst(addrinfo* list, const std::string& host, const std::string& port, bool quiet) {
    for (addrinfo* ai = list; ai; ai = ai->ai_next) {
        int fd = socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol);
        if (fd < 0) continue;
        if (connect(fd, ai->ai_addr, ai->ai_addrlen) == 0) return fd;
        if (!quiet) warn("connect to %s port %s (%s) failed", host.c_str(), port.c_str(), "tcp");
        ::close(fd);
    }
    return -1;
}

int connectTcp(const char* name, bool quiet) {
    std::string host, port;
    splitHostPort(name, host, port);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* list = nullptr;
    int rc = getaddrinfo(host.empty() ? nullptr : host.c_str(), port.c_str(), &hints, &list);
    if (rc != 0) {
        if (!quiet) warnx("getaddrinfo: %s", gai_strerror(rc));
        return -1;
    }
    int fd = connectFirst(list, host, port, quiet);
    freeaddrinfo(list);
    if (fd >= 0) setNonBlocking(fd);
    return fd;
}

int connectLocal(const char* path) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr;
    socklen_t len = 0;
    if (fd >= 0 && (!fillLocalAddress(path, addr, len) ||
                    connect(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0)) {
        ::close(fd);
        fd = -1;
    }
    return fd;
}
} // namespace

SIoClient::SIoClient() = default;
SIoClient::~SIoClient() = default;

bool SIoClient::initialize(const char* dev, Baudrate, unsigned, Parity, unsigned) {
    SIoUnixState& s = state();
    const std::string name(dev ? dev : "");
    restoreAndClose(s); // the reconnect below would otherwise leak it
    s.setDev(dev ? name.c_str() : nullptr);
    return reinitialize();
}

bool SIoClient::initialize(const char* host, const char* port) {
    char name[kHostPortCap];
    int n = snprintf(name, sizeof name, "%s:%s", host ? host : "", port ? port : "");
    if (n < 0 || static_cast<size_t>(n) >= sizeof name) return false; // never a cut address
    return initialize(name, Baud115200, 8, ParityNone, 1);
}

bool SIoClient::initialize(int fd) {
    return SIoUnix::initialize(fd);
}

bool SIoClient::reinitialize() {
    SIoUnixState& s = state();
    if (!s.dev) return false;
    if (strncmp(s.dev, kDevicePrefix, sizeof kDevicePrefix - 1) == 0)
        return SIoUnix::reinitialize();
    int fd = isTcpAddress(s.dev) ? connectTcp(s.dev, s.attempted) : connectLocal(s.dev);
    if (fd < 0 && !s.attempted) fprintf(stderr, "SIoClient: couldn't connect to '%s'\n", s.dev);
    s.attempted = true;
    if (fd < 0) return false;
    SIoUnix::initialize(fd);
    return true;
}
