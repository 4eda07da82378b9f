#include "tests/sim/SimLine.h"

namespace {

struct ConsoleCase {
    Bytes in, out;
    uint64_t violations;
    std::vector<std::string> lines;
    int slot;
    bool debug, echo;
};

TEST(SimConsole, Commands) {
    const std::string longLine(5000, 'x');
    const ConsoleCase cases[] = {
        {text("\r\n\r\nDBG 1\r\n\r\nfpw 7c 07\r\n\r\ncnd 12\r\n\r\n\r\nDBG 0\r\n"),
         kCnd12,
         0,
         {"DBG 1", "fpw 7c 07", "cnd 12", "DBG 0"},
         7,
         false,
         false},
        {text("DBG 1\rfpw 7c 02\nDBG 1\r"), {}, 0, {"DBG 1", "fpw 7c 02", "DBG 1"}, 2, true, false},
        {text("cnd 12\r\n"), {}, 2, {"cnd 12"}, -1, false, false},
        {text("DBG 1\r\ncnd 12\r\n"), {}, 1, {"DBG 1", "cnd 12"}, -1, true, false},
        {text("DBG 1\r\nfpw 7c 10\r\n"), {}, 1, {"DBG 1", "fpw 7c 10"}, -1, true, false},
        {text("fpw 7c 01\r\ncnd 12\r\n"), kCnd12, 2, {"fpw 7c 01", "cnd 12"}, 1, false, false},
        {text("DBG 1\r\n"), text("DBG 1\r\n"), 0, {"DBG 1"}, -1, true, true},
        {cat({text("DBG "), kRead62, text("1\r\n")}), kZero62, 0, {"DBG 1"}, -1, true, false},
        {text("DBG 1\r\nfpw 7c 3\r\nDBG  0\r\n"),
         {},
         2,
         {"DBG 1", "fpw 7c 3", "DBG  0"},
         -1,
         true,
         false},
        {text(longLine + "\r\nDBG 1\r\n"),
         {},
         1,
         {longLine.substr(0, 256), "DBG 1"},
         -1,
         true,
         false},
    };
    for (const ConsoleCase& c : cases) {
        SCOPED_TRACE(std::string(c.in.begin(), c.in.begin() + std::min<size_t>(c.in.size(), 60)));
        KivoSim::Options o;
        o.echo = c.echo;
        o.timings.slotEraseMs = 150;
        SimLine f(o);
        ASSERT_TRUE(f.started);
        const bool erase = c.out == kCnd12; // answered only after the erase delay
        f.play({{c.in, erase ? Bytes() : c.out, erase ? 50 : 0}});
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
