// The bootloader client on a pseudo-terminal against the simulated generator: the two ends agree
// on every command. The bytes of each command are the scripted tables' business.
#include "bootloader/Stm32Bootload.h"
#include "sim/KivoSim.h"
#include "tests/support/SimGuard.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

using Bytes = std::vector<uint8_t>;

namespace {
const uint32_t kBase = 0x08000000;

struct SimLoader : Stm32Bootload {
    KivoSim sim;
    std::vector<double> seen;
    explicit SimLoader(KivoSim::Options o) : sim((o.bootloader = true, o)) {}
    bool progress(double percent) override { return seen.push_back(percent), true; }
    bool erased(size_t from, size_t to) const {
        const Bytes f = sim.flash();
        return std::all_of(f.begin() + long(from), f.begin() + long(to),
                           [](uint8_t b) { return b == 0xFF; });
    }
};
} // namespace

TEST(Stm32BootloadSim, EveryCommandAgainstTheSimulator) {
    KivoSim::Options o;
    o.relaxed = KivoSim::EraseVersion; // both erase commands on one bootloader
    o.timings.massEraseMs = 0;         // the 8 s of a version 3 chip are not under test
    SimLoader l(o);
    l.set_sleeper([](unsigned) {}); // the fixed pauses after an erase are the scripted tests'
    ASSERT_TRUE(l.sim.start());
    ASSERT_EQ(l.init(l.sim.slavePath().c_str()), 0);
    unsigned short pid = 0;
    unsigned char major = 0, minor = 0;
    EXPECT_EQ(l.get_chip_id(&pid) + l.get_version(&major, &minor), 0);
    EXPECT_EQ(pid, 0x414);
    EXPECT_EQ(major * 16 + minor, 0x22);
    ASSERT_EQ(l.erase_flash(0xFF, nullptr), 0);
    // Inside a word at both ends, a short last chunk: padded with 0xFF, so strict flash takes it.
    Bytes img(8 * 1024 + 101);
    for (size_t i = 0; i < img.size(); ++i) img[i] = uint8_t((i * 31) ^ (i >> 8));
    ASSERT_EQ(l.write_flash(kBase + 2, img.data(), unsigned(img.size())), 0);
    EXPECT_EQ(l.seen.size(), 33u);
    EXPECT_EQ(l.sim.counters().bootChunks, 33u);
    Bytes back(img.size() + 3);
    ASSERT_EQ(l.read_memory(kBase, back.data(), unsigned(back.size())), 0);
    EXPECT_TRUE(std::equal(img.begin(), img.end(), back.begin() + 2));
    EXPECT_EQ(Bytes({back[0], back[1], back.back()}), Bytes(3, 0xFF));
    unsigned char pages[2] = {1, 2};
    ASSERT_EQ(l.erase_flash(2, pages), 0);
    const Bytes flash = l.sim.flash();
    EXPECT_TRUE(std::equal(img.begin(), img.begin() + 2046, flash.begin() + 2));
    EXPECT_TRUE(l.erased(2048, 3 * 2048));
    EXPECT_TRUE(std::equal(img.begin() + 3 * 2048 - 2, img.end(), flash.begin() + 3 * 2048));
    ASSERT_EQ(l.extended_erase_flash(0, nullptr), 0);
    EXPECT_TRUE(l.erased(0, flash.size()));
    EXPECT_EQ(l.go_command(kBase), 0);
    for (int i = 0; i < 200 && l.sim.inBootloader(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_FALSE(l.sim.inBootloader());
}
