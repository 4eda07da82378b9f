#include "serial/SIoServer.h"
#include "serial/SIoMux.h"
#include "serial/internal/SIoUnixState.h"
#include "serial/internal/SocketAddress.h"

#include <cstdio>
#include <cstring>
#include <err.h>
#include <netdb.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {
const int kTcpBacklog = 1;
const int kLocalBacklog = 5;

// A socket file left by an earlier run is removed; any other file is no socket address.
bool clearStaleSocket(const char* path) {
    struct stat st;
    if (stat(path, &st) != 0) return true;
    if (S_ISSOCK(st.st_mode)) return unlink(path) == 0 || errno == ENOENT;
    fprintf(stderr, "%s is not a socket, should default to fileio\n", path);
    return false;
}

int bindFirst(addrinfo* list) {
    for (addrinfo* ai = list; ai; ai = ai->ai_next) {
        int fd = socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol);
        if (fd < 0) continue;
        int one = 1;
        if (setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &one, sizeof one) != 0) {
            warn("setsockopt");
            ::close(fd);
            return -1;
        }
        if (bind(fd, ai->ai_addr, ai->ai_addrlen) == 0) return fd;
        ::close(fd);
    }
    return -1;
}

// Failures are reported and make the caller fail; the host process goes on.
int listenTcp(const char* name) {
    std::string host, port;
    splitHostPort(name, host, port);
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    hints.ai_flags = AI_PASSIVE;
    addrinfo* list = nullptr;
    int rc = getaddrinfo(host.empty() ? nullptr : host.c_str(), port.c_str(), &hints, &list);
    if (rc != 0) {
        warnx("getaddrinfo: %s", gai_strerror(rc));
        return -1;
    }
    int fd = bindFirst(list);
    freeaddrinfo(list);
    if (fd >= 0 && listen(fd, kTcpBacklog) != 0) {
        warn("listen");
        ::close(fd);
        return -1;
    }
    printf("SIoServer: listening on (dev %s) (fd %d)\n", name, fd);
    return fd;
}

int listenLocal(const char* path) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr;
    socklen_t len = 0;
    if (fd >= 0 && (!fillLocalAddress(path, addr, len) ||
                    bind(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
                    listen(fd, kLocalBacklog) != 0)) {
        ::close(fd);
        fd = -1;
    }
    printf("SIoServer: listening on (unix %s) (fd %d)\n", path, fd);
    return fd;
}
} // namespace

SIoServer::SIoServer() = default;
SIoServer::~SIoServer() = default;

bool SIoServer::initialize(const char* dev, Baudrate, unsigned, Parity, unsigned) {
    if (!dev) return false;
    SIoUnixState& s = state();
    const std::string name(dev); // dev may be our own stored name
    if (s.dev && name != s.dev) restoreAndClose(s);
    s.setDev(name.c_str());
    if (s.fd >= 0) return true;
    if (!clearStaleSocket(s.dev)) return false;
    s.fd = isTcpAddress(s.dev) ? listenTcp(s.dev) : listenLocal(s.dev);
    fflush(stdout);
    if (s.fd < 0) {
        fprintf(stderr, "SIoServer: Couldn't listen on socket '%s'\n", s.dev);
        return false;
    }
    return true;
}

int SIoServer::read(unsigned char*, unsigned) {
    return 0;
}
int SIoServer::write(const unsigned char*, unsigned) {
    return 0;
}

SIoUnix* SIoServer::newClient() {
    return new SIoUnix();
}

SIoUnix* SIoServer::accept() {
    sockaddr_storage peer;
    socklen_t len = sizeof peer;
    int fd =
        accept4(state().fd, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
        fprintf(stderr, "SIoServer: couldn't accept connection on '%s'\n",
                printableName(devName()));
        return nullptr;
    }
    SIoUnix* client = newClient();
    client->initialize(fd);
    return client;
}

int SIoServer::onReadReady(SIoMux& mux) {
    if (SIoUnix* client = accept()) mux.add(client, true);
    return 1;
}
