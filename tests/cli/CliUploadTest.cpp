// pattern and firmware through the kivo binary: what kivo prints and answers around the jobs,
// whose own rules are tested with the jobs. The runs of a case go at once, so that the
// generators' fixed pauses (console silences, the bootloader's settling) overlap.
#include "RunKivo.h"

#include "sim/KivoSim.h"
#include "tests/support/QuickSim.h"
#include "tests/support/Ser2net.h"
#include "tests/support/TestPty.h"

#include <gtest/gtest.h>

#include <QImage>

#include <csignal>
#include <future>
#include <thread>

using kivotest::contains;
using kivotest::RunResult;

namespace {

constexpr int kOk = 0, kFailed = 1, kStopped = 130;
constexpr uint32_t kFlashBase = 0x08000000;

// The summary table's line of a port: the port, padded, then its result.
std::string summaryLine(const std::string& port, const std::string& result) {
    std::string line = port;
    line.resize(std::max<size_t>(line.size() + 1, 17), ' ');
    return "\n" + line + result + " ";
}

KivoSim::Options quick(void (*set)(KivoSim::Options&)) {
    KivoSim::Options o = quickSim();
    set(o);
    return o;
}

kivotest::RunOptions stopAfter(const char* text, int signal) {
    kivotest::RunOptions o;
    o.signal = signal;
    o.signalAfter = text;
    return o;
}

struct Run {
    std::vector<std::string> args;
    kivotest::RunOptions options;
    int status;
    std::vector<std::string> expect; // each within stdout or stderr
};

// Every run at once; checks each one's status and texts, answers the results.
std::vector<RunResult> runAll(const std::vector<Run>& runs) {
    std::vector<std::future<RunResult>> started;
    for (const Run& run : runs)
        started.push_back(std::async(std::launch::async, kivotest::runKivo, run.args, run.options));
    std::vector<RunResult> results;
    for (size_t i = 0; i < runs.size(); ++i) {
        results.push_back(started[i].get());
        const RunResult& r = results.back();
        EXPECT_EQ(r.status, runs[i].status) << runs[i].args[0] << r.out << r.err;
        for (const std::string& text : runs[i].expect)
            EXPECT_TRUE(contains(r.out + r.err, text)) << text << r.out << r.err;
    }
    return results;
}

class UploadTest : public ::testing::Test {
protected:
    void SetUp() override {
        hex = kivotest::put(dir, "fw.hex",
                            kivotest::hexText(kFlashBase, std::vector<uint8_t>(1000, 0x5A)));
        QImage img(21, 10, QImage::Format_RGB32); // rows of 64 bytes: three pages
        img.fill(Qt::darkCyan);
        picture = dir.file("pic.png");
        ASSERT_TRUE(img.save(QString::fromStdString(picture)));
    }
    TempDir dir;
    std::string hex, picture;
};

// Two ports at once, one direct, one behind a device server that stops after the bitmap and a
// preview page; a stop by the user during the erase, on one port and on two; a generator left
// in its bootloader.
TEST_F(UploadTest, PatternRuns) {
    const auto longErase = [](KivoSim::Options& o) { o.timings.slotEraseMs = 60000; };
    KivoSim a(quickSim()), c(quick([](KivoSim::Options&o) { o.timings.pageProgramUs = 20000; }));
    KivoSim e1(quick(longErase)), e2(quick(longErase)), e3(quick(longErase));
    KivoSim boot(quick([](KivoSim::Options& o) { o.bootloader = true; }));
    for (KivoSim* s : {&a, &c, &e1, &e2, &e3, &boot}) ASSERT_TRUE(s->start());
    Ser2net server;
    const std::string pa = a.slavePath(), pc = server.add(c.slavePath(), "9600n81"),
                      pb = boot.slavePath();
    ASSERT_TRUE(server.start());
    std::thread stopper([&] {
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (c.counters().pagesWritten < 4 && std::chrono::steady_clock::now() < limit)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        server.stop();
    });
    std::vector<std::string> both = {summaryLine(pa, "ok"), summaryLine(pc, "FAILED"),
                                     "kivo: " + pc + ": Error loading LCD Preview\n",
                                     pc + ": connection closed by the server\n",
                                     pa + ": KIVO Pattern has been installed.\n"};
    const std::vector<RunResult> r = runAll({
        {{"pattern", pa + "," + pc, "3", picture}, {}, kFailed, both},
        {{"pattern", e1.slavePath(), "4", picture},
         stopAfter("Erasing Flash", SIGINT),
         kStopped,
         {"kivo: stopped: slot 4 holds a partial pattern: install it again\n",
          "Pattern 4 on " + e1.slavePath() + ": stopped (erase) after "}},
        {{"pattern", e2.slavePath() + "," + e3.slavePath(), "2", picture},
         stopAfter("Erasing Flash", SIGTERM),
         kStopped,
         {summaryLine(e2.slavePath(), "STOPPED"), summaryLine(e3.slavePath(), "STOPPED")}},
        {{"pattern", pb, "1", picture},
         {},
         kFailed,
         {"KIVO is in bootloader mode on " + pb + ". 'kivo firmware " + pb +
          " FILE.hex' recovers it."}},
    });
    stopper.join();
    // Without --verbose no trace of the lower layers: no frame, dump or console echo.
    for (const char* trace : {"writing image data", "rx ", "DBG", "cnd 12"})
        EXPECT_FALSE(contains(r[0].out + r[0].err, trace)) << trace;
}

// A verified install on a terminal; side by side a verification that finds a wrong byte and a
// silent port, with the traces (--verbose) prefixed by their port; a stop while writing; a
// ping of a list with a silent port.
TEST_F(UploadTest, FirmwareRuns) {
    KivoSim good(quickSim()), bad(quick([](KivoSim::Options&o) {
        o.faults.corruptFlash = true;
        o.faults.corruptFlashAddress = kFlashBase + 0x123;
    }));
    KivoSim writing(quick([](KivoSim::Options& o) { o.baud = 115200; }));
    TestPty silent, quiet;
    ASSERT_TRUE(good.start() && bad.start() && writing.start() && silent.ok() && quiet.ok());
    std::vector<uint8_t> big(64 * 1024, 0x5A); // seconds at line speed
    const std::string bigHex = kivotest::put(dir, "big.hex", kivotest::hexText(kFlashBase, big));
    const std::string s = bad.slavePath(), q = silent.slavePath;
    kivotest::RunOptions terminal;
    terminal.terminal = true;
    const std::vector<RunResult> r = runAll({
        {{"firmware", good.slavePath(), hex, "--verify"}, terminal, kOk, {"\r\033[K["}},
        {{"firmware", s + "," + q, hex, "--verify", "--verbose"},
         {},
         kFailed,
         {s + ": readHexFile", s + ": Writing the flash: 50% (500 of 1000 bytes)\n",
          "kivo: " + s + ": Flash differs from fw.hex at 0x08000123",
          "kivo: " + s +
              ": KIVO may be left in bootloader mode: run the firmware update again "
              "to recover it.\n",
          "kivo: " + q + ": Couldn't verify KIVO\nkivo: " + q + ": Kivo not found on " + q,
          summaryLine(s, "FAILED"), "(verify flash)\n", summaryLine(q, "FAILED"), "(ping)\n"}},
        {{"firmware", writing.slavePath(), bigHex},
         stopAfter("Writing the flash", SIGTERM),
         kStopped,
         {"kivo: stopped: the generator is in its bootloader: run kivo firmware again"}},
        {{"ping", "sim," + quiet.slavePath}, {}, kFailed, {}},
    });
    // On a terminal a bar per stage, the write's finished at 100% before the verification.
    size_t at = 0;
    for (const char* stage :
         {"Entering the bootloader", "Erasing the flash", "Writing the flash",
          "] 100%  1000 of 1000 bytes", "Verifying fw.hex", "Starting the new firmware",
          "fw.hex Loaded Successfully", "Firmware installed on "}) {
        at = r[0].out.find(stage, at);
        ASSERT_NE(at, std::string::npos) << stage << r[0].out;
    }
    EXPECT_FALSE(contains(r[0].out, ": 50% (")) << "no progress lines on a terminal";
    EXPECT_EQ(r[3].out, "Kivo found on sim\n");
    EXPECT_EQ(r[3].err, "kivo: Kivo not found on " + quiet.slavePath + "\n");
}

} // namespace
