// Wire-level tests of the bootloader client against an in-memory stream.
#include "bootloader/Stm32Bootload.h"
#include "bootloader/BootloaderProbe.h"
#include "tests/support/ScriptedStream.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <numeric>
#include <tuple>

using testing::ElementsAre;
using Bytes = std::vector<uint8_t>;
using Op = std::function<int(Stm32Bootload&)>;

namespace {
const uint8_t ACK = 0x79, NACK = 0x1F;
std::vector<unsigned> sleeps;

// A loader on a scripted stream that records the progress reports and the fixed waits.
struct Loader : Stm32Bootload {
    ScriptedStream* s;
    std::vector<double> seen;
    size_t stopAfter = SIZE_MAX; // progress() answers false from this call on
    explicit Loader(ScriptedStream* st = new ScriptedStream) : Stm32Bootload(st), s(st) {
        sleeps.clear();
        set_sleeper([](unsigned ms) { sleeps.push_back(ms); });
    }
    bool progress(double percent) override {
        seen.push_back(percent);
        return seen.size() < stopAfter;
    }
    void answerSync(uint8_t reply) {
        s->onWrite = [reply](ScriptedStream& st, const unsigned char* b, unsigned n) {
            if (n == 1 && b[0] == 0x7F) st.feed({reply});
        };
    }
};

Bytes ramp(size_t n) {
    Bytes d(n);
    for (size_t i = 0; i < n; ++i) d[i] = uint8_t(i * 7 + 3);
    return d;
}

// Operations of the table. Outputs start as 0xAA.., so that a row can tell what was stored.
#define OP(expr) [](Stm32Bootload& b) { return expr; }
unsigned char pages[3] = {0x01, 0x02, 0x03}, buf[4], ma, mi;
const unsigned char beef[4] = {0xDE, 0xAD, 0xBE, 0xEF};
std::vector<unsigned char> cmds;
unsigned short pid;
Op storing(Op op, bool (*stored)()) {
    return [op, stored](Stm32Bootload& b) {
        cmds.assign(1, 9), pid = 0xAAAA, ma = mi = 0xAA;
        int r = op(b);
        return stored() ? r : -1;
    };
}
const Op version = OP(b.get_version(&ma, &mi)), chipId = OP(b.get_chip_id(&pid));
const Op commands = storing(OP(b.get_commands(cmds)), [] { return cmds.empty(); });
const Op erase = OP(b.erase_flash(0xFF, nullptr)), massErase = OP(b.extended_erase_flash(0, 0));
const Op writeFour = OP(b.write_flash(0x08000000, beef, 4)), readTwo = OP(b.read_memory(0, buf, 2));

struct WireCase {
    const char* name;
    Bytes reply;
    Op op;
    Bytes sent;
    int result;
    size_t unread = 0;      // reply bytes left after a failure
    int sync = -1;          // the answer to a sync byte, -1: none
    const char* trace = ""; // what the loader printed, when given
};

// clang-format off
const WireCase kWire[] = {
    {"Get", {ACK, 2, 0x31, 0x00, 0x43, ACK}, storing(version, [] { return ma == 3 && mi == 1; }),
     {0x00, 0xFF}, 0, 0, -1, "get_version[0x31]\n"},
    {"GetCommands", {ACK, 3, 0x31, 0x00, 0x11, 0x44, ACK}, storing(OP(b.get_commands(cmds, &ma)),
         [] { return ma == 0x31 && cmds == std::vector<unsigned char>{0x00, 0x11, 0x44}; }),
     {0x00, 0xFF}, 0},
    {"GetId", {ACK, 1, 0x04, 0x10, ACK}, storing(chipId, [] { return pid == 0x0410; }),
     {0x02, 0xFD}, 0},
    {"GlobalEraseBy0xFF", {ACK, ACK}, OP(b.erase_flash(0xFF, pages)), {0x43, 0xBC, 0xFF, 0x00}, 0},
    {"GlobalEraseByNull", {ACK, ACK}, OP(b.erase_flash(3, nullptr)), {0x43, 0xBC, 0xFF, 0x00}, 0},
    // n pages: count byte n - 1, the pages, then the XOR of count and pages.
    {"PageErase", {ACK, ACK}, OP(b.erase_flash(3, pages)), {0x43, 0xBC, 0x02, 1, 2, 3, 0x02}, 0},
    {"PageEraseNone", {}, OP(b.erase_flash(0, pages)), {}, 0},
    {"ExtendedErase", {ACK, ACK}, massErase, {0x44, 0xBB, 0xFF, 0xFF, 0x00}, 0},
    {"Go", {ACK, ACK}, OP(b.go_command(0x08000000)), {0x21, 0xDE, 0x08, 0, 0, 0, 0x08}, 0},
    {"Write", {ACK, ACK, ACK}, writeFour,
     {0x31, 0xCE, 0x08, 0, 0, 0, 0x08, 0x03, 0xDE, 0xAD, 0xBE, 0xEF, 0x03 ^ 0xDE ^ 0xAD ^ 0xBE ^ 0xEF}, 0},
    // Whole words only: 0xFF after the last byte and before an unaligned base.
    {"WriteOddLength", {ACK, ACK, ACK}, OP(b.write_flash(0x08000000, beef, 3)),
     {0x31, 0xCE, 0x08, 0, 0, 0, 0x08, 0x03, 0xDE, 0xAD, 0xBE, 0xFF, 0x03 ^ 0xDE ^ 0xAD ^ 0xBE ^ 0xFF}, 0},
    {"WriteUnalignedBase", {ACK, ACK, ACK}, OP(b.write_flash(0x08000006, beef, 2)),
     {0x31, 0xCE, 0x08, 0, 0, 4, 0x0C, 0x03, 0xFF, 0xFF, 0xDE, 0xAD, 0x03 ^ 0xDE ^ 0xAD}, 0},
    {"Read", {ACK, ACK, ACK, 0xDE, 0xFF, 0x00, 0xEF}, storing(OP(b.read_memory(0x08000010, buf, 4)),
         [] { return Bytes(buf, buf + 4) == Bytes{0xDE, 0xFF, 0x00, 0xEF}; }), // 0xFF is data here
     {0x11, 0xEE, 0x08, 0x00, 0x00, 0x10, 0x18, 0x03, 0xFC}, 0},
    {"UnprotectNoResync", {ACK, ACK}, OP(b.write_unprotect()), {0x73, 0x8C, 0x7F}, 3},
    // Stale input is discarded before the sync byte; a NACK means a host left half a command.
    {"SyncAck", {0x55, 0xAA}, OP(b.connect_to_bl()), {0x7F}, 0, 0, ACK, "res: 0x79\n"},
    {"SyncNack", {0x55, 0xAA}, OP(b.connect_to_bl()), {0x7F}, 0, 0, NACK, "res: 0x1f\n"},
    {"SyncSilence", {0x55}, OP(b.connect_to_bl()), {0x7F}, 3, 0, -1, "readyForRead: 0\nres: 0xff\n"},
    // Failures: the first wrong or missing byte ends the command; nothing more is sent.
    {"GetNack", {NACK}, version, {0x00, 0xFF}, 2},
    {"GetFinalAckMissing", {ACK, 0, 0x31}, version, {0x00, 0xFF}, 2},
    {"UnprotectSecondAckMissing", {ACK}, OP(b.write_unprotect()), {0x73, 0x8C}, 2},
    {"EraseRefused", {ACK, NACK}, erase, {0x43, 0xBC, 0xFF, 0x00}, 2},
    {"EraseCommandRefused", {NACK}, erase, {0x43, 0xBC}, 2},
    {"ExtendedEraseRefused", {NACK}, massErase, {0x44, 0xBB}, 2},
    {"WriteAddressRefused", {ACK, NACK}, writeFour, {0x31, 0xCE, 0x08, 0, 0, 0, 0x08}, 2},
    {"GoAddressRefused", {ACK, 0x00}, OP(b.go_command(0)), {0x21, 0xDE, 0, 0, 0, 0, 0}, 2, 0, -1,
     "expected 0x79, received 0x00\n"},
    {"GoSilence", {}, OP(b.go_command(0)), {0x21, 0xDE}, 2, 0, -1,
     "readyForRead: 0\nexpected 0x79, received 0xff\n"},
    {"ReadCountRefused", {ACK, ACK, NACK}, readTwo, {0x11, 0xEE, 0, 0, 0, 0, 0, 0x01, 0xFE}, 2},
    {"ReadCutShort", {ACK, ACK, ACK, 0x01}, readTwo, {0x11, 0xEE, 0, 0, 0, 0, 0, 0x01, 0xFE}, 2},
    {"WriteNullData", {}, OP(b.write_flash(0, nullptr, 16)), {}, 2},
    {"ReadNullBuffer", {}, OP(b.read_memory(0, nullptr, 16)), {}, 2},
    // 0xFF where a length, version, code or id byte of Get / Get ID is due means missing.
    {"GetLength", {ACK, 0xFF}, commands, {0x00, 0xFF}, 2},
    {"GetVersion", {ACK, 1, 0xFF, 0x00, ACK}, storing(version, [] { return ma == 0xAA; }),
     {0x00, 0xFF}, 2, 2},
    {"GetCode", {ACK, 2, 0x31, 0xFF, 0x11, ACK}, commands, {0x00, 0xFF}, 2, 2},
    {"IdLength", {ACK, 2, 0x04, 0x10, ACK}, chipId, {0x02, 0xFD}, 2, 3, -1,
     "expected 0x01, received 0x02\n"},
    {"IdHigh", {ACK, 1, 0xFF, 0x10, ACK}, chipId, {0x02, 0xFD}, 2, 2},
    {"IdLow", {ACK, 1, 0x04, 0xFF, ACK}, storing(chipId, [] { return pid == 0xAAAA; }),
     {0x02, 0xFD}, 2, 1},
};
// clang-format on

class Wire : public testing::TestWithParam<WireCase> {};

TEST_P(Wire, SendsExactBytes) {
    const WireCase& c = GetParam();
    Loader l;
    l.s->feed(c.reply);
    if (c.sync >= 0) l.answerSync(uint8_t(c.sync));
    testing::internal::CaptureStdout();
    int res = c.op(l);
    const std::string trace = testing::internal::GetCapturedStdout();
    EXPECT_EQ(res, c.result) << trace;
    EXPECT_EQ(l.s->written, c.sent);
    EXPECT_EQ(l.s->input.size(), c.unread);
    EXPECT_EQ(*c.trace ? trace : "", c.trace);
}

INSTANTIATE_TEST_SUITE_P(Commands, Wire, testing::ValuesIn(kWire),
                         [](const testing::TestParamInfo<WireCase>& i) { return i.param.name; });
} // namespace

