#include "tests/sim/SimLine.h"

namespace {

using F = KivoSim::Faults;
KivoSim::Options faults(void (*set)(F&), unsigned relaxed = 0) {
    KivoSim::Options o;
    set(o.faults);
    o.relaxed = relaxed;
    return o;
}

const Bytes k11(4, 0x11);
const Check inBootloader = [](const KivoSim& s) { EXPECT_TRUE(s.inBootloader()); };

// Faults the job tables fail on (a refused write, erase or Go, a bad reply checksum, corrupt
// flash, an ignored ISP) are shown there; these are the rest.
// clang-format off
TEST(SimFaults, Table) {
    runCases({
        Case{"no reply to the 2nd frame", faults([](F& f) { f.noReplyToFrame = 2; }),
             {{kRead62, kZero62}, {kRead62, {}, 300}, {kRead62, kZero62}}},
        Case{"late 1st reply", faults([](F& f) { f.lateReply = 1, f.lateReplyMs = 400; }),
             {{kRead62, {}, 150}, {{}, kZero62}, {kRead62, kZero62}}},
        Case{"cut 1st reply", faults([](F& f) { f.cutReply = 1, f.cutReplyBytes = 5; }),
             {{kRead62, Bytes(kZero62.begin(), kZero62.begin() + 5)}, {{}, {}, 100}, {kRead62, kZero62}}},
        Case{"silence after 2 frames", faults([](F& f) { f.silenceAfterFrames = 2; }),
             {{kRead62, kZero62}, {kRead62, kZero62}, {kRead62, {}, 200}, {eraseSlot(1), {}, 100}}},
        Case{"erase never confirmed", faults([](F& f) { f.eraseNeverConfirmed = true; }),
             {{eraseSlot(1), {}, 200}}, 0, [](const KivoSim& s) { EXPECT_EQ(s.counters().slotErases, 1u); }},
    });
    runCases({
        Case{"silence after 1 chunk", faults([](F& f) { f.silenceAfterChunks = 1; }),
             join(bootWrite(kBase, k11), {{cmd(0x31), {}, 200}})},
        Case{"NACK of erase and Go (both erases on one bootloader)",
             faults([](F& f) { f.nackErase = f.nackGo = true; }, KivoSim::EraseVersion),
             {{cmd(0x43), {ACK}}, {{0xFF, 0x00}, {NACK}}, {cmd(0x44), {ACK}}, {{0xFF, 0xFF, 0x00}, {NACK}},
              {cmd(0x21), {ACK}}, {address(kBase), {NACK}}}, 0, inBootloader},
    }, true);
}
// clang-format on

} // namespace
