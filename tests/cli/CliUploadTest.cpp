// pattern and firmware through the kivo binary, checked in the simulators. Each firmware run
// waits for the generator's restart, so every run serves several ports and checks.
#include "RunKivo.h"

#include "bootloader/Stm32Bootload.h"
#include "jobs/Picture.h"
#include "sim/KivoSim.h"
#include "tests/support/QuickSim.h"
#include "tests/support/Ser2net.h"
#include "tests/support/SimGuard.h"
#include "tests/support/TestPty.h"

#include <gtest/gtest.h>

#include <QImage>

#include <csignal>
#include <thread>

using kivotest::contains;
using kivotest::runKivo;
using kivotest::RunResult;

namespace {

constexpr int kOk = 0, kFailed = 1, kUsage = 2, kStopped = 130;
constexpr uint32_t kFlashBase = 0x08000000;

std::vector<uint8_t> firstBytes(std::vector<uint8_t> v, size_t n) {
    v.resize(std::min(n, v.size()));
    return v;
}
std::vector<uint8_t> bytes(const QByteArray& a) {
    return {a.begin(), a.end()};
}

// The summary table's line of a port: the port, padded, then its result.
std::string summaryLine(const std::string& port, const std::string& result) {
    std::string line = port;
    line.resize(std::max<size_t>(line.size() + 1, 17), ' ');
    return "\n" + line + result + " ";
}

class UploadTest : public ::testing::Test {
protected:
    // Half of the image and of the picture is 0xFF, which a Telnet link must escape.
    void SetUp() override {
        for (size_t i = 0; i < image.size(); ++i)
            image[i] = i < image.size() / 2 ? 0xFF : uint8_t((i * 31 + 7) & 0xFF);
        hex = kivotest::put(dir, "fw.hex", kivotest::hexText(kFlashBase, image));
        QImage img(21, 10, QImage::Format_RGB32); // rows of 64 bytes: three pages
        for (int y = 0; y < img.height(); ++y)
            for (int x = 0; x < img.width(); ++x)
                img.setPixel(x, y, x < 10 ? qRgb(255, 255, 255) : qRgb(x * 40, y * 60, x + y));
        picture = dir.file("pic.png");
        ASSERT_TRUE(img.save(QString::fromStdString(picture)));
    }
    TempDir dir;
    std::vector<uint8_t> image = std::vector<uint8_t>(1000);
    std::string hex, picture;
};

KivoSim::Options faulty(void (*set)(KivoSim::Options&)) {
    KivoSim::Options o = quickSim();
    set(o);
    return o;
}

// Direct, in-process and through a device server in both forms.
TEST_F(UploadTest, PatternToSimulatorsDirectAndThroughADeviceServer) {
    KivoSim sim, telnet(quickSim()), raw(quickSim());
    ASSERT_TRUE(sim.start() && telnet.start() && raw.start());
    Ser2net server;
    const std::string viaTelnet = server.add(telnet.slavePath(), true),
                      viaRaw = server.add(raw.slavePath(), false);
    ASSERT_TRUE(server.start());
    RunResult r =
        runKivo({"pattern", sim.slavePath() + ",sim," + viaTelnet + "," + viaRaw, "3", picture});
    ASSERT_EQ(r.status, kOk) << r.err;
    const QImage loaded = loadPicture(QString::fromStdString(picture));
    const std::vector<uint8_t> bitmap = bytes(patternBitmap(loaded));
    for (KivoSim* s : {&sim, &telnet, &raw}) {
        EXPECT_EQ(firstBytes(s->slot(3), bitmap.size()), bitmap);
        EXPECT_EQ(s->preview(39), bytes(lcdPreview(loaded)));
        EXPECT_EQ(s->previewIndexes(), std::vector<int>{39});
        EXPECT_EQ(s->counters().violations, 0u);
    }
    for (const std::string& port : {sim.slavePath(), std::string("sim"), viaTelnet, viaRaw}) {
        for (const char* status :
             {"Erasing Flash\n", "Loading pic.png\n", "pic.png Loaded Successfully\n",
              "Loading LCD Preview.\n", "KIVO Pattern has been installed.\n"})
            EXPECT_TRUE(contains(r.err, port + ": " + status)) << status << r.err;
        EXPECT_TRUE(contains(r.out, summaryLine(port, "ok"))) << r.out;
    }
    // Raw bytes cannot carry the bootloader's even parity: refused before anything is sent.
    const uint64_t before = raw.counters().bytesIn;
    RunResult fw = runKivo({"firmware", viaRaw, hex});
    EXPECT_EQ(fw.status, kUsage);
    EXPECT_TRUE(contains(fw.err, "kivo: no firmware through " + viaRaw + ": ")) << fw.err;
    EXPECT_TRUE(contains(fw.err, "; use the server's rfc2217:// port\n")) << fw.err;
    EXPECT_EQ(raw.counters().bytesIn, before);
    // Without --verbose no trace of the lower layers: no frame, dump or console echo.
    for (const char* trace : {"writing image data", "rx ", "DBG", "cnd 12"})
        EXPECT_FALSE(contains(r.out + r.err, trace)) << trace;
}

// Quiet: nothing but each port's failure. The first falls silent after the ping and one page,
// the second after the ping, the three bitmap pages and the first preview page; the server in
// front of the third stops once its first preview page is written. Through the same server
// started again, the third then takes the picture.
TEST_F(UploadTest, PatternFailuresNameTheirStep) {
    KivoSim bitmapLost(faulty([](KivoSim::Options& o) { o.faults.silenceAfterFrames = 2; }));
    KivoSim previewLost(faulty([](KivoSim::Options& o) { o.faults.silenceAfterFrames = 5; }));
    KivoSim slow(faulty([](KivoSim::Options& o) { o.timings.pageProgramUs = 20000; }));
    ASSERT_TRUE(bitmapLost.start() && previewLost.start() && slow.start());
    Ser2net server;
    const std::string a = bitmapLost.slavePath(), b = previewLost.slavePath(),
                      c = server.add(slow.slavePath(), true);
    ASSERT_TRUE(server.start());
    std::thread stopper([&] {
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (slow.counters().pagesWritten < 4 && std::chrono::steady_clock::now() < limit)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        server.stop();
    });
    RunResult r = runKivo({"pattern", a + "," + b + "," + c, "4", picture, "--quiet"});
    stopper.join();
    EXPECT_EQ(r.status, kFailed);
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(contains(r.err, a + ": Couldn't load pic.png\n")) << r.err;
    EXPECT_TRUE(contains(r.err, b + ": Error loading LCD Preview\n")) << r.err;
    EXPECT_TRUE(contains(r.err, c + ": Error loading LCD Preview\n")) << r.err;
    EXPECT_TRUE(contains(r.err, c + ": connection closed by the server\n")) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 4) << r.err;
    EXPECT_TRUE(bitmapLost.previewIndexes().empty());
    ASSERT_TRUE(server.start());
    r = runKivo({"pattern", c, "4", picture, "--quiet"});
    EXPECT_EQ(r.status, kOk) << r.err;
    EXPECT_EQ(slow.preview(40), bytes(lcdPreview(loadPicture(QString::fromStdString(picture)))));
}

