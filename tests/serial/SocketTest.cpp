#include "TestPty.h"
#include "serial/SIoClient.h"
#include "serial/SIoMux.h"
#include "serial/SIoServer.h"
#include "serial/internal/SIoUnixState.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>

using namespace std::chrono_literals;
using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

namespace {
const unsigned kWaitMs = 2000; // bounds every wait for an event that is due

class Sockets : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/kivo-serial-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
    }
    void TearDown() override { std::filesystem::remove_all(dir); }
    std::string path(const char* name) const { return dir + "/" + name; }

    static bool listen(SIoServer& s, const std::string& name) {
        CaptureStdout();
        bool ok = s.initialize(name.c_str(), SerialIo::Baud115200, 8, SerialIo::ParityNone, 1);
        GetCapturedStdout();
        return ok;
    }
    static bool connect(SIoClient& c, const std::string& name) {
        return c.initialize(name.c_str(), SerialIo::Baud115200, 8, SerialIo::ParityNone, 1);
    }
    static void say(SIoUnix& io, const std::string& text) {
        ASSERT_EQ(io.write(reinterpret_cast<const unsigned char*>(text.data()),
                           static_cast<unsigned>(text.size())),
                  static_cast<int>(text.size()));
    }
    std::string dir;
};

// A TCP port on loopback that nobody listens on.
std::string freePort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(fd);
    return std::to_string(ntohs(a.sin_port));
}

std::string boundPort(int fd) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    return std::to_string(ntohs(a.sin_port));
}
} // namespace

TEST_F(Sockets, LocalServerAcceptsAndTracesLines) {
    SIoServer server;
    const std::string name = path("s");
    CaptureStdout();
    ASSERT_TRUE(server.initialize(name.c_str(), SerialIo::Baud115200, 8, SerialIo::ParityNone, 1));
    std::string out = GetCapturedStdout();
    EXPECT_EQ(out, "SIoServer: listening on (unix " + name + ") (fd " +
                       std::to_string(server.fd()) + ")\n");
    EXPECT_EQ(server.read(nullptr, 5), 0);
    EXPECT_EQ(server.write(nullptr, 5), 0);

    SIoMux mux;
    mux.add(&server, false);
    SIoClient client;
    ASSERT_TRUE(connect(client, name));
    EXPECT_EQ(mux.poll(kWaitMs), 1);
    ASSERT_EQ(mux.size(), 2u) << "accepted connection added";

    say(client, "hello world,1\r\n");
    CaptureStdout();
    EXPECT_EQ(mux.poll(kWaitMs), 1);
    out = GetCapturedStdout();
    EXPECT_NE(out.find(": read [hello] [13]\n{68 65 6c 6c 6f 00 "), std::string::npos) << out;
}

TEST_F(Sockets, AcceptedConnectionIsNonBlockingAndUnnamed) {
    SIoServer server;
    ASSERT_TRUE(listen(server, path("s")));
    SIoClient client;
    ASSERT_TRUE(connect(client, path("s")));
    std::unique_ptr<SIoUnix> conn(server.accept());
    ASSERT_NE(conn, nullptr);
    EXPECT_STREQ(conn->devName(), "unknown");
    EXPECT_NE(fcntl(conn->fd(), F_GETFL) & O_NONBLOCK, 0);
    EXPECT_EQ(fcntl(client.fd(), F_GETFL) & O_NONBLOCK, 0) << "local client stays blocking";
}

TEST_F(Sockets, StaleSocketRemovedRegularFileRefused) {
    const std::string stale = path("stale");
    {
        int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        strcpy(a.sun_path, stale.c_str());
        ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        ::close(fd);
    }
    SIoServer server;
    EXPECT_TRUE(listen(server, stale));

    const std::string plain = path("plain");
    std::ofstream(plain) << "keep me";
    SIoServer other;
    CaptureStderr();
    EXPECT_FALSE(listen(other, plain));
    EXPECT_EQ(GetCapturedStderr(), plain + " is not a socket, should default to fileio\n");
    std::ifstream in(plain);
    std::string content;
    std::getline(in, content);
    EXPECT_EQ(content, "keep me");
}

