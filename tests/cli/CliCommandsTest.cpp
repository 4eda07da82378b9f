// The kivo binary as a child process: arguments, help, the file commands and the one-shot
// device commands against a simulated generator.
#include "RunKivo.h"

#include "files/MD5.h"
#include "sim/KivoSim.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <grp.h>
#include <pty.h>
#include <pwd.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using kivotest::runKivo;
using kivotest::RunResult;
using kivotest::TempDir;

namespace {

constexpr int kOk = 0, kFailed = 1, kUsage = 2;

std::string readAll(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

class SimTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(sim.start()); }
    std::string port() const { return sim.slavePath(); }
    KivoSim sim;
    TempDir dir;
};

// --- usage errors: status 2, a reason on stderr, and not one byte to the generator ---

struct BadLine {
    const char* name;
    std::vector<std::string> args; // "@" stands for the simulator's port, "%" for the temp dir
    const char* expect;            // part of the error text
};

class BadArguments : public SimTest, public ::testing::WithParamInterface<BadLine> {};

TEST_P(BadArguments, RefusedWithStatus2BeforeAnyTraffic) {
    dir.write("pic.png", "not a picture at all");
    dir.write("notes.txt", "text");
    dir.write("bad.hex", ":020000040800F2\r\n:10000000000102030405060708090A0B0C0D0E0F00\r\n"
                         ":00000001FF\r\n");
    dir.write("fw.hex", kivotest::hexText(0x08000000, {1, 2, 3, 4}));
    dir.write("empty.hex", ":00000001FF\r\n");
    std::vector<std::string> args;
    for (std::string a : GetParam().args) {
        size_t at;
        while ((at = a.find('@')) != std::string::npos) a.replace(at, 1, port());
        while ((at = a.find('%')) != std::string::npos) a.replace(at, 1, dir.path(""));
        args.push_back(a);
    }
    RunResult r = runKivo(args);
    EXPECT_EQ(r.status, kUsage) << r.err;
    EXPECT_NE(r.err.find(GetParam().expect), std::string::npos) << r.err;
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
    {"ListForPing", {"ping", "@,@"}, "only 'pattern' and 'firmware'"},
    {"NoSuchDevice", {"ping", "/dev/no-such-tty"}, "no serial port '/dev/no-such-tty'"},
    {"NoSuchProduct", {"get", "No Such Adapter", "hdcp"}, "no serial port 'No Such Adapter'"},
    {"UnknownSetting", {"get", "@", "brightness"}, "unknown setting 'brightness'"},
    {"SwitchBeyondOne", {"set", "@", "hdcp", "2"}, "'2' is not a value of hdcp"},
    {"NumberBeyondByte", {"set", "@", "volume", "256"}, "'256' is not a value of volume"},
    {"NegativeNumber", {"set", "@", "volume", "-1"}, "unknown option '-1'"},
    {"UnknownMember", {"set", "@", "timing", "1080p"}, "'1080p' is not a value of timing"},
    {"SlotTen", {"pattern", "@", "10", "%pic.png"}, "SLOT must be a number from 0 to 9"},
    {"SlotWord", {"pattern", "@", "one", "%pic.png"}, "SLOT must be a number from 0 to 9"},
    {"PictureMissing", {"pattern", "@", "1", "%gone.png"}, "Couldn't read"},
    {"PictureGarbage", {"pattern", "@", "1", "%pic.png"}, "Couldn't read"},
    {"PictureKind", {"pattern", "@", "1", "%notes.txt"}, "is not a valid file for the Kivo"},
    {"FirmwareMissing", {"firmware", "@", "%gone.hex"}, "Couldn't read"},
    {"FirmwareBadRecord", {"firmware", "@", "%bad.hex"}, "Couldn't read"},
    {"FirmwareWithoutData", {"firmware", "@", "%empty.hex"}, "Couldn't read"},
    {"FirmwareKind", {"firmware", "@", "%notes.txt"}, "is not a valid file for the Kivo"},
    {"ListWithBadPort", {"firmware", "@,/dev/no-such-tty", "%fw.hex"}, "no serial port"},
    {"ListWithEmptyEntry", {"firmware", "@,", "%fw.hex"}, "an empty port in the list"},
    {"ListWithRepeat", {"firmware", "@,@", "%fw.hex"}, "appears twice"},
    {"HexMissing", {"hex", "%gone.hex"}, "Couldn't read"},
    {"BrixInputMissing", {"brix", "%out.brix", "%gone.bin"}, "Couldn't read"},
};

INSTANTIATE_TEST_SUITE_P(Cli, BadArguments, ::testing::ValuesIn(kBadLines),
                         [](const ::testing::TestParamInfo<BadLine>& i) { return i.param.name; });

// --- help ---