// Two generators behind two ports of a device server that opens their lines at 9600 bit/s: the
// simulators take bytes at another speed than 115200 for noise, so the server must have set the
// speed kivo asked for. The second offers only Extended Erase. Both are verified and started. a keeps the hardware's
// erase and programming times (about 0.07 s for this image); b's mass erase would take 8 s, so
// it is shortened.
TEST_F(UploadTest, FirmwareToTwoGeneratorsThroughADeviceServer) {
    KivoSim a, b(faulty([](KivoSim::Options&o) { o.bootloaderVersion = 0x31; }));
    ASSERT_TRUE(a.start() && b.start());
    Ser2net server;
    const std::string pa = server.add(a.slavePath(), true, "9600n81"),
                      pb = server.add(b.slavePath(), true, "9600n81");
    ASSERT_TRUE(server.start());
    RunResult r = runKivo({"firmware", pa + "," + pb, hex, "--verify"});
    ASSERT_EQ(r.status, kOk) << r.err;
    EXPECT_TRUE(contains(r.out, "PORT             RESULT      TIME  MESSAGE\n")) << r.out;
    for (std::pair<KivoSim*, std::string> sp : {std::make_pair(&a, pa), std::make_pair(&b, pb)}) {
        KivoSim* s = sp.first;
        const std::string p = sp.second + ": ";
        EXPECT_EQ(firstBytes(s->flash(), image.size()), image);
        EXPECT_EQ(s->counters().bootChunks, 4u);
        EXPECT_FALSE(s->inBootloader()); // Go has started the new firmware
        // Not a terminal: a line per tenth with the bytes done, the wizard's closing text, and
        // the lower layers' traces on stdout; every line carries its port.
        EXPECT_TRUE(contains(r.err, p + "Loading fw.hex\n")) << r.err;
        EXPECT_TRUE(contains(r.err, p + "Writing the flash: 50% (500 of 1000 bytes)\n")) << r.err;
        EXPECT_TRUE(contains(r.err, p + "Verifying fw.hex: 100% (1000 of 1000 bytes)\n"));
        EXPECT_TRUE(contains(r.err, p + "fw.hex Loaded Successfully\n")) << r.err;
        EXPECT_TRUE(contains(r.out, summaryLine(sp.second, "ok"))) << r.out;
    }
}

