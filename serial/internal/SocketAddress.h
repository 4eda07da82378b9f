#pragma once
// Socket address text shared by the server and the client: "host:port" is TCP, anything
// else a local socket path.
#include <string>
#include <sys/socket.h>
#include <sys/un.h>

// Longest local socket path accepted, so the address stays portable.
constexpr size_t kMaxLocalPath = 103;

bool isTcpAddress(const char* name);
// Splits at the first colon, or after the bracket of "[IPv6]:port"; false when there is none.
bool splitHostPort(const char* name, std::string& host, std::string& port);
// Fills a local address; false with errno ENAMETOOLONG for an overlong path.
bool fillLocalAddress(const char* path, sockaddr_un& addr, socklen_t& len);
bool setNonBlocking(int fd);
// The name for a message: never null.
const char* printableName(const char* name);
