// Socket streams: line assembly, server and client, and the multiplexer over them.
#include "serial/SIoClient.h"
#include "serial/SIoMux.h"
#include "serial/SIoServer.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestPty.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fstream>
#include <regex>

using namespace testing::internal;
using Strings = std::vector<std::string>;

namespace {
// Keeps each line as its words joined by one blank; answers with `result`.
struct Recorder : SIoUnix {
    int result = 0;
    Strings lines;
    int argv(unsigned argc, const char** words) override {
        std::string line;
        for (unsigned i = 0; i < argc; ++i) line += (i ? " " : "") + std::string(words[i]);
        EXPECT_EQ(words[argc], nullptr);
        lines.push_back(line);
        return result;
    }
};

struct Pair { // a non-blocking stream on one end of a socket pair
    int sv[2] = {-1, -1};
    Recorder io;
    SIoMux mux;
    Pair() {
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, sv), 0);
        io.initialize(sv[0]);
    }
    ~Pair() { ::close(sv[1]); }
    std::string fed(const std::string& s) { // what the stream traced for s
        EXPECT_EQ(::write(sv[1], s.data(), s.size()), ssize_t(s.size()));
        CaptureStdout();
        io.onReadReady(mux);
        return GetCapturedStdout();
    }
};

std::string words(int n) {
    std::string s = "w0";
    for (int i = 1; i < n; ++i) s += " w" + std::to_string(i);
    return s;
}

// Opens s on name; what it printed on stdout and stderr.
struct Said {
    bool ok;
    std::string out, err;
};
template <typename S> Said open(S& s, const std::string& name) {
    CaptureStdout();
    CaptureStderr();
    bool ok = s.initialize(name.c_str(), SerialIo::Baud115200, 8, SerialIo::ParityNone, 1);
    std::string err = GetCapturedStderr();
    return {ok, GetCapturedStdout(), err};
}

std::string portOf(int fd) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    return std::to_string(ntohs(a.sin_port));
}
} // namespace

TEST(LineAssembly, Table) {
    enum End { Open, PeerGone, Closed };
    const std::string x(1500, 'x');
    struct {
        std::string input;
        End end;
        std::vector<int> results; // of successive onReadReady calls
        Strings lines;
    } const cases[] = {
        {"set a,b\r", Open, {7}, {"set a b"}},
        {"ab\r\n\n", Open, {2, 0, 0}, {"ab"}}, // the LF of CR LF: an empty line, not handed on
        {"hel", Open, {3, 3}, {}},             // no byte yet is not the end of the stream
        {" ,\t, \r", Open, {5}, {""}},
        {x + "\n", Open, {1023, 477}, {x.substr(0, 1023), x.substr(0, 477)}},
        {words(150) + "\n", Open, {int(words(150).size())}, {words(100)}},
        {"tail without end", PeerGone, {-1}, {}},
        {"last\n", PeerGone, {4, -1}, {"last"}},
        {"", Closed, {-1}, {}},
    };
    for (const auto& c : cases) {
        Pair p;
        EXPECT_EQ(::write(p.sv[1], c.input.data(), c.input.size()), ssize_t(c.input.size()));
        if (c.end == PeerGone) ::close(p.sv[1]), p.sv[1] = -1;
        if (c.end == Closed) p.io.deinitialize();
        for (int r : c.results) EXPECT_EQ(p.io.onReadReady(p.mux), r) << c.input.substr(0, 9);
        EXPECT_EQ(p.io.lines, c.lines) << c.input.substr(0, 9);
    }
}

TEST(LineAssembly, UntakenLinesAreTracedWithACounter) {
    Pair p;
    EXPECT_EQ(p.fed("quiet\n"), "") << "a handled line";
    p.io.result = -1;
    const std::string first = p.fed("set a,b\r");
    EXPECT_TRUE(std::regex_match(
        first, std::regex("[0-9]+: read \\[set\\] \\[7\\]\n\\{73 65 74 00 61 00 62 \\}\n")))
        << first;
    EXPECT_EQ(std::stoi(p.fed("two\n")), std::stoi(first) + 1);
    EXPECT_NE(p.fed(std::string(2000, 'y')).find("] [1023]\n{79 79 "), std::string::npos);
}

TEST(Sockets, ServersAcceptNonBlockingStreamsAndTraceTheirLines) {
    TempDir dir;
    for (const std::string& name : {dir.file("s"), std::string("127.0.0.1:0")}) {
        const bool tcp = name.find(':') != std::string::npos;
        SIoServer server;
        Said said = open(server, name);
        ASSERT_TRUE(said.ok);
        EXPECT_EQ(said.out, "SIoServer: listening on (" + std::string(tcp ? "dev " : "unix ") +
                                name + ") (fd " + std::to_string(server.fd()) + ")\n");
        SIoClient client;
        ASSERT_TRUE(open(client, tcp ? "127.0.0.1:" + portOf(server.fd()) : name).ok);
        EXPECT_EQ(fcntl(client.fd(), F_GETFL) & O_NONBLOCK, tcp ? O_NONBLOCK : 0);
        SIoMux mux;
        mux.add(&server, false);
        EXPECT_EQ(mux.poll(2000), 1);
        ASSERT_EQ(mux.size(), 2u) << "accepted connection added";
        client.write(reinterpret_cast<const unsigned char*>("hello world,1\r\n"), 15);
        CaptureStdout();
        EXPECT_EQ(mux.poll(2000), 1);
        const std::string out = GetCapturedStdout();
        EXPECT_NE(out.find(": read [hello] [13]\n{68 65 6c 6c 6f 00 "), std::string::npos) << out;
        // Reconnects by its own stored name, so that there is one more to accept.
        client.initialize(client.devName(), SerialIo::Baud115200, 8, SerialIo::ParityNone, 1);
        std::unique_ptr<SIoUnix> conn(server.accept());
        ASSERT_NE(conn, nullptr);
        EXPECT_STREQ(conn->devName(), "unknown");
        EXPECT_NE(fcntl(conn->fd(), F_GETFL) & O_NONBLOCK, 0);
    }
}