// The server stops in the middle of the write and leaves the generator in its bootloader; through
// the same server started again, the next run recovers it.
TEST_F(UploadTest, FirmwareThroughAStoppedServerIsRecovered) {
    KivoSim sim(faulty([](KivoSim::Options& o) { o.baud = 115200; }));
    ASSERT_TRUE(sim.start());
    Ser2net server;
    const std::string port = server.add(sim.slavePath(), true);
    ASSERT_TRUE(server.start());
    std::vector<uint8_t> big(64 * Stm32Proto::MaxChunk, 0xFF); // long enough to stop it in time
    const std::string bigHex = kivotest::put(dir, "big.hex", kivotest::hexText(kFlashBase, big));
    std::thread stopper([&] {
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (sim.counters().bootChunks < 1 && std::chrono::steady_clock::now() < limit)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        server.stop();
    });
    RunResult r = runKivo({"firmware", port, bigHex});
    stopper.join();
    EXPECT_EQ(r.status, kFailed);
    EXPECT_TRUE(contains(r.err, "kivo: " + port + ": connection closed by the server\n")) << r.err;
    EXPECT_TRUE(contains(r.err, "Couldn't load new firmware\n")) << r.err;
    ASSERT_TRUE(sim.inBootloader());
    ASSERT_TRUE(server.start());
    r = runKivo({"firmware", port, hex, "--quiet"});
    EXPECT_EQ(r.status, kOk) << r.err;
    EXPECT_EQ(firstBytes(sim.flash(), image.size()), image);
    EXPECT_FALSE(sim.inBootloader());
}

// On a terminal: a bar instead of lines; --verify finds the byte the flash got wrong.
TEST_F(UploadTest, FirmwareVerifyOnATerminal) {
    KivoSim sim(faulty([](KivoSim::Options& o) {
        o.faults.corruptFlash = true;
        o.faults.corruptFlashAddress = kFlashBase + 0x123;
    }));
    ASSERT_TRUE(sim.start());
    kivotest::RunOptions terminal;
    terminal.terminal = true;
    RunResult r = runKivo({"firmware", sim.slavePath(), hex, "--verify"}, terminal);
    EXPECT_EQ(r.status, kFailed);
    EXPECT_TRUE(contains(r.out, "\r\033[K[")) << r.out;
    for (const char* stage : {"Entering the bootloader", "Erasing the flash", "Writing the flash"})
        EXPECT_TRUE(contains(r.out, stage)) << stage;
    // The write is done (its bar at 100%), the verification is not, and its failure starts
    // a line of its own.
    const size_t verifying = r.out.find("Verifying fw.hex");
    ASSERT_NE(verifying, std::string::npos) << r.out;
    EXPECT_TRUE(contains(r.out.substr(0, verifying), "] 100%  1000 of 1000 bytes")) << r.out;
    EXPECT_FALSE(contains(r.out.substr(verifying), "100%")) << r.out;
    EXPECT_FALSE(contains(r.out, "Loading fw.hex: 50%")) << "no progress lines on a terminal";
    EXPECT_TRUE(contains(r.out, "\nkivo: Flash differs from fw.hex at 0x08000123")) << r.out;
    EXPECT_TRUE(contains(r.out, "Firmware on " + sim.slavePath() + ": failed (verify"));
    EXPECT_TRUE(sim.inBootloader()) << "no Go after a failed verification";
}

