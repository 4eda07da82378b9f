// Socket streams: line assembly, server and client, and the multiplexer over them.
#include "serial/SIoClient.h"
#include "serial/SIoMux.h"
#include "serial/SIoRfc2217.h"
#include "serial/SIoServer.h"
#include "serial/internal/SocketAddress.h"
#include "tests/support/ProcessStats.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestPty.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <fstream>
#include <poll.h>
#include <regex>
#include <thread>

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
        client.write(reinterpret_cast<const unsigned char*>("hello world,1\r\n"), 15);
        CaptureStdout();
        EXPECT_EQ(mux.poll(2000), 1);
        const std::string out = GetCapturedStdout();
        EXPECT_NE(out.find(": read [hello] [13]\n{68 65 6c 6c 6f 00 "), std::string::npos) << out;
        // Reconnects by its own stored name, so that there is one more to accept.
        client.initialize(client.devName(), SerialIo::Baud115200, 8, SerialIo::ParityNone, 1);
        std::unique_ptr<SIoUnix> conn(server.accept());
        ASSERT_NE(conn, nullptr);
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
    std::string host, port;
    EXPECT_TRUE(splitHostPort("[::1]:4000", host, port) && host == "::1" && port == "4000");
    SIoClient client, fresh;
    EXPECT_NE(open(client, noService).err.find("getaddrinfo: "), std::string::npos);
    CaptureStderr();
    EXPECT_FALSE(fresh.initialize(std::string(300, 'h').c_str(), "1"));
    EXPECT_EQ(GetCapturedStderr(), "") << "never a cut address, so nothing was tried";
    SIoServer server, gone; // the first leaves its socket file behind
    ASSERT_TRUE(open(gone, dir.file("s")).ok);
    gone.deinitialize();
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
    const int fds = openDescriptors(); // a reconnect storm leaves nothing behind
    for (int i = 0; i < 50; ++i) {
        SIoClient client;
        ASSERT_TRUE(open(client, dir.file("s")).ok);
        if (i % 2) client.write(reinterpret_cast<const unsigned char*>("x\n"), 2);
        ASSERT_GE(mux.poll(2000), 1);
    }
    for (int i = 0; i < 100 && mux.size() > 1; ++i) mux.poll(20);
    EXPECT_EQ(mux.size(), 1u) << "owned connections deleted";
    EXPECT_EQ(openDescriptors(), fds);
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
    // A stream dropped during a pass does not make the next one wait for the next pass.
    SIoClient client;
    ASSERT_TRUE(open(client, dir.file("s")).ok);
    ASSERT_EQ(mux.poll(2000), 1); // its connection accepted, owned by the multiplexer
    client.deinitialize();
    Pair next;
    mux.add(&next.io, false);
    ASSERT_EQ(::write(next.sv[1], "x\n", 2), 2);
    EXPECT_EQ(mux.poll(0), 2);
    EXPECT_EQ(next.io.lines, Strings{"x"});
}

namespace {
using Bytes = std::string;
const char IAC = '\xff', WILL = '\xfb', WONT = '\xfc', DO = '\xfd', DONT = '\xfe', SB = '\xfa',
           SE = '\xf0', COM = 44;
Bytes cmd(char verb, char option) {
    return {IAC, verb, option};
}
Bytes sub(const Bytes& body) {
    return Bytes{IAC, SB, COM} + body + Bytes{IAC, SE};
}
const Bytes kBaud = Bytes("\x01\x00\x01\xc2\x00", 5), kBits = "\x02\x08", kEven = "\x03\x03",
            kStop = "\x04\x01";
Bytes answer(const Bytes& set) {
    return sub(char(set[0] + 100) + set.substr(1));
}

// A device server on a loopback port that answers each trigger the client sends with its
// reply, once, in order, until told to serve no more; it keeps what it received.
struct FakeServer {
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0), fd = -1;
    std::string got;
    std::atomic<bool> stop{false};
    std::thread thread;

    explicit FakeServer(std::vector<std::pair<Bytes, Bytes>> script) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        EXPECT_EQ(listen(listener, 1), 0);
        thread = std::thread([this, script] {
            pollfd p{listener, POLLIN, 0};
            if (::poll(&p, 1, 5000) == 1) fd = accept(listener, nullptr, nullptr);
            for (size_t next = 0; fd >= 0 && !stop && receive();)
                for (; next < script.size() && got.find(script[next].first) != got.npos; ++next)
                    EXPECT_EQ(::write(fd, script[next].second.data(), script[next].second.size()),
                              ssize_t(script[next].second.size()));
        });
    }
    ~FakeServer() {
        hangUp();
        ::close(listener);
    }
    void serveNoMore() {
        stop = true;
        if (thread.joinable()) thread.join();
    }
    void hangUp() {
        serveNoMore();
        ::close(fd);
        fd = -1;
    }
    std::string address() { return "rfc2217://127.0.0.1:" + portOf(listener); }
    bool receive() { // what arrives within 20 ms; false once the client has gone
        pollfd p{fd, POLLIN, 0};
        char buf[512];
        if (::poll(&p, 1, 20) != 1) return true;
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n > 0) got.append(buf, size_t(n));
        return n > 0;
    }
    bool received(const Bytes& b) { // once served: waits for b, at most two seconds
        for (int i = 0; i < 100 && got.find(b) == got.npos; ++i) receive();
        return got.find(b) != got.npos;
    }
};

