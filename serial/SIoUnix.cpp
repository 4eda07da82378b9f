#include "serial/SIoUnix.h"
#include "serial/TermiosAttrs.h"
#include "serial/internal/LineTuning.h"
#include "serial/internal/SIoUnixState.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {
const char kUnknownName[] = "unknown";
const char kWordSeparators[] = " \t\n\r,";
const unsigned kMaxWords = 100;

// Counts traced lines across all streams of the process.
int traceCounter = 0;

enum class ByteResult { Got, NotYet, Ended };

bool isLineEnd(unsigned char c) {
    return c == '\r' || c == '\n';
}

// Tells "no byte yet" on a non-blocking descriptor apart from the end of the stream.
ByteResult readOne(SIoUnix& io, unsigned char* at) {
    errno = 0;
    if (io.read(at, 1) == 1) return ByteResult::Got;
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return ByteResult::NotYet;
    return ByteResult::Ended;
}

unsigned splitWords(char* text, const char** words) {
    unsigned n = 0;
    char* rest = text;
    while (n < kMaxWords) {
        char* w = strsep(&rest, kWordSeparators);
        if (!w) break;
        if (*w) words[n++] = w;
    }
    words[n] = nullptr;
    return n;
}

void traceLine(const unsigned char* buf, unsigned len) {
    std::printf("%d: read [%s] [%d]\n{", traceCounter++, reinterpret_cast<const char*>(buf),
                static_cast<int>(len));
    for (unsigned i = 0; i < len; ++i) std::printf("%02x ", buf[i]);
    std::printf("}\n");
    std::fflush(stdout);
}

void dispatchLine(SIoUnix& io, SIoUnixState& s, unsigned len) {
    s.lineBuf[len] = 0;
    const char* words[kMaxWords + 1];
    unsigned argc = splitWords(reinterpret_cast<char*>(s.lineBuf), words);
    if (io.argv(argc, words) == -1) traceLine(s.lineBuf, len);
    s.lineLen = 0;
    memset(s.lineBuf, 0, s.lineCap);
}

// Applies the stored framing; a descriptor that is no terminal is left alone.
void configureTerminal(SIoUnixState& s) {
    s.haveSavedAttrs = tcgetattr(s.fd, &s.savedAttrs) == 0;
    if (!s.haveSavedAttrs) return;
    termios t = buildTermiosAttrs(s.savedAttrs, s.baud, s.bits, s.parity, s.stop);
    tcsetattr(s.fd, TCSANOW, &t);
}

// Opens without becoming the controlling terminal and without waiting for a carrier (a port
// whose modem lines are down would block the open for ever), then takes the line for this
// descriptor alone, so no second program can talk on it meanwhile.
int openExclusive(const char* path, bool& exclusive) {
    int fd = ::open(path, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return -1;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
        ::close(fd);
        errno = EWOULDBLOCK;
        return -1;
    }
    exclusive = ioctl(fd, TIOCEXCL) == 0; // not a terminal: the lock alone guards it
    int flags = fcntl(fd, F_GETFL);
    if (flags >= 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK); // the stream's reads block
    return fd;
}
} // namespace

void SIoUnixState::setDev(const char* name) {
    char* copy = name ? strdup(name) : nullptr; // name may be dev itself
    free(dev);
    dev = copy;
}

void releaseLine(SIoUnixState& s) {
    if (s.fd < 0) return;
    untuneLine(s);
    if (s.exclusive) ioctl(s.fd, TIOCNXCL);
    s.exclusive = false;
}

void restoreAndClose(SIoUnixState& s) {
    if (s.fd < 0) return;
    releaseLine(s);
    if (s.haveSavedAttrs) tcsetattr(s.fd, TCSANOW, &s.savedAttrs);
    ::close(s.fd);
    s.fd = -1;
    s.haveSavedAttrs = false;
}

int pollTimeout(unsigned timeoutMs) {
    if (timeoutMs == 0) return -1;
    return timeoutMs > static_cast<unsigned>(INT_MAX) ? INT_MAX : static_cast<int>(timeoutMs);
}

