#include "serial/SIoUnix.h"
#include "TestPty.h"
#include "serial/internal/SIoUnixState.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fcntl.h>
#include <future>
#include <memory>
#include <sys/socket.h>
#include <thread>

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {
class SIoUnixPty : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(pty.ok()); }
    bool open(SIoUnix& io, SerialIo::Baudrate baud = SerialIo::Baud115200, unsigned stop = 1) {
        return io.initialize(pty.slavePath.c_str(), baud, 8, SerialIo::ParityNone, stop);
    }
    TestPty pty;
};

long msSince(Clock::time_point t0) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
}

// Runs f on its own thread and reports whether it finished within the bound.
template <typename F> bool finishesWithin(std::chrono::milliseconds bound, F f) {
    auto fut = std::async(std::launch::async, f);
    bool done = fut.wait_for(bound) == std::future_status::ready;
    if (!done) {
        ADD_FAILURE() << "operation did not end";
        std::_Exit(1); // the thread cannot be stopped; do not hang the suite
    }
    return done;
}
} // namespace

TEST(SIoUnix, NewStreamIsClosedWithDefaults) {
    std::unique_ptr<SerialIo> io(SerialIo::PlatformSIo());
    auto* unix = dynamic_cast<SIoUnix*>(io.get());
    ASSERT_NE(unix, nullptr);
    EXPECT_EQ(unix->devName(), nullptr);
    EXPECT_EQ(unix->fd(), -1);
    const SIoUnixState& s = unix->state();
    EXPECT_EQ(s.baud, SerialIo::Baud115200);
    EXPECT_EQ(s.parity, SerialIo::ParityNone);
    EXPECT_EQ(s.bits, 8u);
    EXPECT_EQ(s.stop, 1u);
    EXPECT_EQ(s.lineCap, 1024u);
    EXPECT_EQ(s.lineLen, 0u);
    EXPECT_FALSE(s.attempted);
}

TEST(SIoUnix, OpenFailureLeavesNoName) {
    SIoUnix io;
    EXPECT_FALSE(
        io.initialize("/nonexistent/tty", SerialIo::Baud115200, 8, SerialIo::ParityNone, 1));
    EXPECT_EQ(io.devName(), nullptr);
    EXPECT_EQ(io.fd(), -1);
    EXPECT_FALSE(io.reinitialize());
}

TEST(SIoUnix, ClosedStreamTimesOut) {
    SIoUnix io;
    EXPECT_EQ(io.readyForRead(20), 0);
}

TEST_F(SIoUnixPty, ConfiguresSpeedRawModeAndStopBits) {
    SIoUnix io;
    ASSERT_TRUE(open(io, SerialIo::Baud9600, 2));
    EXPECT_STREQ(io.devName(), pty.slavePath.c_str());
    termios t = pty.attrs();
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B9600));
    EXPECT_EQ(cfgetispeed(&t), static_cast<speed_t>(B9600));
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO), 0u);
    EXPECT_NE(t.c_cflag & CSTOPB, 0u);
}

TEST_F(SIoUnixPty, OpenDoesNotTakeControllingTerminalAndClosesOnExec) {
    SIoUnix io;
    ASSERT_TRUE(open(io));
    int flags = fcntl(io.fd(), F_GETFD);
    EXPECT_NE(flags & FD_CLOEXEC, 0);
    int st = fcntl(io.fd(), F_GETFL);
    EXPECT_EQ(st & O_NONBLOCK, 0) << "the terminal stream is blocking";
}

TEST_F(SIoUnixPty, SavedAttributesPutBackByInitializeAndDestructorOnly) {
    termios before = pty.attrs();
    ASSERT_NE(before.c_lflag & ICANON, 0u) << "fresh pty is cooked";
    {
        SIoUnix io;
        ASSERT_TRUE(open(io));
        EXPECT_EQ(pty.attrs().c_lflag & ICANON, 0u);
        ASSERT_TRUE(open(io, SerialIo::Baud38400)); // closes the first after restoring it
        termios now = pty.attrs();
        EXPECT_EQ(cfgetospeed(&now), static_cast<speed_t>(B38400));
        EXPECT_EQ(now.c_lflag & ICANON, 0u);
    }
    termios after = pty.attrs();
    // Cooked again only if the second open found the first one restored.
    EXPECT_NE(after.c_lflag & ICANON, 0u) << "destructor restores";
    EXPECT_EQ(cfgetospeed(&after), cfgetospeed(&before));

    SIoUnix io;
    ASSERT_TRUE(open(io));
    EXPECT_TRUE(io.deinitialize());
    EXPECT_EQ(io.fd(), -1);
    EXPECT_EQ(pty.attrs().c_lflag & ICANON, 0u) << "deinitialize leaves the raw settings";
    EXPECT_TRUE(io.reinitialize()) << "reopens by the stored name";
    EXPECT_GE(io.fd(), 0);
}

TEST_F(SIoUnixPty, SecondOpenOfHeldLineFailsAndReopenWorks) {
    SIoUnix first, second;
    ASSERT_TRUE(open(first));
    EXPECT_FALSE(open(second));
    EXPECT_EQ(second.devName(), nullptr);
    // Closing and reopening the same port, as the firmware flow does.
    ASSERT_TRUE(open(first, SerialIo::Baud115200));
    first.deinitialize();
    EXPECT_TRUE(open(second));
}