// The Telnet layer fed by hand, its answers read from the other end of a socket pair.
struct Telnet : SIoRfc2217 {
    using SIoRfc2217::take;
    int sv[2] = {-1, -1};
    Telnet() {
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, sv), 0);
        SIoClient::initialize(sv[0]);
    }
    ~Telnet() override { ::close(sv[1]); }
    Bytes answers() {
        char buf[256];
        ssize_t n = ::read(sv[1], buf, sizeof buf);
        return n > 0 ? Bytes(buf, size_t(n)) : Bytes();
    }
    Bytes data() {
        Bytes out;
        unsigned char c;
        while (readyForRead(1) == 1 && readAvailable(&c, 1) == 1) out += char(c);
        return out;
    }
};
} // namespace

// Each row whole and then split after every byte: an escape or command cut by a read must
// come out the same.
TEST(Rfc2217, TelnetLayerTable) {
    const struct {
        const char* what;
        Bytes in, data, answers;
    } rows[] = {
        {"escaped 0xFF", Bytes("a") + IAC + IAC + "b", Bytes("a") + IAC + "b", ""},
        {"state notifications ignored",
         sub("\x6b\x30") + "x" + sub(Bytes("\x6a") + IAC + IAC) + "y", "xy", ""},
        {"other commands carry nothing", Bytes{IAC, '\xf1'} + "z", "z", ""},
        {"other options refused", cmd(WILL, 1) + cmd(DO, 24), "", cmd(DONT, 1) + cmd(WONT, 24)},
        {"our options agreed, and the server's own COM-PORT-OPTION",
         cmd(DO, 0) + cmd(WILL, 3) + cmd(DO, COM) + cmd(WILL, COM), "",
         cmd(WILL, 0) + cmd(DO, 3) + cmd(WILL, COM) + cmd(DO, COM)},
        {"no answer to refusing what is off", cmd(DONT, 0) + cmd(WONT, 3), "", ""},
        {"a malformed end drops the subnegotiation", Bytes{IAC, SB, COM, 1, IAC, 'q'} + "r", "r",
         ""},
    };
    for (const auto& row : rows) {
        for (size_t step : {row.in.size(), size_t(1)}) {
            Telnet t;
            for (size_t at = 0; at < row.in.size(); at += step)
                t.take(reinterpret_cast<const unsigned char*>(row.in.data()) + at,
                       unsigned(std::min(step, row.in.size() - at)));
            EXPECT_EQ(t.data(), row.data) << row.what << ", step " << step;
            EXPECT_EQ(t.answers(), row.answers) << row.what << ", step " << step;
        }
    }
    // A peer gone before a write: an error of the call, not the end of the process.
    Telnet gone;
    ::close(gone.sv[1]);
    gone.sv[1] = -1;
    CaptureStderr();
    EXPECT_EQ(gone.write(reinterpret_cast<const unsigned char*>("\xff"), 1), -1);
    EXPECT_EQ(GetCapturedStderr(), std::string(": ") + strerror(EPIPE) + "\n");
}

// The line is set at 115200 8E1 on open; what the server says decides whether it opens.
TEST(Rfc2217, OpeningAgainstAScriptedServerTable) {
    const Bytes agreed = cmd(WILL, COM);
    const std::pair<Bytes, Bytes> taken{agreed, cmd(DO, COM)}, baud{sub(kBaud), answer(kBaud)},
        bits{sub(kBits), answer(kBits)}, parity{sub(kEven), answer(kEven)},
        stop{sub(kStop), answer(kStop)};
    const struct {
        const char* what;
        std::vector<std::pair<Bytes, Bytes>> script;
        const char* message; // on standard error; empty when the open succeeds
    } rows[] = {
        {"option refused", {{agreed, cmd(DONT, COM)}}, "the server refused the COM-PORT-OPTION"},
        {"option unanswered", {}, "the server did not answer the COM-PORT-OPTION within 200 ms"},
        {"parity unconfirmed",
         {taken, baud, bits, stop},
         "the server did not confirm SET-PARITY 3 within 200 ms"},
        {"another speed",
         {taken, {sub(kBaud), answer(Bytes("\x01\x00\x00\x25\x80", 5))}, bits, parity, stop},
         "the server answered SET-BAUDRATE 115200 with 9600"},
        {"all confirmed, with a modem state notification",
         {{agreed, cmd(DO, COM) + sub("\x6b\x00")}, baud, bits, parity, stop},
         ""},
    };
    for (const auto& row : rows) {
        FakeServer server(row.script);
        SIoRfc2217 client;
        client.setConfirmMs(200); // the default's length is not under test
        CaptureStderr();
        const bool ok = client.initialize(server.address().c_str(), SerialIo::Baud115200, 8,
                                          SerialIo::ParityEven, 1);
        const std::string err = GetCapturedStderr();
        EXPECT_EQ(ok, !*row.message) << row.what << ": " << err;
        if (!ok) {
            EXPECT_EQ(err.find(server.address() + ": " + row.message), 0u) << err;
            continue;
        }
        EXPECT_EQ(err, "");
        server.serveNoMore();
        EXPECT_TRUE(server.received(cmd(WILL, 0) + cmd(DO, 0) + cmd(WILL, 3) + cmd(DO, 3)));
        const unsigned char data[] = {0x7f, 0xff, 0x00};
        EXPECT_EQ(client.write(data, 3), 3);
        EXPECT_TRUE(server.received(Bytes("\x7f\xff\xff\x00", 4)));
        client.flush(1);
        EXPECT_TRUE(server.received(sub("\x0c\x01")));
        EXPECT_EQ(server.got.find(Bytes{IAC, SB, COM, 5}), std::string::npos) << "no DTR, RTS";
        // The server goes away: reported once with the address, and no write kills the process.
        server.hangUp();
        CaptureStderr();
        EXPECT_EQ(client.readyForRead(2000), -1);
        EXPECT_EQ(client.write(data, 3), -1);
        EXPECT_EQ(client.read(const_cast<unsigned char*>(data), 1), 0);
        EXPECT_EQ(GetCapturedStderr(), server.address() + ": connection closed by the server\n");
    }
}
