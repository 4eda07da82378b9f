#include "TestPty.h"
#include "serial/SIoMux.h"
#include "serial/SIoUnix.h"
#include "serial/internal/SIoUnixState.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <regex>
#include <sys/socket.h>
#include <vector>

namespace {
// Records every line handed to argv; answers with the configured result.
class Recorder : public SIoUnix {
public:
    int result = -1;
    std::vector<std::vector<std::string>> lines;
    bool nullTerminated = true;

    int argv(unsigned argc, const char** words) override {
        std::vector<std::string> line(words, words + argc);
        if (argc < 100 && words[argc] != nullptr) nullTerminated = false;
        lines.push_back(line);
        return result;
    }
};

// A non-blocking socket pair; the stream owns one end, the test writes on the other.
class LineAssembly : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, sv), 0);
        io.initialize(sv[0]);
    }
    void TearDown() override {
        if (sv[1] >= 0) ::close(sv[1]);
    }
    void send(const std::string& s) {
        ASSERT_EQ(::write(sv[1], s.data(), s.size()), static_cast<ssize_t>(s.size()));
    }
    int feed() { return io.onReadReady(mux); }
    // Runs one call with standard output captured.
    int feedTraced(std::string& out) {
        testing::internal::CaptureStdout();
        int r = feed();
        out = testing::internal::GetCapturedStdout();
        return r;
    }
    int sv[2] = {-1, -1};
    Recorder io;
    SIoMux mux;
};
} // namespace

TEST_F(LineAssembly, WordsAndCommasAreSplitAndTraced) {
    send("set a,b\r");
    std::string out;
    EXPECT_EQ(feedTraced(out), 7);
    ASSERT_EQ(io.lines.size(), 1u);
    EXPECT_EQ(io.lines[0], (std::vector<std::string>{"set", "a", "b"}));
    EXPECT_TRUE(io.nullTerminated);
    EXPECT_TRUE(std::regex_match(out, std::regex("[0-9]+: read \\[set\\] \\[7\\]\n"
                                                 "\\{73 65 74 00 61 00 62 \\}\n")))
        << out;
    EXPECT_EQ(io.state().lineLen, 0u);
}

TEST_F(LineAssembly, HandledLineIsNotTracedAndCounterAdvancesPerTrace) {
    io.result = 0;
    send("quiet\n");
    std::string out;
    EXPECT_EQ(feedTraced(out), 5);
    EXPECT_EQ(out, "");

    io.result = -1;
    send("one\ntwo\n");
    std::string first, second;
    feedTraced(first);
    feedTraced(second);
    int n1 = std::stoi(first), n2 = std::stoi(second);
    EXPECT_EQ(n2, n1 + 1);
}

TEST_F(LineAssembly, CrLfGivesOneLineAndLoneLineFeedNothing) {
    send("ab\r\n");
    std::string out;
    EXPECT_EQ(feedTraced(out), 2);
    EXPECT_EQ(feedTraced(out), 0) << "the LF of CR LF is an empty line";
    EXPECT_EQ(out, "");
    send("\n");
    EXPECT_EQ(feedTraced(out), 0);
    EXPECT_EQ(out, "");
    EXPECT_EQ(io.lines.size(), 1u);
    EXPECT_EQ(io.state().lineLen, 0u);
}

TEST_F(LineAssembly, PartialLineWaitsForTheRest) {
    io.result = 0;
    send("hel");
    EXPECT_EQ(feed(), 3) << "no byte yet on a non-blocking socket is not the end";
    EXPECT_TRUE(io.lines.empty());
    EXPECT_EQ(feed(), 3);
    send("lo world\r");
    EXPECT_EQ(feed(), 11);
    ASSERT_EQ(io.lines.size(), 1u);
    EXPECT_EQ(io.lines[0], (std::vector<std::string>{"hello", "world"}));
}

TEST_F(LineAssembly, OverlongLineIsHandedOnWithoutOverrun) {
    io.result = 0;
    send(std::string(1500, 'x'));
    const unsigned cap = io.state().lineCap;
    EXPECT_EQ(feed(), static_cast<int>(cap - 1));
    ASSERT_EQ(io.lines.size(), 1u);
    EXPECT_EQ(io.lines[0][0].size(), cap - 1);
    EXPECT_EQ(feed(), static_cast<int>(1500 - (cap - 1)));
    send("\n");
    EXPECT_EQ(feed(), static_cast<int>(1500 - (cap - 1)));
    ASSERT_EQ(io.lines.size(), 2u);
    EXPECT_EQ(io.lines[1][0].size(), 1500 - (cap - 1));
}

TEST_F(LineAssembly, OverlongLineIsTracedToo) {
    send(std::string(2000, 'y'));
    std::string out;
    EXPECT_EQ(feedTraced(out), 1023);
    EXPECT_NE(out.find("] [1023]\n{79 79 "), std::string::npos);
}

TEST_F(LineAssembly, AtMostHundredWordsAreSplit) {
    io.result = 0;
    std::string line;
    for (int i = 0; i < 150; ++i) line += "w" + std::to_string(i) + " ";
    send(line + "\n");
    feed();
    ASSERT_EQ(io.lines.size(), 1u);
    ASSERT_EQ(io.lines[0].size(), 100u);
    EXPECT_EQ(io.lines[0][99], "w99");
}

TEST_F(LineAssembly, SeparatorsOnlyGiveNoWords) {
    io.result = 0;
    send(" ,\t, \r");
    EXPECT_EQ(feed(), 5);
    ASSERT_EQ(io.lines.size(), 1u);
    EXPECT_TRUE(io.lines[0].empty());
}

TEST_F(LineAssembly, PeerGoneEndsTheStream) {
    send("tail without end");
    ::close(sv[1]);
    sv[1] = -1;
    EXPECT_EQ(feed(), -1);
    EXPECT_EQ(io.state().lineLen, 0u) << "the unfinished line is dropped";
    EXPECT_TRUE(io.lines.empty());
}

TEST_F(LineAssembly, PeerGoneAfterCompleteLine) {
    io.result = 0;
    send("last\n");
    ::close(sv[1]);
    sv[1] = -1;
    EXPECT_EQ(feed(), 4);
    EXPECT_EQ(feed(), -1);
    EXPECT_EQ(io.lines.size(), 1u);
}

TEST_F(LineAssembly, ReadErrorEndsTheStream) {
    io.deinitialize(); // descriptor gone: reads fail with EBADF
    EXPECT_EQ(feed(), -1);
}

TEST(LineAssemblyPty, BlockingTerminalAssemblesLinesAndSeesHangUp) {
    TestPty pty;
    ASSERT_TRUE(pty.ok());
    Recorder io;
    io.result = 0;
    ASSERT_TRUE(
        io.initialize(pty.slavePath.c_str(), SerialIo::Baud115200, 8, SerialIo::ParityNone, 1));
    SIoMux mux;
    ASSERT_TRUE(pty.send("cnd 12\r\n"));
    EXPECT_EQ(io.onReadReady(mux), 6);
    ASSERT_EQ(io.lines.size(), 1u);
    EXPECT_EQ(io.lines[0], (std::vector<std::string>{"cnd", "12"}));
    EXPECT_EQ(io.onReadReady(mux), 0);
    pty.closeMaster();
    EXPECT_EQ(io.onReadReady(mux), -1);
}
