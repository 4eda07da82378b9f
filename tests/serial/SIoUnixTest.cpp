// The terminal stream on a pseudo-terminal, and the attributes it sets. open and ioctl are
// wrapped at link time, so that tests see the open flags and script the serial driver.
#include "serial/SIoUnix.h"
#include "serial/TermiosAttrs.h"
#include "tests/support/ScriptedStream.h"
#include "tests/support/TestPty.h"

#include <gtest/gtest.h>

#include <cstdarg>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <thread>

namespace {
// The serial driver behind the line as the wrapped ioctl plays it.
struct LineDriver {
    bool scripted = false; // false: the pseudo-terminal's own driver answers
    int flags = 0;         // the line flags TIOCGSERIAL reports
    bool refuseSet = false;
    std::string log; // the line requests in order
    int openFlags = 0;
    std::string openPath;
} driver;
} // namespace

extern "C" int __real_open(const char* path, int flags, ...);
extern "C" int __real_ioctl(int fd, unsigned long request, ...);

extern "C" int __wrap_open(const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const mode_t mode = (flags & O_CREAT) ? va_arg(args, mode_t) : 0;
    va_end(args);
    if (path == driver.openPath) driver.openFlags = flags;
    return __real_open(path, flags, mode);
}

extern "C" int __wrap_ioctl(int fd, unsigned long request, ...) {
    va_list args;
    va_start(args, request);
    void* arg = va_arg(args, void*);
    va_end(args);
    auto* line = static_cast<serial_struct*>(arg);
    switch (request) {
    case TIOCEXCL:
    case TIOCNXCL:
        driver.log += request == TIOCEXCL ? "excl " : "nxcl ";
        break;
    case TIOCGSERIAL:
        driver.log += "get ";
        if (!driver.scripted) break;
        *line = serial_struct{};
        line->flags = driver.flags;
        return 0;
    case TIOCSSERIAL:
        driver.log += line->flags & ASYNC_LOW_LATENCY ? "set-low " : "set ";
        if (!driver.scripted) break;
        if (driver.refuseSet) return errno = EPERM, -1;
        driver.flags = line->flags;
        return 0;
    }
    return __real_ioctl(fd, request, arg);
}

namespace {
struct SIoUnixPty : ::testing::Test {
    void SetUp() override { ASSERT_TRUE(pty.ok()); }
    bool open(SIoUnix& io, SerialIo::Baudrate baud = SerialIo::Baud115200, unsigned stop = 1) {
        return io.initialize(pty.slavePath.c_str(), baud, 8, SerialIo::ParityNone, stop);
    }
    bool cooked() const { return pty.attrs().c_lflag & ICANON; }
    TestPty pty;
};
} // namespace

TEST(TermiosAttrs, EveryFramingAndTheFallbacks) {
    termios dev{};
    dev.c_lflag = ICANON | ECHO | ISIG;
    dev.c_cflag = CS7 | CREAD | PARODD | CSTOPB | CRTSCTS;
    cfsetspeed(&dev, B4800);
    const speed_t speeds[] = {B9600, B19200, B38400, B115200, B4800}; // 4: not in the table
    const tcflag_t sizes[] = {CS5, CS5, CS6, CS7, CS8, CS5};          // data bits 4 to 9
    for (int b = 0; b < 5; ++b)
        for (int p = 0; p <= 2; ++p)
            for (unsigned bits = 4; bits <= 9; ++bits)
                for (unsigned stop : {1u, 2u, 0u}) {
                    termios t = buildTermiosAttrs(dev, SerialIo::Baudrate(b), bits,
                                                  SerialIo::Parity(p), stop);
                    tcflag_t want = sizes[bits - 4] | (stop != 1 ? CSTOPB : 0) |
                                    (p != 2 ? PARENB : 0) | (p == 1 ? PARODD : 0);
                    // Without parity PARODD means nothing and is left as it was.
                    tcflag_t mask = CSIZE | CSTOPB | PARENB | (p != 2 ? PARODD : 0);
                    EXPECT_EQ(t.c_cflag & mask, want) << b << p << bits << stop;
                    EXPECT_EQ(cfgetispeed(&t), speeds[b]);
                    EXPECT_EQ(cfgetospeed(&t), speeds[b]);
                    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
                    EXPECT_EQ(t.c_cflag & (CRTSCTS | CREAD), tcflag_t(CRTSCTS | CREAD));
                    EXPECT_NE(t.c_cflag & CLOCAL, 0u) << "the modem lines never hold it up";
                }
}

// flush ends on a line that never falls quiet, and at once on one that reads ready but is empty.
TEST(SerialIoFlush, BabblingAndHungUpLinesEnd) {
    struct HungUp : ScriptedStream {
        int readyForRead(unsigned ms) override { return ScriptedStream::readyForRead(ms), 1; }
    } hungUp;
    hungUp.flush(100);
    EXPECT_EQ(hungUp.readyTimeouts.size(), 1u);
    ScriptedStream babbling;
    babbling.feed(std::vector<uint8_t>(70000, 0x55));
    babbling.flush(100);
    EXPECT_EQ(babbling.input.size(), 70000u - 65536);
}

