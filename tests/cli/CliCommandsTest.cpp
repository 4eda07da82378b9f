// The kivo binary as a child process: arguments, help, the file commands and the one-shot
// device commands against a simulated generator; its tables and formats in-process.
#include "RunKivo.h"

#include "cli/Progress.h"
#include "cli/Settings.h"
#include "sim/KivoSim.h"

#include <gtest/gtest.h>

#include <QImage>

#include <fstream>
#include <grp.h>
#include <pwd.h>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

using kivotest::contains;
using kivotest::put;
using kivotest::runKivo;
using kivotest::RunResult;

namespace {

constexpr int kOk = 0, kFailed = 1, kUsage = 2;

std::string readAll(const std::string& path) {
    std::stringstream s;
    s << std::ifstream(path, std::ios::binary).rdbuf();
    return s.str();
}

// Refusals: a reason on stderr, every line of it starting the same way, and not one byte to
// the generator. Usage errors and unusable files exit 2 (unknown ports, 1: cli_ports_tests).
struct BadLine {
    const char* name;
    std::vector<std::string> args; // "@" stands for the simulator's port, "%" for the temp dir
    const char* expect;            // part of the error text
};

class BadArguments : public ::testing::TestWithParam<BadLine> {};

TEST_P(BadArguments, RefusedBeforeAnyTraffic) {
    KivoSim sim;
    TempDir dir;
    ASSERT_TRUE(sim.start());
    put(dir, "pic.png", "not a picture at all");
    put(dir, "short.bin", std::string(1000, '\0'));
    put(dir, "notes.txt", "text");
    put(dir, "bad.hex", ":020000040800F2\n:10000000000102030405060708090A0B0C0D0E0F00\n");
    put(dir, "fw.hex", kivotest::hexText(0x08000000, {1, 2, 3, 4}));
    put(dir, "empty.hex", ":00000001FF\n");
    std::vector<std::string> args;
    for (std::string a : GetParam().args) {
        for (size_t at; (at = a.find('@')) != std::string::npos;) a.replace(at, 1, sim.slavePath());
        for (size_t at; (at = a.find('%')) != std::string::npos;) a.replace(at, 1, dir.file(""));
        args.push_back(a);
    }
    if (!args.empty() && contains(args.back(), "big.png")) {
        QImage big(1921, 1080, QImage::Format_Mono);
        ASSERT_TRUE(big.save(QString::fromStdString(args.back())));
    }
    RunResult r = runKivo(args);
    EXPECT_EQ(r.status, kUsage) << r.err;
    EXPECT_TRUE(contains(r.err, GetParam().expect)) << r.err;
    EXPECT_EQ(r.err.rfind("kivo: ", 0), 0u) << r.err;
    EXPECT_EQ(sim.counters().bytesIn, 0u);
}

const BadLine kBadLines[] = {
    {"NoCommand", {}, "a command is missing"},
    {"UnknownCommand", {"frobnicate"}, "unknown command 'frobnicate'"},
    {"UnknownOption", {"ping", "@", "--fast"}, "unknown option '--fast'"},
    {"MissingPort", {"ping"}, "usage: kivo ping PORT"},
    {"ExtraArgument", {"versions", "@", "more"}, "usage: kivo versions PORT"},
    {"VerifyOutsideFirmware", {"ping", "@", "--verify"}, "not one of 'ping'"},
    {"BinWithoutName", {"hex", "x.hex", "--bin"}, "--bin needs a file name"},
    {"ListForVersions", {"versions", "@,@"}, "only 'ping', 'pattern' and 'firmware'"},
    {"ListWithRepeat", {"ping", "@,@"}, "appears twice"},
    {"ListWithEmptyEntry", {"firmware", "@,", "%fw.hex"}, "an empty port in the list"},
    {"UnknownSetting", {"get", "@", "brightness"}, "unknown setting 'brightness'"},
    {"SwitchBeyondOne", {"set", "@", "hdcp", "2"}, "'2' is not a value of hdcp"},
    {"SlotTen", {"pattern", "@", "10", "%pic.png"}, "SLOT must be a number from 0 to 9"},
    {"PictureMissing", {"pattern", "@", "1", "%gone.png"}, "gone.png: No such file or directory"},
    {"PictureGarbage", {"pattern", "@", "1", "%pic.png", "--fit"}, "Unsupported image format"},
    {"PictureRawShort", {"pattern", "@", "1", "%short.bin"}, "needs 6220800 bytes"},
    {"PictureKind", {"pattern", "@", "1", "%notes.txt"}, "(it takes .png .jpg .bmp .bin)"},
    {"PictureTooLarge", {"pattern", "@", "1", "%big.png"}, "(1920 x 1080) (try --fit)\n"},
    {"FirmwareBadRecord", {"firmware", "@", "%bad.hex"}, "bad.hex: line 2: checksum mismatch"},
    {"FirmwareWithoutData", {"firmware", "@", "%empty.hex"}, "empty.hex: it holds no data"},
    {"FirmwareKind", {"firmware", "@", "%notes.txt"}, "(it takes .hex)"},
    {"FirmwareOverRawTcp",
     {"firmware", "@,tcp://[::1]:4000", "%fw.hex"},
     "use the server's rfc2217:// port"},
    {"NetworkPortWithoutPort", {"ping", "rfc2217://127.0.0.1"}, "is no network port: write"},
    {"NetworkPortOpenBracket", {"versions", "tcp://[::1:4000"}, "is no network port"},
    {"HexBadRecord", {"hex", "%bad.hex"}, "bad.hex: line 2: checksum mismatch"},
    {"BrixInputMissing", {"brix", "%out.brix", "%gone.bin"}, "gone.bin: No such file"},
};

INSTANTIATE_TEST_SUITE_P(Cli, BadArguments, ::testing::ValuesIn(kBadLines),
                         [](const ::testing::TestParamInfo<BadLine>& i) { return i.param.name; });

TEST(CliHelp, OverviewEachCommandAndVersions) {
    RunResult all = runKivo({"--help"});
    EXPECT_EQ(all.status, kOk);
    std::string texts = all.out;
    for (const std::string usage :
         {"ports [--long]", "ping PORT[,PORT...]", "versions PORT", "get PORT SETTING",
          "set PORT SETTING VALUE", "pattern PORT SLOT PICTURE [--fit]",
          "firmware PORT FILE.hex [--verify]", "hex FILE.hex [--bin OUT]", "brix OUT INPUT",
          "md5 FILE..."}) {
        const std::string command = usage.substr(0, usage.find(' '));
        EXPECT_TRUE(contains(all.out, "\n  " + command + " ")) << command;
        RunResult r = runKivo({command, "--help"});
        EXPECT_EQ(r.status, kOk) << command;
        EXPECT_EQ(r.out.rfind("Usage: kivo " + usage + "\n", 0), 0u) << r.out;
        EXPECT_TRUE(contains(r.out, "Exit status")) << command;
        texts += r.out;
    }
    EXPECT_EQ(runKivo({"help", "md5"}).out.rfind("Usage: kivo md5", 0), 0u);
    std::istringstream help(texts);
    for (std::string line; std::getline(help, line);) EXPECT_LE(line.size(), 80u) << line;
    EXPECT_EQ(runKivo({"--version"}).out.rfind("kivo 1.", 0), 0u);
    // The wizard answers both without a display, as a packager's script would ask it.
    unsetenv("DISPLAY");
    setenv("QT_QPA_PLATFORM", "xcb", 1);
    for (const char* option : {"--help", "--version"}) {
        RunResult wizard = kivotest::runProgram(KIVO_UPDATER_BIN, {option});
        EXPECT_EQ(wizard.status, kOk) << option << wizard.err;
        EXPECT_TRUE(contains(wizard.out, "kivo-updater")) << wizard.out;
    }
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
}

TEST(CliFiles, HexMd5AndBrix) {
    TempDir dir;
    const std::vector<unsigned char> data(40, 0x5A);
    const std::string hex = put(dir, "fw.hex", kivotest::hexText(0x08000000, data));
    RunResult r = runKivo({"hex", hex, "--bin", dir.file("fw.bin")});
    EXPECT_EQ(r.status, kOk) << r.err;
    // one address record, three data records, the end record
    EXPECT_EQ(r.out, "base    0x08000000\nsize    40\nrecords 5\n");
    EXPECT_EQ(readAll(dir.file("fw.bin")), std::string(data.begin(), data.end()));
    r = runKivo({"hex", hex, "--bin", dir.file("no/such/dir/fw.bin")});
    EXPECT_EQ(r.status, kFailed);
    EXPECT_TRUE(contains(r.err, "Couldn't write"));
    const std::string abc = put(dir, "abc", "abc"), odd = put(dir, "back\\slash", "abc");
    r = runKivo({"md5", abc, dir.file("missing"), odd});
    EXPECT_EQ(r.status, kUsage);
    EXPECT_EQ(r.out, "900150983cd24fb0d6963f7d28e17f72  " + abc +
                         "\n\\900150983cd24fb0d6963f7d28e17f72  " + dir.file("back\\\\slash") +
                         "\n");
    EXPECT_TRUE(contains(r.err, dir.file("missing") + ": No such file")) << r.err;
    const std::string payload(1000, '\7');
    r = runKivo({"brix", dir.file("out.brix"), put(dir, "data.bin", payload)});
    EXPECT_EQ(r.status, kOk) << r.err;
    EXPECT_TRUE(contains(r.out, "1000 data bytes, md5 "));
    EXPECT_EQ(readAll(dir.file("out.brix")).substr(32), payload);
}

TEST(CliDevice, PingVersionsGetAndSet) {
    KivoSim sim;
    ASSERT_TRUE(sim.start());
    const std::string port = sim.slavePath();
    RunResult ping = runKivo({"ping", port + ",sim"});
    EXPECT_EQ(ping.status, kOk) << ping.err;
    EXPECT_EQ(ping.out, "Kivo found on " + port + "\nKivo found on sim\n");
    EXPECT_TRUE(contains(runKivo({"versions", port}).out,
                         "version1 0x01000000\nversion2 0x00010000\nversion3 0x00000100\n"
                         "version4 0x00000001\n"));
    EXPECT_EQ(runKivo({"set", port, "hdcp", "on"}).status, kOk);
    EXPECT_EQ(sim.reg(0x65), std::vector<uint8_t>{1});
    sim.setReg(0x6F, {2});
    RunResult quiet = runKivo({"--quiet", "get", port, "hdr"});
    EXPECT_EQ(quiet.out, "pq (2)\n");
    EXPECT_EQ(quiet.err, "");
    sim.setReg(0x70, {1});
    RunResult all = runKivo({"get", port, "all"});
    EXPECT_EQ(all.status, kOk) << all.err;
    EXPECT_EQ(std::count(all.out.begin(), all.out.end(), '\t'), 16) << all.out;
    EXPECT_TRUE(contains(all.out, "\nbt2020\tycc (1)\n")) << all.out;
}

// A port the user may not open names the group to join only when joining it would help.
TEST(CliDevice, PermissionDeniedNamesAGroupThatHelps) {
    struct passwd* nobody = getpwnam("nobody");
    struct group* dialout = getgrnam("dialout");
    if (geteuid() != 0 || !nobody || !dialout) GTEST_SKIP() << "needs root, nobody and dialout";
    const struct {
        gid_t group;
        mode_t mode;
        const char* expect;
    } nodes[] = {
        {dialout->gr_gid, 0660, "the device belongs to group 'dialout'"},
        {0, 0660, "ask the administrator"},               // root is no group to join
        {dialout->gr_gid, 0640, "ask the administrator"}, // the group may not write
    };
    TempDir dir;
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
    kivotest::RunOptions asNobody;
    asNobody.uid = nobody->pw_uid;
    asNobody.gid = nobody->pw_gid;
    for (const auto& node : nodes) {
        const std::string dev = put(dir, "ttyFAKE0", "");
        ASSERT_EQ(chown(dev.c_str(), 0, node.group), 0);
        ASSERT_EQ(chmod(dev.c_str(), node.mode), 0);
        RunResult r = runKivo({"ping", dev}, asNobody);
        if (r.status == 126 || r.status == 127) GTEST_SKIP() << "kivo is not reachable for nobody";
        EXPECT_EQ(r.status, kFailed) << r.err;
        EXPECT_TRUE(contains(r.err, "kivo: Permission denied on " + dev)) << r.err;
        EXPECT_TRUE(contains(r.err, node.expect)) << r.err;
    }
}

// --- in-process ---

TEST(CliSettings, ValuesByNameOrNumber) {
    const struct {
        const char *setting, *text;
        int value; // -1: refused
    } cases[] = {{"timing", "1920x1080p60", 16},
                 {"volume", "0x1F", 31},
                 {"volume", "255", 255},
                 {"volume", "256", -1},
                 {"volume", "5x", -1},
                 {"volume", "", -1},
                 {"volume", "+5", -1},
                 {"hdcp", "0", 0},
                 {"hdr", "PQ", -1}}; // names are case-sensitive
    for (const auto& c : cases) {
        unsigned v = 12345;
        EXPECT_EQ(kivo::parseSettingValue(*kivo::findSetting(c.setting), c.text, v), c.value >= 0)
            << c.setting << " " << c.text;
        EXPECT_EQ(v, c.value >= 0 ? unsigned(c.value) : 12345u) << c.setting << " " << c.text;
    }
    EXPECT_EQ(kivo::findSetting("all"), nullptr);
    EXPECT_EQ(kivo::formatSettingValue(*kivo::findSetting("depth"), 1), "10bit (1)");
    EXPECT_EQ(kivo::formatSettingValue(*kivo::findSetting("depth"), 9), "9");
}

TEST(CliProgress, LinePerTenthReachedAndBars) {
    kivo::ProgressState p;
    p.start("Loading fw.hex", 1000);
    EXPECT_FALSE(p.update(5));
    EXPECT_TRUE(p.update(85.3)); // a jump reports the tenth reached, once
    EXPECT_EQ(p.line(), "Loading fw.hex: 80% (800 of 1000 bytes)");
    EXPECT_FALSE(p.update(89.9));
    p.update(99.95);
    EXPECT_EQ(p.bar(10).rfind("[#########.]  99%", 0), 0u) << "100% only when done";
    EXPECT_TRUE(p.update(250)); // clamped
    EXPECT_EQ(p.bar(10).rfind("[##########] 100%  1000 of 1000 bytes", 0), 0u) << p.bar(10);
    p.start("Loading big.png", 6220800);
    p.update(50);
    EXPECT_EQ(p.bar(2).rfind("[#.]  50%  3.1 of 6.2 MB", 0), 0u) << p.bar(2);
    p.start("Erasing Flash", 0, 120); // a bounded wait shows its time, not a still bar
    p.update(0);
    EXPECT_TRUE(contains(p.bar(4), " elapsed (may take up to 2:00)")) << p.bar(4);
    p.update(100);
    EXPECT_EQ(p.bar(4).rfind("done in ", 0), 0u) << p.bar(4);
}

} // namespace