SIoUnix::SIoUnix() : st_(new SIoUnixState) {
    st_->lineBuf = new unsigned char[st_->lineCap]();
}

SIoUnix::~SIoUnix() {
    restoreAndClose(*st_);
    free(st_->dev);
    delete[] st_->lineBuf;
    delete st_;
}

bool SIoUnix::initialize(const char* dev, Baudrate baud, unsigned bits, Parity parity,
                         unsigned stop) {
    restoreAndClose(*st_);
    st_->setDev(dev);
    st_->baud = baud;
    st_->bits = bits;
    st_->parity = parity;
    st_->stop = stop;
    return reinitialize();
}

bool SIoUnix::initialize(int fd) {
    restoreAndClose(*st_);
    if (!st_->dev) st_->setDev(kUnknownName);
    st_->fd = fd;
    st_->haveSavedAttrs = tcgetattr(fd, &st_->savedAttrs) == 0;
    return true;
}

bool SIoUnix::reinitialize() {
    SIoUnixState& s = *st_;
    restoreAndClose(s); // a second descriptor would leak and fail on our own lock
    int fd = s.dev ? openExclusive(s.dev, s.exclusive) : -1;
    if (fd < 0) {
        int saved = errno;
        s.setDev(nullptr);
        errno = saved;
        return false;
    }
    s.fd = fd;
    configureTerminal(s);
    tuneLine(s);
    return true;
}

bool SIoUnix::deinitialize() {
    releaseLine(*st_);
    if (st_->fd >= 0) ::close(st_->fd);
    st_->fd = -1;
    st_->haveSavedAttrs = false;
    return true;
}

const char* SIoUnix::devName() {
    return st_->dev;
}

int SIoUnix::fd() const {
    return st_->fd;
}

int SIoUnix::write(const unsigned char* buf, unsigned n) {
    return static_cast<int>(::write(st_->fd, buf, n));
}

int SIoUnix::read(unsigned char* buf, unsigned n) {
    unsigned got = 0;
    while (got < n) {
        ssize_t r = ::read(st_->fd, buf + got, n - got);
        if (r <= 0) break;
        got += static_cast<unsigned>(r);
    }
    return static_cast<int>(got);
}

// One read(2): a raw terminal (VMIN 1) or a socket hands over what is there without waiting
// for the rest, so a reply costs one call instead of a readiness wait and a call per byte.
int SIoUnix::readAvailable(unsigned char* buf, unsigned n) {
    if (n == 0) return 0;
    return static_cast<int>(::read(st_->fd, buf, n));
}

int SIoUnix::readyForRead(unsigned timeoutMs) {
    pollfd p{st_->fd, POLLIN, 0}; // a closed stream (-1) just waits out the time-out
    int r = ::poll(&p, 1, pollTimeout(timeoutMs));
    if (r > 0 && (p.revents & POLLNVAL)) {
        errno = EBADF;
        r = -1;
    }
    if (r < 0) {
        perror("select");
        return -1;
    }
    return r == 0 ? 0 : 1;
}

int SIoUnix::onReadReady(SIoMux&) {
    SIoUnixState& s = *st_;
    const unsigned maxLen = s.lineCap - 1; // room for the terminating zero
    bool complete = false;
    while (s.lineLen < maxLen) {
        ByteResult r = readOne(*this, s.lineBuf + s.lineLen);
        if (r == ByteResult::Ended) {
            s.lineLen = 0;
            memset(s.lineBuf, 0, s.lineCap);
            return -1;
        }
        if (r == ByteResult::NotYet) break;
        if (isLineEnd(s.lineBuf[s.lineLen])) {
            complete = true;
            break;
        }
        ++s.lineLen;
    }
    const unsigned len = s.lineLen;
    if (len == 0) return 0;
    // A line that fills the buffer is handed on as a line of its own.
    if (complete || len == maxLen) dispatchLine(*this, s, len);
    return static_cast<int>(len);
}

int SIoUnix::argv(unsigned, const char**) {
    return -1;
}
