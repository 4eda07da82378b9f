#include "files/FileLoad.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char HEX_SUFFIX[] = ".hex";
constexpr size_t HEX_SUFFIX_LEN = sizeof HEX_SUFFIX - 1;
const char WORD_SEPARATORS[] = " \t\n";

bool hasHexSuffix(const char* name) {
    const size_t n = strlen(name);
    return n >= HEX_SUFFIX_LEN && strcasecmp(name + n - HEX_SUFFIX_LEN, HEX_SUFFIX) == 0;
}

// Reads exactly len bytes, repeating short reads; sets errno when the file ends early.
bool readFully(int fd, unsigned char* out, size_t len) {
    size_t done = 0;
    while (done < len) {
        const ssize_t n = read(fd, out + done, len - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) {
            errno = EIO; // the file shrank while we read it
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

} // namespace

bool readFile(const char* fileName, unsigned char*& data, unsigned int& size) {
    if (fileName != nullptr && hasHexSuffix(fileName)) return readHexFile(fileName, data, size, 0);
    return readBinFile(fileName, data, size);
}

bool readBinFile(const char* fileName, unsigned char*& data, unsigned int& size) {
    size = 0;
    data = nullptr;
    struct stat st;
    if (fileName == nullptr || stat(fileName, &st) != 0) {
        perror(fileName);
        return false;
    }
    // Only a regular file: opening a FIFO would wait for a writer without end.
    if (!S_ISREG(st.st_mode)) {
        errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        perror(fileName);
        return false;
    }
    if (st.st_size < 0 || static_cast<uint64_t>(st.st_size) > UINT32_MAX) {
        errno = EFBIG;
        perror(fileName);
        return false;
    }
    const int fd = open(fileName, O_RDONLY);
    if (fd < 0) {
        perror(fileName);
        return false;
    }
    const unsigned int length = static_cast<unsigned int>(st.st_size);
    unsigned char* buffer = new (std::nothrow) unsigned char[length];
    if (buffer == nullptr) errno = ENOMEM;
    if (buffer == nullptr || !readFully(fd, buffer, length)) {
        perror(fileName);
        delete[] buffer;
        close(fd);
        return false;
    }
    close(fd);
    data = buffer;
    size = length;
    return true;
}

void splitln(char**& argv, unsigned int& argc, char*& line) {
    splitln(argv, argc, line, WORD_SEPARATORS);
}

void splitln(char**& argv, unsigned int& argc, char*& line, const char* separators) {
    const unsigned int capacity = argc;
    unsigned int used = 0;
    while (used < capacity) {
        char* word = strsep(&line, separators);
        argv[used] = word;
        if (word == nullptr) break;
        if (*word != '\0') ++used;
    }
    argc = used;
}

int cfs_open(const char* name, int flags) {
    int mode = O_RDONLY; // CFS_READ adds nothing to the default
    if (flags & CFS_WRITE) mode = O_WRONLY;
    if (flags & CFS_APPEND) mode |= O_APPEND;
    return open(name, mode);
}

void cfs_close(int fd) {
    close(fd);
}

int cfs_read(int fd, void* buf, unsigned int len) {
    return static_cast<int>(read(fd, buf, len));
}

int cfs_write(int fd, const void* buf, unsigned int len) {
    return static_cast<int>(write(fd, buf, len));
}

int cfs_seek(int fd, int offset, int whence) {
    int how = SEEK_SET;
    if (whence == CFS_SEEK_CUR) how = SEEK_CUR;
    if (whence == CFS_SEEK_END) how = SEEK_END;
    return static_cast<int>(lseek(fd, static_cast<off_t>(offset), how));
}
