#include "tests/sim/SimLine.h"

namespace {

const Bytes kZeros(4, 0), kId = {ACK, 0x01, 0x04, 0x14, ACK}, kVersion = {ACK, 0x22, 0, 0, ACK};

Check flashAt(std::vector<std::pair<uint32_t, uint8_t>> want) {
    return [=](const KivoSim& s) {
        const Bytes fl = s.flash();
        ASSERT_EQ(fl.size(), 512u * 1024);
        for (auto w : want) EXPECT_EQ(fl[w.first], w.second) << std::hex << w.first;
    };
}

const Check nacked = [](const KivoSim& s) {
    EXPECT_EQ(s.counters().bootNacks, 12u);
    EXPECT_EQ(s.flash()[0], 0xFF);
};

TEST(SimBootloader, Commands) {
    Bytes badWrite = withXor({3, 1, 2, 3, 4});
    badWrite.back() ^= 1;
    KivoSim::Options v3, loose, paced;
    v3.bootloaderVersion = 0x31, v3.timings.massEraseMs = 50; // the wait is not under test
    loose.relaxed = KivoSim::EraseVersion | KivoSim::WordWrites | KivoSim::ErasedFlash;
    paced.baud = 57600;
    runCases(
        {
            Case{"version 2.2: Get, Get Version, Get ID; Extended Erase refused",
                 {},
                 {{cmd(0x00), {ACK, 8, 0x22, 0, 1, 2, 0x11, 0x21, 0x31, 0x43, 0x73, ACK}},
                  {cmd(0x01), kVersion},
                  {cmd(0x02), kId},
                  {cmd(0x44), {NACK}}},
                 1},
            Case{"version 3.1 offers Extended Erase only",
                 v3,
                 {{cmd(0x00), {ACK, 8, 0x31, 0, 1, 2, 0x11, 0x21, 0x31, 0x44, 0x73, ACK}},
                  {cmd(0x43), {NACK}}},
                 1},
            Case{"erase-version off: both erases, part words and overwrites taken", loose,
                 join({{cmd(0x00),
                        {ACK, 9, 0x22, 0, 1, 2, 0x11, 0x21, 0x31, 0x43, 0x44, 0x73, ACK}}},
                      bootWrite(kBase + 1, {1, 2, 3}), bootWrite(kBase, {0})),
                 0, flashAt({{0, 0}, {1, 1}, {3, 3}, {4, 0xFF}})},
            Case{"part words and a differing byte over programmed flash refused",
                 {},
                 join(bootWrite(kBase, {1, 2, 3}, NACK), bootWrite(kBase + 2, kZeros, NACK),
                      join(bootWrite(kBase, {1, 2, 3, 4}), bootWrite(kBase, {1, 2, 3, 4})),
                      bootWrite(kBase, {1, 2, 3, 5}, NACK)),
                 3,
                 flashAt({{0, 1}, {3, 4}, {4, 0xFF}})},
            Case{"global erase",
                 {},
                 join(bootWrite(kBase, kZeros), {{cmd(0x43), {ACK}}, {{0xFF, 0}, {ACK}}}),
                 0,
                 flashAt({{0, 0xFF}})},
            Case{"erase of pages 0 and 2",
                 {},
                 join(bootWrite(kBase, kZeros), bootWrite(kBase + 2048, kZeros),
                      bootWrite(kBase + 4096, kZeros),
                      {{cmd(0x43), {ACK}}, {withXor({1, 0, 2}), {ACK}}}),
                 0,
                 flashAt({{0, 0xFF}, {2048, 0}, {4096, 0xFF}})},
            Case{
                "extended mass erase, then page 3", v3,
                join(bootWrite(kBase, kZeros), {{cmd(0x44), {ACK}}, {{0xFF, 0xFF, 0}, {ACK}}},
                     join(bootWrite(kBase + 2048 * 3, kZeros), bootWrite(kBase + 2048 * 4, kZeros)),
                     {{cmd(0x44), {ACK}}, {withXor({0, 0, 0, 3}), {ACK}}}),
                0, flashAt({{0, 0xFF}, {2048 * 3, 0xFF}, {2048 * 4, 0}})},
            Case{"Write Unprotect wants a new synchronisation",
                 {},
                 {{cmd(0x73), {ACK, ACK}}, {cmd(0x02), {}}, {{0x7F}, {ACK}}, {cmd(0x02), kId}}},
            Case{"0x7F once synchronised is a command byte",
                 {},
                 {{{0x7F}, {}, 100}, {{0x7F}, {NACK}}, {cmd(0x01), kVersion}}},
            Case{"malformed input",
                 loose,
                 {{{0x02, 0x02}, {NACK}},  {cmd(0x92), {NACK}},
                  {cmd(0x11), {ACK}},      {{0x08, 0, 0, 0, 0x09}, {NACK}},
                  {cmd(0x11), {ACK}},      {address(0x20000000), {NACK}},
                  {cmd(0x21), {ACK}},      {address(0x07FFFFFC), {NACK}},
                  {cmd(0x31), {ACK}},      {address(kBase + 512 * 1024), {NACK}},
                  {cmd(0x11), {ACK}},      {address(kBase + 512 * 1024 - 4), {ACK}},
                  {{0x0F, 0xF0}, {NACK}}, // 16 bytes from 4 below the end
                  {cmd(0x43), {ACK}},      {{0xFF, 0x01}, {NACK}},
                  {cmd(0x44), {ACK}},      {withXor({0x00, 0x00, 0x01, 0x2C}), {NACK}},
                  {cmd(0x44), {ACK}},      {{0xFF, 0xF0, 0x0F}, {NACK}},
                  {cmd(0x31), {ACK}},      {address(kBase), {ACK}},
                  {badWrite, {NACK}},      {cmd(0x11), {ACK}},
                  {address(kBase), {ACK}}, {{0x03, 0x03}, {NACK}},
                  {cmd(0x02), kId}},
                 0,
                 nacked},

            Case{"read on a paced line",
                 paced,
                 {{cat({cmd(0x11), address(kBase), {0x0F, 0xF0}}),
                   cat({{ACK, ACK, ACK}, Bytes(16, 0xFF)})}}},
        },
        true);
}

} // namespace