TEST_F(SIoUnixPty, ConfiguresHoldsAndRestoresTheLine) {
    {
        SIoUnix io;
        ASSERT_TRUE(open(io, SerialIo::Baud9600, 2));
        EXPECT_FALSE(cooked()) << "the framing is applied";
        EXPECT_NE(fcntl(io.fd(), F_GETFD) & FD_CLOEXEC, 0);
        ASSERT_TRUE(io.initialize(io.devName(), SerialIo::Baud38400, 8, SerialIo::ParityNone, 1))
            << "our own line by its own name: restored, closed, reopened";
        EXPECT_EQ(io.devName(), pty.slavePath);
    }
    EXPECT_TRUE(cooked()) << "the destructor restores what the first open found";
    SIoUnix first, second;
    ASSERT_TRUE(open(first));
    EXPECT_FALSE(open(second)) << "the line is held";
    EXPECT_EQ(second.devName(), nullptr) << "a failed open leaves no name";
    EXPECT_FALSE(second.reinitialize());
    EXPECT_EQ(second.readyForRead(20), 0) << "a closed stream times out";
    first.deinitialize();
    EXPECT_FALSE(cooked()) << "deinitialize leaves the raw settings";
    ASSERT_TRUE(open(second));
    second.deinitialize();
    EXPECT_TRUE(first.reinitialize());
    EXPECT_TRUE(first.reinitialize()) << "an open stream is closed first, not locked out";
}

// Waits until the thread sleeps with nothing left unread on fd: the reader is waiting for more.
bool waitingForInput(pid_t tid, int fd) {
    const std::string stat = "/proc/self/task/" + std::to_string(tid) + "/stat";
    for (int i = 0; i < 5000; ++i, usleep(1000)) {
        char state = 0; // the test program's name holds no blank or parenthesis
        int unread = -1;
        if (FILE* f = fopen(stat.c_str(), "r"))
            state = fscanf(f, "%*d %*s %c", &state) == 1 ? state : 0, fclose(f);
        if (state == 'S' && ioctl(fd, FIONREAD, &unread) == 0 && unread == 0) return true;
    }
    return false;
}

TEST(SIoUnix, WaitsEndOnInputAndReadsCollectPieces) {
    int p[2]; // a pipe hands each byte over at once, so the pieces stay apart
    ASSERT_EQ(pipe(p), 0);
    SIoUnix piped;
    piped.initialize(p[0]);
    EXPECT_EQ(piped.readyForRead(20), 0) << "a quiet line times out";
    const pid_t reader = pid_t(syscall(SYS_gettid));
    std::thread dev([&] { // each byte while the reader already waits
        for (char c : std::string("abcd"))
            ASSERT_TRUE(waitingForInput(reader, p[0]) && ::write(p[1], &c, 1) == 1);
    });
    EXPECT_EQ(piped.readyForRead(0), 1) << "0 waits until input arrives";
    unsigned char buf[4] = {};
    EXPECT_EQ(piped.read(buf, 4), 4) << "bytes arriving one by one";
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 4), "abcd");
    dev.join();
    close(p[1]);
}

TEST_F(SIoUnixPty, WritesBytesAndTracesFormattedText) {
    SIoUnix io;
    ASSERT_TRUE(open(io));
    const std::string big(5000, 'z');
    testing::internal::CaptureStderr();
    EXPECT_EQ(io.printf("%s %d", "DBG", 1), 5);
    EXPECT_EQ(io.printf("%s", big.c_str()), 5000);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "DBG 1" + big);
    EXPECT_EQ(pty.receive(5005), "DBG 1" + big);
}

// Opened without waiting for a carrier nor becoming the controlling terminal, taken exclusively,
// low latency asked for where the driver offers it, and all of it given back on close (the line
// flags as they were).
TEST_F(SIoUnixPty, TakesTheLineAndLowLatencyAndGivesThemBack) {
    const int other = ASYNC_SKIP_TEST;
    struct {
        const char* line;
        bool scripted;
        int flags;
        bool refuseSet, byDeinitialize;
        std::string onOpen, onClose;
    } const cases[] = {
        {"pseudo-terminal, no serial driver", false, 0, false, false, "excl get ", "nxcl "},
        {"adapter at its latency timer", true, other, false, false, "excl get set-low ",
         "get set nxcl "},
        {"closed without restoring the terminal", true, other, false, true, "excl get set-low ",
         "get set nxcl "},
        {"driver refuses low latency", true, other, true, false, "excl get set-low ", "nxcl "},
        {"already at low latency", true, other | ASYNC_LOW_LATENCY, false, false, "excl get ",
         "nxcl "},
    };
    for (const auto& c : cases) {
        driver = LineDriver{c.scripted, c.flags, c.refuseSet, "", 0, pty.slavePath};
        {
            SIoUnix io;
            ASSERT_TRUE(open(io)) << c.line;
            EXPECT_EQ(driver.log, c.onOpen) << c.line;
            EXPECT_NE(driver.openFlags & O_NONBLOCK, 0) << "never waits for a carrier";
            EXPECT_NE(driver.openFlags & O_NOCTTY, 0) << "never the controlling terminal";
            EXPECT_EQ(fcntl(io.fd(), F_GETFL) & O_NONBLOCK, 0) << "the stream blocks";
            driver.log.clear();
            if (c.byDeinitialize) io.deinitialize();
        }
        EXPECT_EQ(driver.log, c.onClose) << c.line;
        EXPECT_EQ(driver.flags, c.flags) << c.line;
    }
    driver = LineDriver{};
}
