// kivo-sim as a program, and a third-party bootloader client against it.
#include "tests/sim/SimLine.h"
#include "tests/support/BadFiles.h"
#include "tests/support/TempDir.h"

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sys/wait.h>

namespace {

// kivo-sim in a child process; path: its first output line (the pty), or all of it.
struct SimProcess {
    explicit SimProcess(std::vector<std::string> args, bool all = false) {
        int out[2];
        if (pipe(out) != 0) return;
        args.insert(args.begin(), KIVO_SIM_PROGRAM);
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(&a[0]);
        argv.push_back(nullptr);
        if ((pid = fork()) == 0) {
            dup2(out[1], 1), dup2(open("/dev/null", O_WRONLY), 2);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(out[1]);
        pollfd p{fd = out[0], POLLIN, 0};
        for (char c; poll(&p, 1, 5000) > 0 && ::read(fd, &c, 1) == 1 && (all || c != '\n');)
            path += c;
    }
    ~SimProcess() { stop(); }
    // SIGTERM, then the exit status (-1 when it did not end within 5 s).
    int stop() {
        int st = 0, status = -1;
        if (pid <= 0) return status;
        kill(pid, SIGTERM);
        for (int i = 0; i < 500 && status < 0; ++i, usleep(10000))
            if (waitpid(pid, &st, WNOHANG) == pid) status = WIFEXITED(st) ? WEXITSTATUS(st) : 128;
        if (status < 0) kill(pid, SIGKILL), waitpid(pid, nullptr, 0);
        close(fd);
        pid = -1;
        return status;
    }
    pid_t pid = -1;
    int fd = -1;
    std::string path;
};

int run(const std::string& command) {
    const int st = std::system(("timeout 60 " + command + " >/dev/null 2>&1").c_str());
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

std::string fileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(SimPeer, Stm32flashQueriesWritesVerifiesReadsAndStarts) {
    if (access(STM32FLASH_PROGRAM, X_OK) != 0) GTEST_SKIP() << "stm32flash not installed";
    TempDir d;
    std::string image(5001, '\0'); // not a multiple of 4: the client pads
    for (size_t i = 0; i < image.size(); ++i) image[i] = char(i * 31 + (i >> 8));
    ASSERT_TRUE(
        badfiles::put(d.file("fw.hex"), badfiles::hexText(kBase, {image.begin(), image.end()})));
    const std::string link = d.file("ttyKivo"),
                      flash = std::string(STM32FLASH_PROGRAM) + " -b 115200 -m 8n1 ";
    SimProcess sim({"--bootloader", "--link", link, "--transcript", d.file("t.json")});
    ASSERT_FALSE(sim.path.empty());
    EXPECT_EQ(run(flash + "-w " + d.file("fw.hex") + " -v " + link), 0) << "write and verify";
    EXPECT_EQ(run(flash + "-r " + d.file("back.bin") + " -S 0x08000000:5001 " + link), 0) << "read";
    EXPECT_EQ(fileText(d.file("back.bin")), image);
    EXPECT_EQ(run(flash + "-g 0x08000000 " + link), 0) << "go";
    EXPECT_EQ(sim.stop(), 0);
    EXPECT_NE(access(link.c_str(), F_OK), 0) << "the link goes with the simulator";
    const std::string t = fileText(d.file("t.json"));
    EXPECT_EQ(t.rfind("{\"mode\":\"generator\"", 0), 0u) << "Go started the firmware";
    EXPECT_NE(t.find("\"violations\":0"), std::string::npos);

    SimProcess bad({"--bootloader", "--corrupt-flash", "0x08000101"});
    ASSERT_FALSE(bad.path.empty());
    EXPECT_NE(run(flash + "-w " + d.file("fw.hex") + " -v " + bad.path), 0) << "verify finds it";
}

TEST(SimPeer, BadArgumentsAreRefusedHelpAndVersionAnswered) {
    for (const char* arg : {"--baud", "--late", "--bogus", "--allow"})
        EXPECT_EQ(run(std::string(KIVO_SIM_PROGRAM) + " " + arg + " fast"), 2) << arg;
    for (const char* arg : {"--help", "--version"}) { // all of it on stdout, then status 0
        SimProcess sim({arg}, true);
        EXPECT_EQ(sim.path.substr(0, 9), arg[2] == 'h' ? "usage: ki" : "kivo-sim ") << arg;
        EXPECT_EQ(sim.stop(), 0) << arg;
    }
}

} // namespace
