#include "files/BrixFile.h"

#include "files/MD5.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

const char MAGIC[4] = {'B', 'r', 'i', 'x'};
constexpr mode_t FILE_MODE = 0644;
constexpr unsigned MD5_PIECE = 1u << 30;

// Writes all len bytes, repeating partial writes; a write that makes no progress fails.
bool writeFully(int fd, const unsigned char* data, size_t len) {
    size_t done = 0;
    while (done < len) {
        const ssize_t n = write(fd, data + done, len - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) {
            errno = EIO;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

void sealHeader(BrixFileHeader& header, const unsigned char* data, unsigned len) {
    memcpy(header.magic, MAGIC, sizeof MAGIC);
    MD5 md5;
    // addBytes takes an int: feed very large blocks in pieces.
    for (unsigned done = 0; done < len;) {
        const unsigned piece = len - done < MD5_PIECE ? len - done : MD5_PIECE;
        md5.addBytes(data + done, static_cast<int>(piece));
        done += piece;
    }
    md5.checksum(header.md5);
}

} // namespace

bool writeFile(const char* path, const unsigned char* data, unsigned len, BrixFileHeader* header) {
    const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, FILE_MODE);
    if (fd < 0) {
        perror(path);
        return false;
    }
    bool ok = true;
    if (header != nullptr) {
        sealHeader(*header, data, len);
        ok = writeFully(fd, reinterpret_cast<const unsigned char*>(header), sizeof *header);
    }
    if (ok) ok = writeFully(fd, data, len);
    if (!ok) perror(path);
    if (close(fd) != 0 && ok) {
        perror(path);
        ok = false;
    }
    return ok;
}
