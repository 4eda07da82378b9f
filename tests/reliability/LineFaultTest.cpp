// A line that talks nonsense, never falls quiet or keeps reconnecting ends every operation in
// bounded time and leaves nothing behind.
#include "bootloader/Stm32Bootload.h"
#include "device/KivoIo.h"
#include "serial/SIoMux.h"
#include "serial/SIoServer.h"
#include "serial/SerialIo.h"
#include "tests/support/BadFiles.h"
#include "tests/support/ProcessStats.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestPty.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>

#include <gtest/gtest.h>

namespace {

constexpr double kBoundSeconds = 10; // far beyond any time-out met here, far below a hang
constexpr unsigned kConsoleCap = 65536;

// The far end of the line: sends chunk over and over (or once for each burst it receives) and
// swallows whatever arrives.
struct Peer {
    Peer(std::string chunk, bool onRequest) : chunk_(std::move(chunk)), onRequest_(onRequest) {
        fcntl(pty.master, F_SETFL, O_NONBLOCK);
        thread_ = std::thread([this] { run(); });
    }
    ~Peer() {
        stop_ = true;
        thread_.join();
    }
    void run() {
        size_t at = 0;
        bool owed = !onRequest_;
        char buf[4096];
        while (!stop_) {
            pollfd p{pty.master, short(POLLIN | (owed ? POLLOUT : 0)), 0};
            if (::poll(&p, 1, 10) <= 0) continue;
            if (p.revents & POLLHUP) std::this_thread::sleep_for(std::chrono::milliseconds(5));
            if ((p.revents & POLLIN) && ::read(pty.master, buf, sizeof buf) > 0 && onRequest_)
                owed = true;
            if (!owed || !(p.revents & POLLOUT)) continue;
            const ssize_t n = ::write(pty.master, chunk_.data() + at, chunk_.size() - at);
            if (n > 0 && (at += size_t(n)) == chunk_.size()) at = 0, owed = !onRequest_;
        }
    }
    TestPty pty;
    const std::string chunk_;
    const bool onRequest_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// An open stream on port with a device link over it.
struct Link {
    std::unique_ptr<SerialIo> io{SerialIo::PlatformSIo()};
    std::unique_ptr<KivoIo> kivo;
    explicit Link(const std::string& port) {
        EXPECT_TRUE(io->initialize(port.c_str(), SerialIo::Baud115200, 8, SerialIo::ParityNone, 1));
        kivo = std::make_unique<KivoIo>(*io);
    }
};

using Use = std::function<void(const std::string& port)>;

void generatorFrames(const std::string& port) {
    Link l(port);
    EXPECT_FALSE(l.kivo->ping(3));
    unsigned char page[KivoIo::PageSize] = {};
    EXPECT_FALSE(l.kivo->wSpiFlash(KivoIo::TargetBitmap, 0, 0, page));
}

void console(const std::string& port) {
    Link l(port);
    unsigned char* answer = nullptr;
    unsigned len = 0;
    l.kivo->cmd(answer, len, false, "cnd 12\r\n");
    EXPECT_LE(len, kConsoleCap);
    delete[] answer;
    const auto* done = reinterpret_cast<const unsigned char*>("cnd 12");
    EXPECT_FALSE(l.kivo->waitForResponse(120000, done, 6, nullptr));
}

void lineAssembly(const std::string& port) {
    Link l(port);
    SIoMux mux;
    for (int i = 0; i < 200; ++i) EXPECT_NE(static_cast<SIoUnix&>(*l.io).onReadReady(mux), -1);
}

void bootloader(const std::string& port) {
    Stm32Bootload bl;
    bl.init(port.c_str()); // noise may happen to hold an ACK: only the bound counts
    bl.erase_flash(0xFF, nullptr);
    unsigned char chunk[Stm32Proto::MaxChunk] = {};
    bl.write_flash(0x08000000, chunk, sizeof chunk);
    bl.go_command(0x08000000);
}

double secondsOf(const std::function<void()>& call) {
    const auto start = std::chrono::steady_clock::now();
    call();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

} // namespace

TEST(LineFaults, EveryModeEndsOnNoiseFloodAndHugeReplies) {
    const unsigned char huge[] = {0xAB, 0x00, 0x00, 0xFF, 0xFF}; // L = 65535, nothing follows
    struct Row {
        const char* what;
        std::string chunk;
        bool onRequest;
        Use use;
    } rows[] = {
        {"random bytes, generator frames", badfiles::garbage(4096), false, generatorFrames},
        {"random bytes, console", badfiles::garbage(4096), false, console},
        {"random bytes, line assembly", badfiles::garbage(4096), false, lineAssembly},
        {"random bytes, bootloader", badfiles::garbage(4096), false, bootloader},
        {"text without line end, console", std::string(4096, 'x'), false, console},
        {"text without line end, line assembly", std::string(4096, 'x'), false, lineAssembly},
        {"reply with a huge length", std::string(huge, huge + sizeof huge), true, generatorFrames},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Peer peer(row.chunk, row.onRequest);
        testing::internal::CaptureStdout(); // the traces of thousands of rejected bytes
        const double seconds = secondsOf([&] { row.use(peer.pty.slavePath); });
        testing::internal::GetCapturedStdout();
        EXPECT_LE(seconds, kBoundSeconds);
    }
}

TEST(LineFaults, ReconnectStormOnTheMultiplexer) {
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    const std::string path = dir.file("storm.sock");
    auto* server = new SIoServer;
    ASSERT_TRUE(server->initialize(path.c_str(), SerialIo::Baud115200, 8, SerialIo::ParityNone, 1));
    SIoMux mux;
    mux.add(server, true);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    path.copy(addr.sun_path, sizeof addr.sun_path - 1);
    const int fds = openDescriptors();
    testing::internal::CaptureStdout();
    const double seconds = secondsOf([&] {
        for (int i = 0; i < 500; ++i) {
            const int c = socket(AF_UNIX, SOCK_STREAM, 0);
            const bool up = connect(c, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
            EXPECT_TRUE(!up || i % 2 == 0 || write(c, "x\n", 2) == 2);
            close(c);
            mux.poll(20);
        }
        for (int i = 0; i < 100 && mux.size() > 1; ++i) mux.poll(20);
    });
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(mux.size(), 1u); // only the server: every connection was dropped
    EXPECT_EQ(openDescriptors(), fds);
    EXPECT_LE(seconds, kBoundSeconds);
}