TEST(CliHelp, OverviewNamesEveryCommand) {
    RunResult r = runKivo({"--help"});
    EXPECT_EQ(r.status, kOk);
    for (const char* c :
         {"ports", "ping", "versions", "get", "set", "pattern", "firmware", "hex", "brix", "md5"})
        EXPECT_NE(r.out.find(std::string("\n  ") + c + " "), std::string::npos) << c;
    EXPECT_NE(r.out.find("--quiet"), std::string::npos);
}

TEST(CliHelp, EachCommandDescribesItself) {
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"ports", ""},
        {"ping", "PORT"},
        {"versions", "PORT"},
        {"get", "PORT SETTING"},
        {"set", "PORT SETTING VALUE"},
        {"pattern", "PORT SLOT PICTURE"},
        {"firmware", "PORT FILE.hex [--verify]"},
        {"hex", "FILE.hex [--bin OUT]"},
        {"brix", "OUT INPUT"},
        {"md5", "FILE..."}};
    for (const auto& c : expected) {
        RunResult r = runKivo({c.first, "--help"});
        EXPECT_EQ(r.status, kOk) << c.first;
        EXPECT_EQ(r.out.rfind("Usage: kivo " + c.first + " " + c.second + "\n", 0), 0u) << r.out;
        EXPECT_NE(r.out.find("Exit status"), std::string::npos);
    }
    EXPECT_NE(runKivo({"set", "--help"}).out.find("constant-luminance"), std::string::npos);
    EXPECT_NE(runKivo({"firmware", "--help"}).out.find("--verify"), std::string::npos);
    EXPECT_EQ(runKivo({"help", "md5"}).out.rfind("Usage: kivo md5", 0), 0u);
}

// --- file commands ---

TEST(CliFiles, HexSummaryAndFlatImage) {
    TempDir dir;
    std::vector<unsigned char> data(40);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>(i * 7);
    std::string hex = dir.write("fw.hex", kivotest::hexText(0x08000000, data));
    RunResult r = runKivo({"hex", hex, "--bin", dir.path("fw.bin")});
    EXPECT_EQ(r.status, kOk) << r.err;
    // one address record, three data records, the end record
    EXPECT_NE(r.out.find("base    0x08000000\nsize    40\nrecords 5\n"), std::string::npos)
        << r.out;
    EXPECT_EQ(readAll(dir.path("fw.bin")), std::string(data.begin(), data.end()));

    RunResult bad = runKivo({"hex", hex, "--bin", dir.path("no/such/dir/fw.bin")});
    EXPECT_EQ(bad.status, kFailed);
    EXPECT_NE(bad.err.find("Couldn't write"), std::string::npos);
}

TEST(CliFiles, Md5LinesLikeMd5sum) {
    TempDir dir;
    std::string abc = dir.write("abc", "abc");
    std::string empty = dir.write("empty", "");
    std::string odd = dir.write("back\\slash", "abc");
    RunResult r = runKivo({"md5", abc, dir.path("missing"), empty, odd});
    EXPECT_EQ(r.status, kUsage);
    EXPECT_EQ(r.out, "900150983cd24fb0d6963f7d28e17f72  " + abc + "\n" +
                         "d41d8cd98f00b204e9800998ecf8427e  " + empty + "\n" +
                         "\\900150983cd24fb0d6963f7d28e17f72  " + dir.path("back\\\\slash") + "\n");
    EXPECT_NE(r.err.find(dir.path("missing") + ": No such file"), std::string::npos) << r.err;
}

TEST(CliFiles, BrixCarriesMagicAndDigest) {
    TempDir dir;
    std::string payload(1000, '\0');
    for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(i % 251);
    std::string in = dir.write("data.bin", payload);
    RunResult r = runKivo({"brix", dir.path("out.brix"), in});
    ASSERT_EQ(r.status, kOk) << r.err;
    std::string file = readAll(dir.path("out.brix"));
    ASSERT_EQ(file.size(), 32 + payload.size());
    EXPECT_EQ(file.substr(0, 4), "Brix");
    EXPECT_EQ(file.substr(4, 12), std::string(12, '\0'));
    EXPECT_EQ(file.substr(32), payload);
    unsigned char digest[MD5::DIGEST_SIZE];
    MD5 md5;
    md5.addBytes(reinterpret_cast<const unsigned char*>(payload.data()), int(payload.size()));
    md5.checksum(digest);
    EXPECT_EQ(file.substr(16, 16), std::string(reinterpret_cast<char*>(digest), 16));
    EXPECT_NE(r.out.find("1000 data bytes"), std::string::npos);
}

// --- device commands ---