TEST(Sockets, BadAddressesFailWithAMessageAndTheProcessGoesOn) {
    TempDir dir;
    const std::string plain = dir.file("plain"),
                      tooLong = dir.file(std::string(103, 'p')).substr(0, 104);
    const std::string noService = "127.0.0.1:no-such-service-here";
    std::ofstream(plain) << "keep me";
    const Strings cases[] = {
        {plain, plain + " is not a socket, should default to fileio\n"},
        {tooLong, "SIoServer: Couldn't listen on socket '" + tooLong + "'\n"},
        {noService, "getaddrinfo: "},
        {noService, "SIoServer: Couldn't listen on socket '" + noService + "'\n"},
    };
    for (const Strings& c : cases) {
        SIoServer server;
        Said said = open(server, c[0]);
        EXPECT_FALSE(said.ok);
        EXPECT_NE(said.err.find(c[1]), std::string::npos) << said.err;
        EXPECT_EQ(server.fd(), -1);
    }
    std::ifstream in(plain);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "keep me");
    SIoClient client, fresh;
    EXPECT_NE(open(client, noService).err.find("getaddrinfo: "), std::string::npos);
    CaptureStderr();
    EXPECT_FALSE(fresh.initialize(std::string(300, 'h').c_str(), "1"));
    EXPECT_EQ(GetCapturedStderr(), "") << "never a cut address, so nothing was tried";
    SIoServer server, gone; // the first leaves its socket file behind
    ASSERT_TRUE(open(gone, dir.file("s")).ok && gone.deinitialize());
    ASSERT_TRUE(open(server, dir.file("s")).ok);
    const int fd = server.fd();
    EXPECT_TRUE(
        server.initialize(server.devName(), SerialIo::Baud115200, 8, SerialIo::ParityNone, 1))
        << "its own stored name";
    EXPECT_EQ(server.fd(), fd);
}

TEST(Sockets, ClientReportsTheFirstFailureOnlyThenReconnects) {
    TempDir dir;
    SIoServer probe; // a loopback port nobody listens on once it closes
    ASSERT_TRUE(open(probe, "127.0.0.1:0").ok);
    const std::string tcp = "127.0.0.1:" + portOf(probe.fd()), local = dir.file("l");
    probe.deinitialize();
    for (const std::string& name : {tcp, local}) {
        SIoClient client;
        SIoMux mux;
        mux.add(&client, false);
        Said said = open(client, name);
        EXPECT_FALSE(said.ok);
        EXPECT_NE(said.err.find("SIoClient: couldn't connect to '" + name + "'\n"),
                  std::string::npos);
        EXPECT_EQ(said.err.find("connect to 127.0.0.1 port ") != std::string::npos, name == tcp);
        SIoServer server;
        CaptureStderr();
        EXPECT_EQ(mux.poll(20), 0);
        EXPECT_EQ(GetCapturedStderr(), "") << "retries are silent";
        EXPECT_TRUE(name == tcp ||
                    (open(server, local).ok && mux.poll(20) == 0 && client.fd() >= 0))
            << "reconnected before the wait";
    }
    TestPty pty;
    SIoClient client;
    Said said = open(client, pty.slavePath);
    EXPECT_TRUE(said.ok && said.err.empty());
    EXPECT_EQ(pty.attrs().c_lflag & ICANON, 0u) << "a serial device, configured as a terminal";
}

TEST(Sockets, EndedStreamsAreDroppedOrClosed) {
    TempDir dir;
    SIoServer server;
    SIoMux mux;
    ASSERT_TRUE(open(server, dir.file("s")).ok);
    mux.add(&server, false);
    {
        SIoClient client;
        ASSERT_TRUE(open(client, dir.file("s")).ok);
        ASSERT_EQ(mux.poll(2000), 1);
    }
    EXPECT_EQ(mux.poll(2000), 1);
    EXPECT_EQ(mux.size(), 1u) << "owned connection deleted";
    EXPECT_EQ(mux.poll(100), 0) << "nothing keeps the wait busy";
    Pair p;
    mux.add(&p.io, false);
    ::close(p.sv[1]);
    p.sv[1] = -1;
    EXPECT_EQ(mux.poll(0), 1);
    EXPECT_EQ(p.io.fd(), -1) << "an unowned stream is closed and kept";
    EXPECT_EQ(mux.size(), 2u);
    mux.remove(&p.io);
    mux.remove(&p.io); // unknown: nothing happens
    EXPECT_EQ(mux.size(), 1u);
}
