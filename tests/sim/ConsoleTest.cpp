#include "tests/sim/SimLine.h"

namespace {

// Console lines in, the answer, violations, the lines seen, the slot selected and debug mode.
struct ConsoleCase {
    std::string in;
    Bytes out;
    uint64_t violations;
    std::vector<std::string> lines;
    int slot;
    bool debug, echo = false;
};

TEST(SimConsole, Commands) {
    const std::string longLine(5000, 'x');
    // clang-format off
    const ConsoleCase cases[] = {
        {"\r\n\r\nDBG 1\r\n\r\nfpw 7c 07\r\n\r\ncnd 12\r\n\r\n\r\nDBG 0\r\n", kCnd12, 0,
         {"DBG 1", "fpw 7c 07", "cnd 12", "DBG 0"}, 7, false},
        {"DBG 1\rfpw 7c 02\nDBG 1\r", {}, 0, {"DBG 1", "fpw 7c 02", "DBG 1"}, 2, true},
        {"DBG 1\r\ncnd 12\r\n", {}, 1, {"DBG 1", "cnd 12"}, -1, true},
        {"DBG 1\r\nfpw 7c 10\r\n", {}, 1, {"DBG 1", "fpw 7c 10"}, -1, true},
        {"fpw 7c 01\r\ncnd 12\r\n", kCnd12, 2, {"fpw 7c 01", "cnd 12"}, 1, false},
        {"DBG 1\r\n", text("DBG 1\r\n"), 0, {"DBG 1"}, -1, true, true},
        {"DBG " + std::string(kRead62.begin(), kRead62.end()) + "1\r\n", kZero62, 0, {"DBG 1"},
         -1, true},
        {"DBG 1\r\nfpw 7c 3\r\nDBG  0\r\n", {}, 2, {"DBG 1", "fpw 7c 3", "DBG  0"}, -1, true},
        {longLine + "\r\nDBG 1\r\n", {}, 1, {longLine.substr(0, 256), "DBG 1"}, -1, true},
    };
    // clang-format on
    for (const ConsoleCase& c : cases) {
        SCOPED_TRACE(c.in.substr(0, 60));
        KivoSim::Options o;
        o.echo = c.echo;
        o.timings.slotEraseMs = 150;
        SimLine f(o);
        ASSERT_TRUE(f.started);
        const bool erase = c.out == kCnd12; // answered only after the erase delay
        f.play({{text(c.in), erase ? Bytes() : c.out, erase ? 50 : 0}});
        if (erase) f.play({{{}, kCnd12}});
        ASSERT_TRUE(f.settle());
        EXPECT_EQ(f.drain(30), Bytes());
        EXPECT_EQ(f.sim.counters().violations, c.violations);
        simguard::expectViolations(c.violations);
        EXPECT_EQ(f.sim.counters().slotErases, erase ? 1u : 0u);
        EXPECT_EQ(f.sim.consoleLines(), c.lines);
        EXPECT_EQ(f.sim.selectedSlot(), c.slot);
        EXPECT_EQ(f.sim.debugMode(), c.debug);
    }
}

} // namespace