TEST_F(SimTest, PingVersionsAndSettings) {
    RunResult ping = runKivo({"ping", port()});
    EXPECT_EQ(ping.status, kOk) << ping.err;
    EXPECT_NE(ping.out.find("Kivo found on " + port()), std::string::npos);

    RunResult v = runKivo({"versions", port()});
    EXPECT_EQ(v.status, kOk) << v.err;
    EXPECT_NE(v.out.find("version1 0x01000000\nversion2 0x00010000\nversion3 0x00000100\n"
                         "version4 0x00000001\n"),
              std::string::npos)
        << v.out;

    EXPECT_EQ(runKivo({"set", port(), "volume", "0x30"}).status, kOk);
    EXPECT_EQ(sim.reg(0x6D), std::vector<uint8_t>{0x30});
    EXPECT_EQ(runKivo({"set", port(), "timing", "1920x1080p60"}).status, kOk);
    EXPECT_EQ(sim.reg(0x61), std::vector<uint8_t>{16});
    EXPECT_EQ(runKivo({"set", port(), "hdcp", "on"}).status, kOk);
    EXPECT_EQ(sim.reg(0x65), std::vector<uint8_t>{1});

    sim.setReg(0x6F, {2});
    RunResult hdr = runKivo({"get", port(), "hdr"});
    EXPECT_EQ(hdr.status, kOk);
    EXPECT_NE(hdr.out.find("pq (2)\n"), std::string::npos) << hdr.out;
}

TEST_F(SimTest, GetAllListsEverySetting) {
    sim.setReg(0x70, {1});
    RunResult r = runKivo({"get", port(), "all"});
    EXPECT_EQ(r.status, kOk) << r.err;
    for (const char* s : {"timing", "pattern", "colorspace", "depth", "hdcp", "txmode",
                          "audio-sample", "audio-depth", "audio-source", "audio-channel",
                          "audio-speaker", "volume", "scramble", "hdr", "bt2020", "power"})
        EXPECT_NE(r.out.find(std::string(s) + "\t"), std::string::npos) << s;
    EXPECT_NE(r.out.find("bt2020\tycc (1)\n"), std::string::npos) << r.out;
}

TEST(CliDevice, SilentPortIsNotFound) {
    int master = -1, slave = -1;
    char name[128];
    ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
    close(slave);
    RunResult r = runKivo({"ping", name});
    close(master);
    EXPECT_EQ(r.status, kFailed);
    EXPECT_NE(r.err.find(std::string("Kivo not found on ") + name), std::string::npos) << r.err;
}

TEST(CliDevice, InProcessSimulator) {
    RunResult r = runKivo({"ping", "sim"});
    EXPECT_EQ(r.status, kOk) << r.err;
    EXPECT_NE(r.out.find("Kivo found on sim"), std::string::npos);
    RunResult v = runKivo({"--quiet", "get", "sim", "txmode"});
    EXPECT_EQ(v.status, kOk) << v.err;
    EXPECT_EQ(v.err, "");
}

// kivo-sim as a separate program on its pseudo-terminal.
TEST(CliDevice, SimulatorProgramOnPty) {
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        close(out[0]);
        execl(KIVO_SIM_BIN, KIVO_SIM_BIN, static_cast<char*>(nullptr));
        _exit(127);
    }
    close(out[1]);
    std::string path;
    char c;
    while (read(out[0], &c, 1) == 1 && c != '\n') path += c;
    ASSERT_FALSE(path.empty());
    RunResult set = runKivo({"set", path, "colorspace", "ycc422"});
    RunResult get = runKivo({"get", path, "colorspace"});
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    close(out[0]);
    EXPECT_EQ(set.status, kOk) << set.err;
    EXPECT_EQ(get.out, "ycc422 (3)\n") << get.err;
}

// A port the user may not open names the group that owns it.
TEST(CliDevice, PermissionDeniedNamesTheGroup) {
    if (geteuid() != 0) GTEST_SKIP() << "needs to run a child as another user";
    struct passwd* nobody = getpwnam("nobody");
    struct group* dialout = getgrnam("dialout");
    if (!nobody || !dialout) GTEST_SKIP() << "no user nobody or group dialout";
    TempDir dir;
    std::string dev = dir.write("ttyFAKE0", "");
    ASSERT_EQ(chown(dev.c_str(), 0, dialout->gr_gid), 0);
    ASSERT_EQ(chmod(dev.c_str(), 0660), 0);
    kivotest::RunOptions asNobody;
    asNobody.uid = nobody->pw_uid;
    asNobody.gid = nobody->pw_gid;
    RunResult r = runKivo({"ping", dev}, asNobody);
    if (r.status == 126 || r.status == 127)
        GTEST_SKIP() << "the kivo binary is not reachable for nobody";
    EXPECT_EQ(r.status, kFailed) << r.err;
    EXPECT_NE(r.err.find("Permission denied on " + dev), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("group 'dialout'"), std::string::npos) << r.err;
}

} // namespace