TEST(Stm32Bootload, WriteOf300BytesIsTwoChunks) {
    Loader l;
    l.s->feed(Bytes(6, ACK));
    const Bytes img = ramp(300);
    EXPECT_EQ(l.write_flash(0x08000000, img.data(), 300), 0);
    const Bytes& w = l.s->written; // per chunk: 8 header bytes (count last), data, XOR
    ASSERT_EQ(w.size(), 8 + 256 + 1 + 8 + 44 + 1u);
    EXPECT_EQ(Bytes(w.begin(), w.begin() + 8), (Bytes{0x31, 0xCE, 0x08, 0, 0, 0, 0x08, 0xFF}));
    EXPECT_EQ(Bytes(w.begin() + 265, w.begin() + 273), (Bytes{0x31, 0xCE, 8, 0, 1, 0, 9, 0x2B}));
    // The first chunk is the single write's case; the second starts inside the image.
    EXPECT_TRUE(std::equal(img.begin() + 256, img.end(), w.begin() + 273));
    EXPECT_EQ(w.back(), std::accumulate(img.begin() + 256, img.end(), uint8_t(0x2B),
                                        std::bit_xor<uint8_t>()));
    EXPECT_THAT(l.seen, ElementsAre(0.0, testing::DoubleNear(85.33, 0.01)));
}