// One good generator, one whose bootloader never answers, one port where nothing answers.
TEST_F(UploadTest, FirmwareFailuresLeaveTheOthersDone) {
    KivoSim good, stuck(faulty([](KivoSim::Options&o) { o.faults.ignoreIsp = true; }));
    TestPty silent;
    ASSERT_TRUE(good.start() && stuck.start() && silent.ok());
    const std::string s = stuck.slavePath(), q = silent.slavePath;
    RunResult r = runKivo({"firmware", good.slavePath() + "," + s + "," + q, hex, "--verbose"});
    EXPECT_EQ(r.status, kFailed);
    EXPECT_EQ(firstBytes(good.flash(), image.size()), image);
    EXPECT_TRUE(contains(r.out, good.slavePath() + ": readHexFile")) << "traces with --verbose";
    EXPECT_TRUE(contains(r.err, "kivo: " + s + ": Couldn't Initialize bootloader\n")) << r.err;
    EXPECT_TRUE(contains(r.err, "kivo: " + s + ": KIVO may be left in bootloader mode: run the "
                                    "firmware update again to recover it.\n"))
        << r.err;
    EXPECT_TRUE(contains(r.err, "kivo: " + q + ": Couldn't verify KIVO\nkivo: " + q +
                                    ": Kivo not found on " + q))
        << r.err;
    EXPECT_TRUE(contains(r.out, summaryLine(good.slavePath(), "ok"))) << r.out;
    EXPECT_TRUE(contains(r.out, summaryLine(s, "FAILED"))) << r.out;
    EXPECT_TRUE(contains(r.out, summaryLine(q, "FAILED"))) << r.out;
}

// Stopped by the user: at the next page or chunk, saying what state each generator is left in.
TEST_F(UploadTest, StoppedRunsSayWhatTheyLeave) {
    const auto longErase = [](KivoSim::Options& o) { o.timings.slotEraseMs = 60000; };
    const auto paced = [](KivoSim::Options& o) { o.baud = 115200; };
    std::vector<uint8_t> big(64 * 1024, 0x5A); // seconds at line speed
    const std::string bigHex = kivotest::put(dir, "big.hex", kivotest::hexText(kFlashBase, big));
    KivoSim erasing(faulty(longErase)), other(faulty(longErase)), writing(faulty(paced));
    ASSERT_TRUE(erasing.start() && other.start() && writing.start());
    const struct {
        std::vector<std::string> args;
        int signal;
        const char* after;
        std::vector<std::string> expect;
    } runs[] = {
        {{"pattern", erasing.slavePath(), "4", picture}, SIGINT, "Erasing Flash",
         {"kivo: stopped: slot 4 holds a partial pattern: install it again\n"}},
        {{"firmware", writing.slavePath(), bigHex}, SIGTERM, "Writing the flash",
         {"kivo: stopped: the generator is in its bootloader: run kivo firmware again"}},
        {{"pattern", erasing.slavePath() + "," + other.slavePath(), "2", picture}, SIGTERM,
         "Erasing Flash",
         {summaryLine(erasing.slavePath(), "STOPPED"), summaryLine(other.slavePath(), "STOPPED")}},
    };
    for (const auto& run : runs) {
        kivotest::RunOptions stop;
        stop.signal = run.signal;
        stop.signalAfter = run.after;
        RunResult r = runKivo(run.args, stop);
        EXPECT_EQ(r.status, kStopped) << r.err;
        for (const std::string& text : run.expect)
            EXPECT_TRUE(contains(r.out + r.err, text)) << text << r.out << r.err;
    }
    EXPECT_TRUE(writing.inBootloader());
    EXPECT_LT(writing.counters().bootChunks, big.size() / 256);
}

// A generator left in its bootloader: the device commands say what brings it back and fail;
// firmware recovers it without ping or bootloader command.
TEST_F(UploadTest, BootloaderLeftOnThePort) {
    KivoSim sim(faulty([](KivoSim::Options& o) { o.bootloader = true; }));
    ASSERT_TRUE(sim.start());
    const std::string port = sim.slavePath();
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"ping", port}, {"pattern", port, "1", picture}}) {
        RunResult r = runKivo(args);
        EXPECT_EQ(r.status, kFailed) << args[0];
        EXPECT_TRUE(contains(r.err, "KIVO is in bootloader mode on " + port + ". 'kivo firmware " +
                                        port + " FILE.hex' recovers it."))
            << r.err;
    }
    RunResult r = runKivo({"firmware", port, hex});
    EXPECT_EQ(r.status, kOk) << r.err;
    EXPECT_TRUE(contains(r.err, "fw.hex Loaded Successfully. KIVO has been recovered.")) << r.err;
    EXPECT_EQ(firstBytes(sim.flash(), image.size()), image);
    EXPECT_FALSE(sim.inBootloader());
    EXPECT_EQ(sim.counters().consoleLines, 0u);
}

} // namespace
