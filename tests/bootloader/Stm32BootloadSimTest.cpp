// The bootloader client on a pseudo-terminal against the simulated generator.
#include "bootloader/Stm32Bootload.h"
#include "serial/SerialIo.h"
#include "sim/KivoSim.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using testing::Contains;
using testing::HasSubstr;
using testing::Not;
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

namespace {

const uint32_t kBase = 0x08000000;

class Recorder : public Stm32Bootload {
public:
    std::vector<double> seen;
    bool progress(double percent) override {
        seen.push_back(percent);
        return true;
    }
};

Bytes image(size_t n) {
    Bytes d(n);
    for (size_t i = 0; i < n; ++i) d[i] = static_cast<uint8_t>((i * 31) ^ (i >> 8));
    return d;
}

KivoSim::Options bootOptions() {
    KivoSim::Options o;
    o.bootloader = true;
    return o;
}

struct SimRig {
    KivoSim sim;
    Recorder bl;
    explicit SimRig(const KivoSim::Options& o) : sim(o) {}
    ::testing::AssertionResult connect() {
        if (!sim.start()) return ::testing::AssertionFailure() << "no pty";
        int res = bl.init(sim.slavePath().c_str());
        if (res != 0) return ::testing::AssertionFailure() << "init returned " << res;
        return ::testing::AssertionSuccess();
    }
};

double secondsSince(Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
}

bool waitFor(const std::function<bool()>& pred, int ms) {
    const auto end = Clock::now() + std::chrono::milliseconds(ms);
    while (!pred()) {
        if (Clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

// A previous host left half a command behind: the bootloader answers the sync byte with NACK.
TEST(Stm32BootloadSim, NackToSyncStillCountsAsListening) {
    KivoSim sim(bootOptions());
    ASSERT_TRUE(sim.start());
    std::unique_ptr<SerialIo> other(SerialIo::PlatformSIo());
    ASSERT_TRUE(other->initialize(sim.slavePath().c_str(), SerialIo::Baud115200, 8,
                                  SerialIo::ParityEven, 1));
    other->writeByte(0x7F);
    ASSERT_EQ(other->readyForRead(2000), 1);
    unsigned char ack = 0;
    ASSERT_EQ(other->read(&ack, 1), 1);
    ASSERT_EQ(ack, 0x79);
    other->writeByte(0x12); // a command byte without its complement
    ASSERT_TRUE(waitFor([&] { return sim.counters().bytesIn >= 2; }, 2000));
    other.reset(); // the port is opened exclusively

    Stm32Bootload bl;
    testing::internal::CaptureStdout();
    EXPECT_EQ(bl.init(sim.slavePath().c_str()), 0);
    EXPECT_THAT(testing::internal::GetCapturedStdout(), HasSubstr("res: 0x1f\n"));
}

// The generator never entered its bootloader: nobody answers the sync byte.
TEST(Stm32BootloadSim, NoAnswerToSyncIsThree) {
    KivoSim sim; // generator mode
    ASSERT_TRUE(sim.start());
    Stm32Bootload bl;
    testing::internal::CaptureStdout();
    EXPECT_EQ(bl.init(sim.slavePath().c_str()), 3);
    EXPECT_THAT(testing::internal::GetCapturedStdout(), HasSubstr("readyForRead: 0\nres: 0xff\n"));
    EXPECT_FALSE(sim.inBootloader());
}

TEST(Stm32BootloadSim, EraseWriteReadBackAndGo) {
    SimRig r(bootOptions());
    ASSERT_TRUE(r.connect());
    unsigned short pid = 0;
    EXPECT_EQ(r.bl.get_chip_id(&pid), 0);
    EXPECT_EQ(pid, 0x414);
    unsigned char major = 0, minor = 0;
    EXPECT_EQ(r.bl.get_version(&major, &minor), 0);
    EXPECT_EQ(major, 2);
    EXPECT_EQ(minor, 2);

    ASSERT_EQ(r.bl.erase_flash(0xFF, nullptr), 0);
    const Bytes flash = r.sim.flash();
    EXPECT_TRUE(std::all_of(flash.begin(), flash.end(), [](uint8_t b) { return b == 0xFF; }));

    const Bytes img = image(200 * 1024);
    ASSERT_EQ(r.bl.write_flash(kBase, img.data(), unsigned(img.size())), 0);
    ASSERT_EQ(r.bl.seen.size(), 800u);
    EXPECT_DOUBLE_EQ(r.bl.seen.front(), 0.0);
    EXPECT_TRUE(std::is_sorted(r.bl.seen.begin(), r.bl.seen.end()));
    EXPECT_LT(r.bl.seen.back(), 100.0);
    EXPECT_EQ(r.sim.counters().bootChunks, 800u);

    Bytes back(img.size());
    ASSERT_EQ(r.bl.read_memory(kBase, back.data(), unsigned(back.size())), 0);
    EXPECT_TRUE(back == img);
    const Bytes after = r.sim.flash();
    EXPECT_TRUE(std::equal(img.begin(), img.end(), after.begin()));

    EXPECT_EQ(r.bl.go_command(kBase), 0);
    EXPECT_TRUE(waitFor([&] { return !r.sim.inBootloader(); }, 2000));
}

// Only Extended Erase offered: the command list says so, Erase is refused, mass erase works;
// Write Unprotect resets the bootloader and the client synchronises again.
TEST(Stm32BootloadSim, ExtendedEraseUnprotectAndPageErase) {
    KivoSim::Options o = bootOptions();
    o.offerErase = false;
    SimRig r(o);
    ASSERT_TRUE(r.connect());
    std::vector<unsigned char> cmds;
    ASSERT_EQ(r.bl.get_commands(cmds), 0);
    EXPECT_THAT(cmds, Contains(0x44));
    EXPECT_THAT(cmds, Contains(0x11));
    EXPECT_THAT(cmds, Not(Contains(0x43)));
    EXPECT_EQ(r.bl.erase_flash(0xFF, nullptr), 2);

    const Bytes img = image(3 * 2048);
    ASSERT_EQ(r.bl.extended_erase_flash(0, nullptr), 0);
    ASSERT_EQ(r.bl.write_flash(kBase, img.data(), unsigned(img.size())), 0);
    EXPECT_EQ(r.bl.write_unprotect(), 0);
    ASSERT_EQ(r.bl.extended_erase_flash(0, nullptr), 0);
    const Bytes flash = r.sim.flash();
    EXPECT_TRUE(std::all_of(flash.begin(), flash.end(), [](uint8_t b) { return b == 0xFF; }));
}

// The page-list form: n pages listed, count byte n - 1 on the line.
TEST(Stm32BootloadSim, PageEraseClearsExactlyTheListedPages) {
    SimRig r(bootOptions());
    ASSERT_TRUE(r.connect());
    const Bytes img = image(4 * 2048);
    ASSERT_EQ(r.bl.erase_flash(0xFF, nullptr), 0);
    ASSERT_EQ(r.bl.write_flash(kBase, img.data(), unsigned(img.size())), 0);
    unsigned char pages[2] = {1, 2};
    ASSERT_EQ(r.bl.erase_flash(2, pages), 0);
    const Bytes flash = r.sim.flash();
    for (size_t i = 0; i < img.size(); ++i) {
        const bool erased = i >= 2048 && i < 3 * 2048;
        ASSERT_EQ(flash[i], erased ? 0xFF : img[i]) << "at " << i;
    }
}

struct ChunkFault {
    const char* name;
    unsigned nackChunk;
    unsigned silenceAfter;
    const char* trace;
};

class ChunkFaultTest : public testing::TestWithParam<ChunkFault> {};

TEST_P(ChunkFaultTest, WriteEndsWithTwo) {
    KivoSim::Options o = bootOptions();
    o.faults.nackBootWrite = GetParam().nackChunk;
    o.faults.silenceAfterChunks = GetParam().silenceAfter;
    SimRig r(o);
    ASSERT_TRUE(r.connect());
    const Bytes img = image(10 * 256);
    testing::internal::CaptureStdout();
    const auto t0 = Clock::now();
    EXPECT_EQ(r.bl.write_flash(kBase, img.data(), unsigned(img.size())), 2);
    const double took = secondsSince(t0);
    EXPECT_THAT(testing::internal::GetCapturedStdout(), HasSubstr(GetParam().trace));
    EXPECT_LE(r.bl.seen.size(), 3u);
    EXPECT_LE(r.sim.counters().bootChunks, 3u);
    EXPECT_LT(took, 6.0) << "one reply time-out at most";
}

INSTANTIATE_TEST_SUITE_P(
    Faults, ChunkFaultTest,
    testing::Values(ChunkFault{"NackThird", 3, 0, "expected 0x79, received 0x1f\n"},
                    ChunkFault{"SilentAfterTwo", 0, 2,
                               "readyForRead: 0\n"
                               "expected 0x79, received 0xff\n"}),
    [](const testing::TestParamInfo<ChunkFault>& i) { return std::string(i.param.name); });

} // namespace