// A stop asked for by progress, or a refused chunk, ends the write after that chunk.
TEST(Stm32Bootload, StoppedOrRefusedWriteEndsAfterTheChunk) {
    // Length, progress calls answered true, the replies, the result, the chunks sent.
    const std::tuple<unsigned, size_t, Bytes, int, size_t> rows[] = {
        {600, 1, Bytes(9, ACK), 4, 1},
        {256, 1, Bytes(3, ACK), 0, 1},
        {600, SIZE_MAX, {ACK, ACK, ACK, ACK, ACK, NACK}, 2, 2}};
    for (const auto& [len, stopAfter, reply, result, chunks] : rows) {
        Loader l;
        l.stopAfter = stopAfter;
        l.s->feed(reply);
        EXPECT_EQ(l.write_flash(0x08000000, ramp(len).data(), len), result);
        EXPECT_EQ(l.s->written.size(), chunks * (8 + 256 + 1u)) << len;
        EXPECT_EQ(l.seen.size(), 1u);
    }
}

TEST(Stm32Bootload, EveryCommandBeforeInitReturnsFive) {
    Stm32Bootload b;
    // clang-format off
    const int results[] = {b.connect_to_bl(), version(b), commands(b), chipId(b),
        b.write_unprotect(), erase(b), b.erase_flash(2, pages), massErase(b), writeFour(b),
        b.write_flash(0, buf, 0), readTwo(b), b.go_command(0), b.send_command(0), b.send_address(0)};
    // clang-format on
    for (int r : results) EXPECT_EQ(r, 5);
    EXPECT_EQ(b.read_byte(), 0xFF);
    EXPECT_EQ(b.init("/nonexistent/kivo-port"), 1);
    EXPECT_EQ(b.init(nullptr), 1);
}

