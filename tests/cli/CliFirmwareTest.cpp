// firmware through the kivo binary, checked in the simulators' flash.
#include "RunKivo.h"

#include "sim/KivoSim.h"

#include <gtest/gtest.h>

#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

using kivotest::runKivo;
using kivotest::RunResult;
using kivotest::TempDir;

namespace {

constexpr int kOk = 0, kFailed = 1;
constexpr uint32_t kFlashBase = 0x08000000;

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// The summary table's line of a port: the port, padded, then its result.
std::string summaryLine(const std::string& port, const std::string& result) {
    std::string line = port;
    line.resize(std::max<size_t>(line.size() + 1, 17), ' ');
    return "\n" + line + result + " ";
}

std::vector<unsigned char> firmwareBytes(size_t n) {
    std::vector<unsigned char> data(n);
    for (size_t i = 0; i < n; ++i) data[i] = static_cast<unsigned char>((i * 31 + 7) & 0xFF);
    return data;
}

std::vector<uint8_t> flashStart(const KivoSim& sim, size_t n) {
    std::vector<uint8_t> f = sim.flash();
    f.resize(std::min(n, f.size()));
    return f;
}

// Runs kivo with both output streams on a terminal; answers what the terminal showed.
std::string runOnTerminal(const std::vector<std::string>& args) {
    int master = -1;
    pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    if (pid == 0) {
        std::vector<char*> argv = {const_cast<char*>(KIVO_BIN)};
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(KIVO_BIN, argv.data());
        _exit(127);
    }
    std::string seen;
    char buf[4096];
    ssize_t n;
    while ((n = read(master, buf, sizeof buf)) > 0) // EIO once the child has gone
        seen.append(buf, size_t(n));
    close(master);
    waitpid(pid, nullptr, 0);
    return seen;
}

class FirmwareTest : public ::testing::Test {
protected:
    void SetUp() override {
        image = firmwareBytes(1000);
        hex = dir.write("fw.hex", kivotest::hexText(kFlashBase, image));
    }
    KivoSim::Options options() const { return KivoSim::Options(); }
    TempDir dir;
    std::vector<unsigned char> image;
    std::string hex;
};

TEST_F(FirmwareTest, FullRunWritesTheFlashAndStartsIt) {
    KivoSim sim;
    ASSERT_TRUE(sim.start());
    RunResult r = runKivo({"firmware", sim.slavePath(), hex});
    ASSERT_EQ(r.status, kOk) << r.err;
    EXPECT_EQ(flashStart(sim, image.size()), std::vector<uint8_t>(image.begin(), image.end()));
    EXPECT_EQ(sim.counters().bootChunks, 4u);
    EXPECT_FALSE(sim.inBootloader()); // Go has started the new firmware
    // Not a terminal: a line per tenth with the bytes done, and the wizard's closing text.
    EXPECT_TRUE(contains(r.err, "Loading fw.hex\n")) << r.err;
    EXPECT_TRUE(contains(r.err, "Loading fw.hex: 50% (500 of 1000 bytes)\n")) << r.err;
    EXPECT_TRUE(contains(r.err, "Loading fw.hex: 100% (1000 of 1000 bytes)\n")) << r.err;
    EXPECT_TRUE(contains(r.err, "fw.hex Loaded Successfully\n")) << r.err;
    EXPECT_TRUE(contains(r.out, "readHexFile")) << "the lower layers' traces go to stdout";
}

TEST_F(FirmwareTest, ProgressBarOnATerminal) {
    KivoSim sim;
    ASSERT_TRUE(sim.start());
    std::string shown = runOnTerminal({"firmware", sim.slavePath(), hex});
    EXPECT_TRUE(contains(shown, "\r\033[K[")) << shown;
    EXPECT_TRUE(contains(shown, "] 100%  1000 of 1000 bytes")) << shown;
    EXPECT_TRUE(contains(shown, " kB/s  0:00 left")) << shown;
    EXPECT_FALSE(contains(shown, "Loading fw.hex: 50%")) << "no progress lines on a terminal";
    EXPECT_TRUE(contains(shown, "fw.hex Loaded Successfully")) << shown;
}

TEST_F(FirmwareTest, QuietRunPrintsNothing) {
    KivoSim sim;
    ASSERT_TRUE(sim.start());
    RunResult r = runKivo({"firmware", sim.slavePath(), hex, "--quiet"});
    EXPECT_EQ(r.status, kOk);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
}

TEST_F(FirmwareTest, VerifyNamesTheCorruptedAddress) {
    KivoSim::Options o;
    o.faults.corruptFlash = true;
    o.faults.corruptFlashAddress = kFlashBase + 0x123;
    KivoSim sim(o);
    ASSERT_TRUE(sim.start());
    RunResult r = runKivo({"firmware", sim.slavePath(), hex, "--verify"});
    EXPECT_EQ(r.status, kFailed);
    EXPECT_TRUE(contains(r.err, "Flash differs from fw.hex at 0x08000123")) << r.err;
    EXPECT_TRUE(sim.inBootloader()) << "no Go after a failed verification";
}

TEST_F(FirmwareTest, ExtendedEraseWhenPlainEraseIsMissing) {
    KivoSim::Options o;
    o.offerErase = false;
    KivoSim sim(o);
    ASSERT_TRUE(sim.start());
    RunResult r = runKivo({"firmware", sim.slavePath(), hex, "--verify"});
    ASSERT_EQ(r.status, kOk) << r.err;
    EXPECT_EQ(flashStart(sim, image.size()), std::vector<uint8_t>(image.begin(), image.end()));
}

TEST_F(FirmwareTest, SilentGeneratorIsNotVerified) {
    int master = -1, slave = -1;
    char name[128];
    ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
    close(slave);
    RunResult r = runKivo({"firmware", name, hex});
    close(master);
    EXPECT_EQ(r.status, kFailed);
    EXPECT_TRUE(contains(r.err, std::string("Couldn't verify KIVO\nKivo not found on ") + name))
        << r.err;
}

TEST_F(FirmwareTest, TwoGeneratorsAtOnce) {
    KivoSim a, b;
    ASSERT_TRUE(a.start());
    ASSERT_TRUE(b.start());
    RunResult r = runKivo({"firmware", a.slavePath() + "," + b.slavePath(), hex});
    ASSERT_EQ(r.status, kOk) << r.err;
    for (KivoSim* s : {&a, &b}) {
        EXPECT_EQ(flashStart(*s, image.size()), std::vector<uint8_t>(image.begin(), image.end()));
        // every trace and progress line of a worker carries its port
        EXPECT_TRUE(contains(r.out, s->slavePath() + ": readHexFile")) << r.out;
        EXPECT_TRUE(contains(r.err, s->slavePath() + ": fw.hex Loaded Successfully")) << r.err;
        EXPECT_TRUE(contains(r.out, summaryLine(s->slavePath(), "ok"))) << r.out;
    }
    EXPECT_TRUE(contains(r.out, "PORT             RESULT      TIME  MESSAGE\n")) << r.out;
}

TEST_F(FirmwareTest, OneOfTwoFails) {
    KivoSim::Options stuck;
    stuck.faults.ignoreIsp = true; // stays in its own firmware: the bootloader never answers
    KivoSim good, bad(stuck);
    ASSERT_TRUE(good.start());
    ASSERT_TRUE(bad.start());
    RunResult r = runKivo({"firmware", good.slavePath() + "," + bad.slavePath(), hex});
    EXPECT_EQ(r.status, kFailed);
    EXPECT_EQ(flashStart(good, image.size()), std::vector<uint8_t>(image.begin(), image.end()));
    EXPECT_TRUE(contains(r.err, bad.slavePath() + ": Couldn't Initialize bootloader")) << r.err;
    EXPECT_TRUE(contains(r.out, summaryLine(good.slavePath(), "ok"))) << r.out;
    EXPECT_TRUE(contains(r.out, summaryLine(bad.slavePath(), "FAILED"))) << r.out;
}

} // namespace