TEST_F(SIoUnixPty, AdoptedDescriptorNaming) {
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    SIoUnix anon;
    EXPECT_TRUE(anon.initialize(sv[0]));
    EXPECT_STREQ(anon.devName(), "unknown");
    EXPECT_EQ(anon.fd(), sv[0]);

    SIoUnix named;
    ASSERT_TRUE(open(named));
    EXPECT_TRUE(named.initialize(sv[1]));
    EXPECT_STREQ(named.devName(), pty.slavePath.c_str());
    EXPECT_NE(pty.attrs().c_lflag & ICANON, 0u) << "the terminal was put back when replaced";
}

TEST_F(SIoUnixPty, ReadinessWithAndWithoutInput) {
    SIoUnix io;
    ASSERT_TRUE(open(io));
    auto t0 = Clock::now();
    EXPECT_EQ(io.readyForRead(250), 0);
    EXPECT_GE(msSince(t0), 200);

    ASSERT_TRUE(pty.send("x"));
    EXPECT_EQ(io.readyForRead(1000), 1);

    unsigned char b;
    EXPECT_EQ(io.read(&b, 1), 1);
    std::thread late([&] {
        std::this_thread::sleep_for(50ms);
        pty.send("y");
    });
    EXPECT_EQ(io.readyForRead(0), 1) << "0 waits until input arrives";
    late.join();
}

TEST_F(SIoUnixPty, ReadCollectsBytesArrivingOneByOne) {
    SIoUnix io;
    ASSERT_TRUE(open(io));
    std::thread dev([&] {
        for (char c : std::string("abcd")) {
            std::this_thread::sleep_for(10ms);
            pty.send(std::string(1, c));
        }
    });
    unsigned char buf[4] = {};
    EXPECT_EQ(io.read(buf, 4), 4);
    dev.join();
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 4), "abcd");
}

TEST_F(SIoUnixPty, ReadStopsAtEndOfData) {
    SIoUnix io;
    ASSERT_TRUE(open(io));
    // The device sends two bytes, then goes away (a hang-up discards unread input,
    // so it waits until the first two are taken).
    std::thread dev([&] {
        pty.send("ab");
        std::this_thread::sleep_for(100ms);
        pty.closeMaster();
    });
    unsigned char buf[4] = {};
    finishesWithin(5s, [&] { EXPECT_EQ(io.read(buf, 4), 2); });
    dev.join();
    EXPECT_EQ(buf[1], 'b');
}

TEST(SIoUnix, ReadStopsAtEndOfSocketData) {
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    SIoUnix io;
    io.initialize(sv[0]);
    ASSERT_EQ(::write(sv[1], "ab", 2), 2);
    ::close(sv[1]);
    unsigned char buf[4] = {};
    EXPECT_EQ(io.read(buf, 4), 2);
}

TEST_F(SIoUnixPty, HungUpLineIsReadyButFlushEnds) {
    SIoUnix io;
    ASSERT_TRUE(open(io));
    pty.closeMaster();
    EXPECT_EQ(io.readyForRead(100), 1) << "a hang-up reads as ready";
    finishesWithin(5s, [&] { EXPECT_TRUE(io.flush(2000)); });
}

TEST_F(SIoUnixPty, FlushLeavesNothingPending) {
    SIoUnix io;
    ASSERT_TRUE(open(io));
    ASSERT_TRUE(pty.send("stale bytes\r\n"));
    ASSERT_EQ(io.readyForRead(1000), 1);
    auto t0 = Clock::now();
    EXPECT_TRUE(io.flush(100));
    EXPECT_GE(msSince(t0), 90) << "returns only after the line was quiet";
    EXPECT_EQ(io.readyForRead(20), 0);
}

TEST_F(SIoUnixPty, WritesAndEchoesFormattedText) {
    SIoUnix io;
    ASSERT_TRUE(open(io));
    const unsigned char raw[] = {0xAA, 0x00, 0x62};
    EXPECT_EQ(io.write(raw, 3), 3);
    EXPECT_EQ(io.writeByte(0x7F), 1);
    EXPECT_EQ(pty.receive(4), std::string("\xAA\x00\x62\x7F", 4));

    testing::internal::CaptureStderr();
    int n = io.printf("%s %d", "DBG", 1);
    std::string echoed = testing::internal::GetCapturedStderr();
    EXPECT_EQ(n, 5);
    EXPECT_EQ(echoed, "DBG 1");
    EXPECT_EQ(pty.receive(5), "DBG 1");
}

TEST(SIoUnix, LongFormattedTextIsNotCut) {
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    SIoUnix io;
    io.initialize(sv[0]);
    std::string big(5000, 'z');
    testing::internal::CaptureStderr();
    EXPECT_EQ(io.printf("%s", big.c_str()), 5000);
    EXPECT_EQ(testing::internal::GetCapturedStderr().size(), 5000u);
    ::close(sv[1]);
}
