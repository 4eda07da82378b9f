// The bootloader client on a pseudo-terminal against the simulated generator.
#include "bootloader/Stm32Bootload.h"
#include "sim/KivoSim.h"
#include "tests/support/SimGuard.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>

using Bytes = std::vector<uint8_t>;

namespace {
const uint32_t kBase = 0x08000000;

struct SimLoader : Stm32Bootload {
    KivoSim sim;
    std::vector<double> seen;
    explicit SimLoader(KivoSim::Options o = {}) : sim((o.bootloader = true, o)) {}
    bool progress(double percent) override { return seen.push_back(percent), true; }
    bool connect() { return sim.start() && init(sim.slavePath().c_str()) == 0; }
    int write(const Bytes& img) { return write_flash(kBase, img.data(), unsigned(img.size())); }
    bool erased() const {
        const Bytes f = sim.flash();
        return std::all_of(f.begin(), f.end(), [](uint8_t b) { return b == 0xFF; });
    }
};

Bytes image(size_t n) {
    Bytes d(n);
    for (size_t i = 0; i < n; ++i) d[i] = uint8_t((i * 31) ^ (i >> 8));
    return d;
}
} // namespace

TEST(Stm32BootloadSim, EveryCommandAgainstTheSimulator) {
    KivoSim::Options o;
    o.relaxed = KivoSim::EraseVersion; // both erase commands on one bootloader
    o.timings.massEraseMs = 0;         // the 8 s of a version 3 chip are not under test
    SimLoader l(o);
    ASSERT_TRUE(l.connect());
    unsigned short pid = 0;
    unsigned char major = 0, minor = 0;
    EXPECT_EQ(l.get_chip_id(&pid) + l.get_version(&major, &minor), 0);
    EXPECT_EQ(pid, 0x414);
    EXPECT_EQ(major * 16 + minor, 0x22);
    ASSERT_EQ(l.erase_flash(0xFF, nullptr), 0);
    EXPECT_TRUE(l.erased());
    const Bytes img = image(40 * 1024 + 100); // the last chunk is a short one
    ASSERT_EQ(l.write(img), 0);
    EXPECT_EQ(l.seen.size(), 161u);
    EXPECT_EQ(l.sim.counters().bootChunks, 161u);
    EXPECT_TRUE(std::is_sorted(l.seen.begin(), l.seen.end()) && l.seen.back() < 100.0);
    Bytes back(img.size());
    ASSERT_EQ(l.read_memory(kBase, back.data(), unsigned(back.size())), 0);
    EXPECT_TRUE(back == img);
    unsigned char pages[2] = {1, 2}; // count byte n - 1 on the line
    ASSERT_EQ(l.erase_flash(2, pages), 0);
    const Bytes flash = l.sim.flash();
    for (size_t i = 0; i < img.size(); ++i)
        ASSERT_EQ(flash[i], i >= 2048 && i < 3 * 2048 ? 0xFF : img[i]) << "at " << i;
    EXPECT_EQ(l.write_unprotect(), 0) << "resets the bootloader; the client synchronises again";
    ASSERT_EQ(l.extended_erase_flash(0, nullptr), 0);
    EXPECT_TRUE(l.erased());
    EXPECT_EQ(l.go_command(kBase), 0);
    for (int i = 0; i < 200 && l.sim.inBootloader(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_FALSE(l.sim.inBootloader());
}

// On the hardware's timings and rules: the flash holds the image with 0xFF around it.
TEST(Stm32BootloadSim, ImagesOfAnyLengthAndBaseInWholeWords) {
    SimLoader l;
    ASSERT_TRUE(l.connect());
    l.set_sleeper([](unsigned) {}); // the pause after an erase
    const std::pair<uint32_t, size_t> rows[] = {{kBase, 1},       {kBase, 3},    {kBase, 4},
                                                {kBase, 255},     {kBase, 257},  {kBase, 4098},
                                                {kBase + 2, 300}, {kBase + 1, 1}};
    for (auto r : rows) {
        SCOPED_TRACE(std::to_string(r.first - kBase) + "+" + std::to_string(r.second));
        ASSERT_EQ(l.erase_flash(0xFF, nullptr), 0);
        l.seen.clear();
        const Bytes img = image(r.second);
        EXPECT_EQ(l.write_flash(r.first, img.data(), unsigned(img.size())), 0);
        Bytes want = l.sim.flash();
        std::fill(want.begin(), want.end(), 0xFF);
        std::copy(img.begin(), img.end(), want.begin() + (r.first - kBase));
        EXPECT_TRUE(l.sim.flash() == want);
        EXPECT_EQ(l.seen.size(), (r.first % 4 + r.second + 255) / 256);
        EXPECT_TRUE(l.seen.front() == 0.0 && l.seen.back() < 100.0);
    }
    EXPECT_EQ(l.sim.counters().violations, 0u);
}

TEST(Stm32BootloadSim, NackOrSilenceOnTheNthChunkEndsTheWrite) {
    for (unsigned silent : {0u, 1u}) {
        KivoSim::Options o;
        o.faults.nackBootWrite = silent ? 0 : 3;
        o.faults.silenceAfterChunks = silent ? 2 : 0;
        SimLoader l(o);
        ASSERT_TRUE(l.connect());
        testing::internal::CaptureStdout();
        EXPECT_EQ(l.write(image(10 * 256)), 2);
        EXPECT_THAT(testing::internal::GetCapturedStdout(),
                    testing::HasSubstr(silent ? "readyForRead: 0\nexpected 0x79, received 0xff\n"
                                              : "expected 0x79, received 0x1f\n"));
        EXPECT_EQ(l.seen.size(), 2u);
        EXPECT_EQ(l.sim.counters().bootChunks, 2u);
    }
}
