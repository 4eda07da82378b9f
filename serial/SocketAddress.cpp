#include "serial/internal/SocketAddress.h"

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <fcntl.h>

bool isTcpAddress(const char* name) {
    return name && strchr(name, ':');
}

bool splitHostPort(const char* name, std::string& host, std::string& port) {
    // A bracketed IPv6 address keeps its colons: "[::1]:4000".
    const char* close = name && *name == '[' ? strstr(name, "]:") : nullptr;
    if (close) {
        host.assign(name + 1, static_cast<size_t>(close - name - 1));
        port.assign(close + 2);
        return true;
    }
    const char* colon = name ? strchr(name, ':') : nullptr;
    if (!colon) return false;
    host.assign(name, static_cast<size_t>(colon - name));
    port.assign(colon + 1);
    return true;
}

bool fillLocalAddress(const char* path, sockaddr_un& addr, socklen_t& len) {
    size_t n = strlen(path);
    if (n > kMaxLocalPath) {
        errno = ENAMETOOLONG;
        return false;
    }
    memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    memcpy(addr.sun_path, path, n);
    len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + n);
    return true;
}

bool setNonBlocking(int fd) {
    int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

const char* printableName(const char* name) {
    return name ? name : "";
}
