// Wire-level tests of the bootloader client against an in-memory stream.
#include "bootloader/Stm32Bootload.h"
#include "tests/support/ScriptedStream.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

using testing::ElementsAre;
using testing::ElementsAreArray;
using Bytes = std::vector<uint8_t>;

namespace {

const uint8_t ACK = 0x79, NACK = 0x1F;

std::vector<unsigned> g_sleeps;
void recordSleep(unsigned ms) {
    g_sleeps.push_back(ms);
}

// Records what write_flash reports and stops after a given number of calls.
class Recorder : public Stm32Bootload {
public:
    using Stm32Bootload::Stm32Bootload;
    std::vector<double> seen;
    size_t stopAfter = SIZE_MAX;
    bool progress(double percent) override {
        seen.push_back(percent);
        return seen.size() < stopAfter;
    }
};

// A loader on a scripted stream; the stream answers the sync byte with `syncReply` if set.
struct Rig {
    ScriptedStream* s = new ScriptedStream;
    Recorder bl{s};
    Rig() {
        g_sleeps.clear();
        bl.set_sleeper(recordSleep);
    }
    void answerSync(uint8_t reply) {
        s->onWrite = [reply](ScriptedStream& st, const unsigned char* b, unsigned n) {
            if (n == 1 && b[0] == 0x7F) st.feed({reply});
        };
    }
};

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

Bytes ramp(size_t n) {
    Bytes d(n);
    for (size_t i = 0; i < n; ++i) d[i] = static_cast<uint8_t>(i * 7 + 3);
    return d;
}

uint8_t xorOf(const Bytes& d, uint8_t seed) {
    for (uint8_t b : d) seed ^= b;
    return seed;
}

// One Write Memory exchange as the host sends it.
Bytes writeChunkBytes(uint32_t addr, const Bytes& d) {
    const uint8_t a[4] = {uint8_t(addr >> 24), uint8_t(addr >> 16), uint8_t(addr >> 8),
                          uint8_t(addr)};
    const uint8_t n = uint8_t(d.size() - 1);
    Bytes out{0x31, 0xCE, a[0], a[1], a[2], a[3], uint8_t(a[0] ^ a[1] ^ a[2] ^ a[3]), n};
    out.insert(out.end(), d.begin(), d.end());
    out.push_back(xorOf(d, n));
    return out;
}

struct WireCase {
    const char* name;
    Bytes reply;
    std::function<int(Stm32Bootload&)> op;
    Bytes sent;
    int result;
};

class WireTest : public testing::TestWithParam<WireCase> {};

TEST_P(WireTest, SendsExactBytes) {
    const WireCase& c = GetParam();
    Rig r;
    r.s->feed(c.reply);
    testing::internal::CaptureStdout();
    int res = c.op(r.bl);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(res, c.result) << out;
    EXPECT_THAT(r.s->written, ElementsAreArray(c.sent));
    EXPECT_TRUE(r.s->input.empty()) << "unread reply bytes";
}

unsigned char pageList[3] = {0x01, 0x02, 0x03};

int getVersion31(Stm32Bootload& b) {
    unsigned char ma = 0, mi = 0;
    int r = b.get_version(&ma, &mi);
    return (ma == 3 && mi == 1) ? r : -1;
}
int getId0410(Stm32Bootload& b) {
    unsigned short pid = 0;
    int r = b.get_chip_id(&pid);
    return pid == 0x0410 ? r : -1;
}
int writeDeadBeef(Stm32Bootload& b) {
    const unsigned char d[4] = {0xDE, 0xAD, 0xBE, 0xEF};
    return b.write_flash(0x08000000, d, 4);
}
// 0xFF is an ordinary memory byte.
int readDeFf00Ef(Stm32Bootload& b) {
    unsigned char d[4] = {};
    int r = b.read_memory(0x08000010, d, 4);
    return (d[0] == 0xDE && d[1] == 0xFF && d[2] == 0 && d[3] == 0xEF) ? r : -1;
}
int readTwo(Stm32Bootload& b) {
    unsigned char d[2];
    return b.read_memory(0, d, 2);
}
int packetSeeded(Stm32Bootload& b) {
    const unsigned char d[2] = {0x0F, 0xF0};
    return b.send_packet_with_checksum(d, 2, 0x11);
}

int eraseGlobal(Stm32Bootload& b) {
    return b.erase_flash(0xFF, nullptr);
}
int eraseGlobalWithPages(Stm32Bootload& b) {
    return b.erase_flash(0xFF, pageList);
}
int massErase(Stm32Bootload& b) {
    return b.extended_erase_flash(0, nullptr);
}
int getVersionOnly(Stm32Bootload& b) {
    return b.get_version(nullptr, nullptr);
}

// clang-format off
const WireCase kWireCases[] = {
    {"Get", {ACK, 2, 0x31, 0x00, 0x43, ACK}, getVersion31, {0x00, 0xFF}, 0},
    {"GetId", {ACK, 1, 0x04, 0x10, ACK}, getId0410, {0x02, 0xFD}, 0},
    {"GlobalErase", {ACK, ACK}, eraseGlobal, {0x43, 0xBC, 0xFF, 0x00}, 0},
    {"GlobalEraseWithPages", {ACK, ACK}, eraseGlobalWithPages, {0x43, 0xBC, 0xFF, 0x00}, 0},
    {"GlobalEraseNullPages", {ACK, ACK}, [](Stm32Bootload& b) { return b.erase_flash(3, nullptr); },
     {0x43, 0xBC, 0xFF, 0x00}, 0},
    // Three pages: count byte 2, the pages, then the XOR of count and pages.
    {"PageErase", {ACK, ACK}, [](Stm32Bootload& b) { return b.erase_flash(3, pageList); },
     {0x43, 0xBC, 0x02, 0x01, 0x02, 0x03, 0x02}, 0},
    {"PageEraseOne", {ACK, ACK}, [](Stm32Bootload& b) { return b.erase_flash(1, pageList + 2); },
     {0x43, 0xBC, 0x00, 0x03, 0x03}, 0},
    {"PageEraseNone", {}, [](Stm32Bootload& b) { return b.erase_flash(0, pageList); }, {}, 0},
    {"ExtendedErase", {ACK, ACK}, massErase, {0x44, 0xBB, 0xFF, 0xFF, 0x00}, 0},
    {"Go", {ACK, ACK}, [](Stm32Bootload& b) { return b.go_command(0x08000000); },
     {0x21, 0xDE, 0x08, 0x00, 0x00, 0x00, 0x08}, 0},
    {"WriteChunk", {ACK, ACK, ACK}, writeDeadBeef,
     {0x31, 0xCE, 0x08, 0x00, 0x00, 0x00, 0x08, 0x03, 0xDE, 0xAD, 0xBE, 0xEF,
      0x03 ^ 0xDE ^ 0xAD ^ 0xBE ^ 0xEF}, 0},
    {"ReadMemory", {ACK, ACK, ACK, 0xDE, 0xFF, 0x00, 0xEF}, readDeFf00Ef,
     {0x11, 0xEE, 0x08, 0x00, 0x00, 0x10, 0x18, 0x03, 0xFC}, 0},
    {"SendCommand", {}, [](Stm32Bootload& b) { return b.send_command(0x5A); }, {0x5A, 0xA5}, 0},
    {"SendAddress", {}, [](Stm32Bootload& b) { return b.send_address(0x0800FF01); },
     {0x08, 0x00, 0xFF, 0x01, 0x08 ^ 0xFF ^ 0x01}, 0},
    {"PacketSeeded", {}, packetSeeded, {0x0F, 0xF0, 0x11 ^ 0xFF}, 0},
    // Failures: the first wrong or missing byte ends the command; nothing more is sent.
    {"GetNack", {NACK}, getVersionOnly, {0x00, 0xFF}, 2},
    {"GetFinalAckMissing", {ACK, 0, 0x31}, getVersionOnly, {0x00, 0xFF}, 2},
    {"GetIdWrongLength", {ACK, 2}, [](Stm32Bootload& b) { return b.get_chip_id(nullptr); },
     {0x02, 0xFD}, 2},
    {"UnprotectSecondAckMissing", {ACK}, [](Stm32Bootload& b) { return b.write_unprotect(); },
     {0x73, 0x8C}, 2},
    {"EraseRefused", {ACK, NACK}, eraseGlobal, {0x43, 0xBC, 0xFF, 0x00}, 2},
    {"EraseCommandRefused", {NACK}, eraseGlobal, {0x43, 0xBC}, 2},
    {"ExtendedEraseRefused", {NACK}, massErase, {0x44, 0xBB}, 2},
    {"WriteAddressRefused", {ACK, NACK}, writeDeadBeef,
     {0x31, 0xCE, 0x08, 0x00, 0x00, 0x00, 0x08}, 2},
    {"GoAddressRefused", {ACK, 0x00}, [](Stm32Bootload& b) { return b.go_command(0); },
     {0x21, 0xDE, 0, 0, 0, 0, 0}, 2},
    {"ReadCountRefused", {ACK, ACK, NACK}, readTwo, {0x11, 0xEE, 0, 0, 0, 0, 0, 0x01, 0xFE}, 2},
    {"ReadDataCutShort", {ACK, ACK, ACK, 0x01}, readTwo,
     {0x11, 0xEE, 0, 0, 0, 0, 0, 0x01, 0xFE}, 2},
    {"ReadNothing", {}, [](Stm32Bootload& b) { return b.read_memory(0, nullptr, 0); }, {}, 0},
    {"WriteNullData", {}, [](Stm32Bootload& b) { return b.write_flash(0, nullptr, 16); }, {}, 2},
    {"ReadNullBuffer", {}, [](Stm32Bootload& b) { return b.read_memory(0, nullptr, 16); }, {}, 2},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Commands, WireTest, testing::ValuesIn(kWireCases),
                         [](const testing::TestParamInfo<WireCase>& i) {
                             return std::string(i.param.name);
                         });

// 0xFF where a length or data byte of Get / Get ID is due counts as a missing byte.
struct MissingCase {
    const char* name;
    Bytes reply;
    bool chipId;
};

class MissingByteTest : public testing::TestWithParam<MissingCase> {};

TEST_P(MissingByteTest, ReturnsTwo) {
    Rig r;
    r.s->feed(GetParam().reply);
    Bytes reply = GetParam().reply;
    unsigned char ma = 0xAA, mi = 0xAA;
    unsigned short pid = 0xAAAA;
    std::vector<unsigned char> cmds{9};
    if (GetParam().chipId) {
        EXPECT_EQ(r.bl.get_chip_id(&pid), 2);
        EXPECT_EQ(pid, 0xAAAA);
    } else {
        EXPECT_EQ(r.bl.get_version(&ma, &mi), 2);
        EXPECT_EQ(ma, 0xAA);
        r.s->input.assign(reply.begin(), reply.end());
        EXPECT_EQ(r.bl.get_commands(cmds), 2);
        EXPECT_TRUE(cmds.empty());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Replies, MissingByteTest,
    testing::Values(MissingCase{"GetLength", {ACK, 0xFF}, false},
                    MissingCase{"GetVersion", {ACK, 1, 0xFF, 0x00, ACK}, false},
                    MissingCase{"GetCommandCode", {ACK, 2, 0x31, 0xFF, 0x11, ACK}, false},
                    MissingCase{"GetTruncated", {ACK, 3, 0x31, 0x00}, false},
                    MissingCase{"IdLength", {ACK, 0xFF}, true},
                    MissingCase{"IdHigh", {ACK, 1, 0xFF, 0x10, ACK}, true},
                    MissingCase{"IdLow", {ACK, 1, 0x04, 0xFF, ACK}, true}),
    [](const testing::TestParamInfo<MissingCase>& i) { return std::string(i.param.name); });

TEST(Stm32Bootload, GetCommandsKeepsTheList) {
    Rig r;
    r.s->feed({ACK, 3, 0x31, 0x00, 0x11, 0x44, ACK});
    std::vector<unsigned char> cmds;
    unsigned char version = 0;
    EXPECT_EQ(r.bl.get_commands(cmds, &version), 0);
    EXPECT_EQ(version, 0x31);
    EXPECT_THAT(cmds, ElementsAre(0x00, 0x11, 0x44));
    EXPECT_THAT(r.s->written, ElementsAre(0x00, 0xFF));
}

TEST(Stm32Bootload, GetVersionTrace) {
    Rig r;
    r.s->feed({ACK, 0, 0x22, ACK});
    testing::internal::CaptureStdout();
    unsigned char ma, mi;
    EXPECT_EQ(r.bl.get_version(&ma, &mi), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "get_version[0x22]\n");
}

TEST(Stm32Bootload, WriteOf300BytesIsTwoChunks) {
    Rig r;
    r.s->feed({ACK, ACK, ACK, ACK, ACK, ACK});
    const Bytes img = ramp(300);
    EXPECT_EQ(r.bl.write_flash(0x08000000, img.data(), 300), 0);
    const Bytes first(img.begin(), img.begin() + 256), second(img.begin() + 256, img.end());
    EXPECT_THAT(r.s->written, ElementsAreArray(cat({writeChunkBytes(0x08000000, first),
                                                    writeChunkBytes(0x08000100, second)})));
    EXPECT_EQ(r.s->written[7], 0xFF);
    EXPECT_EQ(r.s->written[7 + 1 + 256 + 1 + 7], 0x2B);
    ASSERT_EQ(r.bl.seen.size(), 2u);
    EXPECT_DOUBLE_EQ(r.bl.seen[0], 0.0);
    EXPECT_NEAR(r.bl.seen[1], 85.33, 0.01);
}

TEST(Stm32Bootload, WriteOfNothingSendsNothing) {
    Rig r;
    const unsigned char d[1] = {0};
    EXPECT_EQ(r.bl.write_flash(0x08000000, d, 0), 0);
    EXPECT_TRUE(r.s->written.empty());
    EXPECT_TRUE(r.bl.seen.empty());
    EXPECT_EQ(r.s->readyCalls, 0);
}

TEST(Stm32Bootload, StoppedWriteReturnsFour) {
    Rig r;
    r.bl.stopAfter = 1;
    r.s->feed({ACK, ACK, ACK, ACK, ACK, ACK});
    const Bytes img = ramp(600);
    EXPECT_EQ(r.bl.write_flash(0x08000000, img.data(), 600), 4);
    EXPECT_EQ(r.s->written.size(), writeChunkBytes(0, Bytes(256)).size());
    EXPECT_EQ(r.bl.seen.size(), 1u);
}

TEST(Stm32Bootload, StopAfterTheLastChunkIsStillComplete) {
    Rig r;
    r.bl.stopAfter = 1;
    r.s->feed({ACK, ACK, ACK});
    const Bytes img = ramp(256);
    EXPECT_EQ(r.bl.write_flash(0x08000000, img.data(), 256), 0);
}

TEST(Stm32Bootload, ReadMemoryInChunksOf256) {
    Rig r;
    const Bytes img = ramp(300);
    r.s->feed({ACK, ACK, ACK});
    r.s->feed(Bytes(img.begin(), img.begin() + 256));
    r.s->feed({ACK, ACK, ACK});
    r.s->feed(Bytes(img.begin() + 256, img.end()));
    Bytes back(300);
    EXPECT_EQ(r.bl.read_memory(0x08000000, back.data(), 300), 0);
    EXPECT_EQ(back, img);
    EXPECT_THAT(r.s->written, ElementsAre(0x11, 0xEE, 0x08, 0, 0, 0, 0x08, 0xFF, 0x00, 0x11, 0xEE,
                                          0x08, 0, 0x01, 0, 0x09, 0x2B, 0xD4));
}

TEST(Stm32Bootload, EveryCommandBeforeInitReturnsFive) {
    Stm32Bootload bl;
    unsigned char ma, mi, buf[4] = {};
    unsigned short pid;
    std::vector<unsigned char> cmds{1};
    EXPECT_EQ(bl.connect_to_bl(), 5);
    EXPECT_EQ(bl.get_version(&ma, &mi), 5);
    EXPECT_EQ(bl.get_commands(cmds), 5);
    EXPECT_TRUE(cmds.empty());
    EXPECT_EQ(bl.get_chip_id(&pid), 5);
    EXPECT_EQ(bl.write_unprotect(), 5);
    EXPECT_EQ(bl.erase_flash(0xFF, nullptr), 5);
    EXPECT_EQ(bl.erase_flash(2, buf), 5);
    EXPECT_EQ(bl.extended_erase_flash(0, nullptr), 5);
    EXPECT_EQ(bl.write_flash(0, buf, 4), 5);
    EXPECT_EQ(bl.write_flash(0, buf, 0), 5);
    EXPECT_EQ(bl.read_memory(0, buf, 4), 5);
    EXPECT_EQ(bl.go_command(0), 5);
    EXPECT_EQ(bl.send_command(0x00), 5);
    EXPECT_EQ(bl.send_address(0), 5);
    EXPECT_EQ(bl.read_byte(), 0xFF);
}

TEST(Stm32Bootload, ExtendedEraseRestoresTheReplyTimeout) {
    for (bool acked : {true, false}) {
        Rig r;
        r.s->feed({ACK});
        if (acked) r.s->feed({ACK});
        EXPECT_EQ(r.bl.extended_erase_flash(0, nullptr), acked ? 0 : 2);
        r.s->feed({ACK, ACK});
        EXPECT_EQ(r.bl.go_command(0), 0);
        EXPECT_THAT(r.s->readyTimeouts, ElementsAre(2000u, 10000u, 2000u, 2000u)) << acked;
    }
}

TEST(Stm32Bootload, FixedWaits) {
    Rig r;
    r.answerSync(ACK);
    r.s->feed({ACK, ACK});
    EXPECT_EQ(r.bl.write_unprotect(), 0);
    EXPECT_THAT(r.s->written, ElementsAre(0x73, 0x8C, 0x7F));
    r.s->feed({ACK, ACK});
    EXPECT_EQ(r.bl.erase_flash(0xFF, nullptr), 0);
    EXPECT_THAT(g_sleeps, ElementsAre(200u, 500u));
}

TEST(Stm32Bootload, UnprotectResyncFailureIsThree) {
    Rig r;
    r.s->feed({ACK, ACK});
    EXPECT_EQ(r.bl.write_unprotect(), 3);
}

struct SyncCase {
    int reply; // -1: silence
    int result;
    const char* trace;
};

TEST(Stm32Bootload, Synchronisation) {
    const SyncCase cases[] = {{ACK, 0, "res: 0x79\n"},
                              {NACK, 0, "res: 0x1f\n"},
                              {0x00, 3, "res: 0x00\n"},
                              {-1, 3, "readyForRead: 0\nres: 0xff\n"}};
    for (const SyncCase& c : cases) {
        Rig r;
        r.s->feed({0x55, 0xAA}); // stale input is discarded first
        if (c.reply >= 0) r.answerSync(uint8_t(c.reply));
        testing::internal::CaptureStdout();
        EXPECT_EQ(r.bl.connect_to_bl(), c.result);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.trace);
        EXPECT_THAT(r.s->written, ElementsAre(0x7F));
        EXPECT_EQ(r.s->readyTimeouts.front(), 2000u);
    }
}

TEST(Stm32Bootload, MissingAckTraces) {
    Rig r;
    testing::internal::CaptureStdout();
    EXPECT_EQ(r.bl.go_command(0x08000000), 2);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "readyForRead: 0\nexpected 0x79, received 0xff\n");
    r.s->feed({NACK});
    testing::internal::CaptureStdout();
    EXPECT_EQ(r.bl.go_command(0x08000000), 2);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "expected 0x79, received 0x1f\n");
}

// A peer that reports input but delivers none (a hung-up line) must end every command at once.
class HungUpStream : public ScriptedStream {
public:
    int readyForRead(unsigned) override { return 1; }
};

TEST(Stm32Bootload, HungUpPeerEndsPromptly) {
    auto* s = new HungUpStream;
    Stm32Bootload bl(s);
    bl.set_sleeper(recordSleep);
    const Bytes img = ramp(1024);
    Bytes back(1024);
    unsigned short pid;
    EXPECT_EQ(bl.read_byte(), 0xFF);
    EXPECT_EQ(bl.write_flash(0, img.data(), 1024), 2);
    EXPECT_EQ(bl.read_memory(0, back.data(), 1024), 2);
    EXPECT_EQ(bl.get_chip_id(&pid), 2);
    EXPECT_EQ(bl.erase_flash(0xFF, nullptr), 2);
}

TEST(Stm32Bootload, InitOnAMissingPortIsOne) {
    Stm32Bootload bl;
    EXPECT_EQ(bl.init("/nonexistent/kivo-port"), 1);
    EXPECT_EQ(bl.init(nullptr), 1);
}

} // namespace