TEST_F(Sockets, ReinitialiseSameNameKeepsOtherNameMoves) {
    SIoServer server;
    ASSERT_TRUE(listen(server, path("a")));
    int fd = server.fd();
    EXPECT_TRUE(listen(server, path("a")));
    EXPECT_EQ(server.fd(), fd);
    EXPECT_TRUE(listen(server, server.devName())) << "own stored name";
    EXPECT_EQ(server.fd(), fd);

    ASSERT_TRUE(listen(server, path("b")));
    EXPECT_STREQ(server.devName(), path("b").c_str());
    SIoClient toOld, toNew;
    CaptureStderr();
    EXPECT_FALSE(connect(toOld, path("a")));
    GetCapturedStderr();
    EXPECT_TRUE(connect(toNew, path("b")));
}

TEST_F(Sockets, OverlongLocalPathFails) {
    SIoServer server;
    std::string name = "/tmp/" + std::string(110, 'p');
    CaptureStderr();
    EXPECT_FALSE(listen(server, name));
    EXPECT_EQ(GetCapturedStderr(), "SIoServer: Couldn't listen on socket '" + name + "'\n");
    EXPECT_EQ(server.fd(), -1);
}

TEST_F(Sockets, TcpServerOnLoopback) {
    SIoServer server;
    CaptureStdout();
    ASSERT_TRUE(server.initialize("127.0.0.1:0", SerialIo::Baud115200, 8, SerialIo::ParityNone, 1));
    std::string out = GetCapturedStdout();
    EXPECT_EQ(out, "SIoServer: listening on (dev 127.0.0.1:0) (fd " + std::to_string(server.fd()) +
                       ")\n");
    SIoClient client;
    ASSERT_TRUE(client.initialize("127.0.0.1", boundPort(server.fd()).c_str()));
    EXPECT_STREQ(client.devName(), ("127.0.0.1:" + boundPort(server.fd())).c_str());
    EXPECT_NE(fcntl(client.fd(), F_GETFL) & O_NONBLOCK, 0) << "TCP client is non-blocking";

    SIoMux mux;
    mux.add(&server, false);
    ASSERT_EQ(mux.poll(kWaitMs), 1);
    ASSERT_EQ(mux.size(), 2u);
    say(client, "ping\n");
    CaptureStdout();
    EXPECT_EQ(mux.poll(kWaitMs), 1);
    EXPECT_NE(GetCapturedStdout().find("read [ping] [4]"), std::string::npos);
}

TEST_F(Sockets, ResolutionFailureIsReportedNotFatal) {
    SIoServer server;
    CaptureStderr();
    EXPECT_FALSE(listen(server, "127.0.0.1:no-such-service-here"));
    std::string err = GetCapturedStderr();
    EXPECT_NE(err.find("getaddrinfo: "), std::string::npos) << err;
    EXPECT_NE(err.find("SIoServer: Couldn't listen on socket '127.0.0.1:no-such-service-here'\n"),
              std::string::npos);

    SIoClient client;
    CaptureStderr();
    EXPECT_FALSE(connect(client, "127.0.0.1:no-such-service-here"));
    EXPECT_NE(GetCapturedStderr().find("getaddrinfo: "), std::string::npos);
}