TEST(Stm32Bootload, TimeOutsAndFixedWaits) {
    for (bool acked : {true, false}) { // the mass erase's long wait ends with the command
        Loader l;
        l.s->feed(acked ? Bytes{ACK, ACK} : Bytes{ACK});
        EXPECT_EQ(massErase(l), acked ? 0 : 2);
        l.s->feed({ACK, ACK});
        EXPECT_EQ(l.go_command(0), 0);
        EXPECT_THAT(l.s->readyTimeouts, ElementsAre(2000u, 10000u, 2000u, 2000u)) << acked;
    }
    Loader l;
    l.answerSync(ACK);
    l.s->feed({ACK, ACK});
    EXPECT_EQ(l.write_unprotect(), 0);
    EXPECT_THAT(l.s->readyTimeouts, testing::Each(2000u)) << "replies, quiet line, sync";
    l.s->feed({ACK, ACK});
    EXPECT_EQ(erase(l), 0);
    EXPECT_THAT(sleeps, ElementsAre(200u, 500u));
}

// A peer that reports input but delivers none (a hung-up line) must end every command at once.
TEST(Stm32Bootload, HungUpPeerEndsEveryCommand) {
    struct HungUp : ScriptedStream {
        int readyForRead(unsigned) override { return 1; }
    };
    Loader l(new HungUp);
    Bytes img = ramp(1024);
    EXPECT_EQ(l.write_flash(0, img.data(), 1024), 2);
    l.s->feed({ACK, ACK, ACK});
    EXPECT_EQ(l.read_memory(0, img.data(), 4), 2) << "data bytes that never come";
}

// The probe sends 0x7F, and a second one only when the first drew neither ACK nor NACK: a
// bootloader synchronised earlier takes the first as a command byte. Stale input does not count.
TEST(BootloaderProbe, SendsOnlyTheSyncBytes) {
    const int none = -1;
    const struct {
        const char* what;
        Bytes stale;
        int first, second; // the answer to each 0x7F
        Bytes sent;
        bool found;
    } rows[] = {{"fresh", {}, ACK, none, {0x7F}, true},
                {"synchronised", {}, none, NACK, {0x7F, 0x7F}, true},
                {"NACK at once", {}, NACK, none, {0x7F}, true},
                {"ACK to the second", {}, 0x00, ACK, {0x7F, 0x7F}, true},
                {"silent", {}, none, none, {0x7F, 0x7F}, false},
                {"generator frame", {}, 0xAB, 0xAB, {0x7F, 0x7F}, false},
                {"stale ACK, then silence", {ACK, NACK}, none, none, {0x7F, 0x7F}, false}};
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        ScriptedStream s;
        s.feed(r.stale);
        std::vector<int> answers = {r.first, r.second};
        s.onWrite = [&answers](ScriptedStream& st, const unsigned char*, unsigned) {
            const int a = answers.front();
            answers.erase(answers.begin());
            if (a >= 0) st.feed({uint8_t(a)});
        };
        EXPECT_EQ(probeBootloader(s), r.found);
        EXPECT_EQ(s.written, r.sent);
        EXPECT_EQ(s.readyTimeouts.back(), kProbeReplyMs);
    }
}

// A pseudo-terminal drops the parity bit: the bootloader line's settings are checked here.
TEST(BootloaderProbe, OpensTheLineAt115200EvenParity) {
    struct Opened : ScriptedStream {
        std::vector<std::tuple<std::string, Baudrate, unsigned, Parity, unsigned>> opens;
        bool initialize(const char* dev, Baudrate baud, unsigned bits, Parity parity,
                        unsigned stop) override {
            opens.emplace_back(dev, baud, bits, parity, stop);
            return true;
        }
    } line;
    EXPECT_TRUE(openBootloaderLine(line, "/dev/ttyUSB0"));
    EXPECT_FALSE(openBootloaderLine(line, "") || openBootloaderLine(line, nullptr));
    EXPECT_THAT(line.opens, ElementsAre(std::make_tuple("/dev/ttyUSB0", SerialIo::Baud115200, 8u,
                                                        SerialIo::ParityEven, 1u)));
}