TEST_F(Sockets, ClientToDownServerReportsOnceThenReconnectsSilently) {
    const std::string name = path("late");
    SIoClient client;
    CaptureStderr();
    EXPECT_FALSE(connect(client, name));
    EXPECT_EQ(GetCapturedStderr(), "SIoClient: couldn't connect to '" + name + "'\n");
    EXPECT_TRUE(client.state().attempted);

    SIoMux mux;
    mux.add(&client, false);
    CaptureStderr();
    EXPECT_EQ(mux.poll(20), 0);
    EXPECT_EQ(mux.poll(20), 0);
    EXPECT_EQ(GetCapturedStderr(), "") << "retries are silent";

    SIoServer server;
    ASSERT_TRUE(listen(server, name));
    EXPECT_EQ(mux.poll(20), 0);
    EXPECT_GE(client.fd(), 0) << "reconnected before the wait";
}

TEST_F(Sockets, TcpClientToClosedPortWarnsOnce) {
    const std::string port = freePort();
    SIoClient client;
    CaptureStderr();
    EXPECT_FALSE(client.initialize("127.0.0.1", port.c_str()));
    std::string err = GetCapturedStderr();
    EXPECT_NE(err.find("connect to 127.0.0.1 port " + port + " (tcp) failed: "), std::string::npos)
        << err;
    EXPECT_NE(err.find("SIoClient: couldn't connect to '127.0.0.1:" + port + "'\n"),
              std::string::npos);
    CaptureStderr();
    EXPECT_FALSE(client.reinitialize());
    EXPECT_EQ(GetCapturedStderr(), "");
}

TEST_F(Sockets, ClientAddressTooLongIsRefused) {
    SIoClient client;
    std::string host(250, 'h');
    EXPECT_FALSE(client.initialize(host.c_str(), "12345"));
    EXPECT_FALSE(client.state().attempted) << "no connection was tried";
}

TEST_F(Sockets, ClientOpensSerialDeviceUnderDev) {
    TestPty pty;
    ASSERT_TRUE(pty.ok());
    SIoClient client;
    CaptureStderr();
    EXPECT_TRUE(connect(client, pty.slavePath));
    EXPECT_EQ(GetCapturedStderr(), "");
    EXPECT_TRUE(isatty(client.fd()));
    EXPECT_FALSE(client.state().attempted);
    EXPECT_EQ(pty.attrs().c_lflag & ICANON, 0u) << "configured as a terminal";
}

TEST_F(Sockets, HungUpPeerIsDroppedWithoutBusyPoll) {
    SIoServer server;
    ASSERT_TRUE(listen(server, path("s")));
    SIoMux mux;
    mux.add(&server, false);
    {
        SIoClient client;
        ASSERT_TRUE(connect(client, path("s")));
        ASSERT_EQ(mux.poll(kWaitMs), 1);
        ASSERT_EQ(mux.size(), 2u);
    }
    EXPECT_EQ(mux.poll(kWaitMs), 1);
    EXPECT_EQ(mux.size(), 1u) << "owned connection deleted";
    EXPECT_EQ(mux.poll(100), 0) << "nothing keeps the wait busy";
}

TEST_F(Sockets, EndedUnownedStreamIsClosedAndKept) {
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    SIoUnix io;
    io.initialize(sv[0]);
    ::close(sv[1]);
    SIoMux mux;
    mux.add(&io, false);
    EXPECT_EQ(mux.poll(kWaitMs), 1);
    EXPECT_EQ(mux.size(), 1u);
    EXPECT_EQ(io.fd(), -1);
    mux.remove(&io);
    EXPECT_EQ(mux.size(), 0u);
    mux.remove(&io); // unknown: nothing happens
}

TEST_F(Sockets, PollTimeOutAndUnlimitedWait) {
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, sv), 0);
    auto* io = new SIoUnix;
    io->initialize(sv[0]);
    SIoMux mux;
    mux.add(io, true); // the multiplexer deletes it
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(mux.poll(100), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, 90ms);

    std::thread peer([&] {
        std::this_thread::sleep_for(50ms);
        ASSERT_EQ(::write(sv[1], "x\n", 2), 2);
    });
    CaptureStdout();
    EXPECT_EQ(mux.poll(0), 1);
    GetCapturedStdout();
    peer.join();
    ::close(sv[1]);
}
