// kivo-sim as a program, and a real bootloader client against it.
#include "tests/sim/SimLine.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sys/stat.h>
#include <sys/wait.h>

namespace {

std::string tempDir() {
    char tmpl[] = "/tmp/kivo-sim-test-XXXXXX";
    const char* d = mkdtemp(tmpl);
    return d ? d : "/tmp";
}

Bytes readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// kivo-sim in a child process; its first output line is the pty.
class SimProcess {
public:
    explicit SimProcess(std::vector<std::string> args) {
        int out[2];
        if (pipe(out) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], 1);
            close(out[0]);
            std::vector<char*> argv;
            args.insert(args.begin(), KIVO_SIM_PROGRAM);
            for (std::string& a : args) argv.push_back(&a[0]);
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(out[1]);
        fd_ = out[0];
        pollfd p{fd_, POLLIN, 0};
        char c;
        while (poll(&p, 1, 5000) > 0 && ::read(fd_, &c, 1) == 1 && c != '\n') path_ += c;
    }
    ~SimProcess() { stop(); }
    const std::string& path() const { return path_; }
    // SIGTERM, then the exit status (-1 when it did not end within 5 s).
    int stop() {
        if (pid_ <= 0) return status_;
        kill(pid_, SIGTERM);
        for (int i = 0; i < 500; ++i) {
            int st = 0;
            if (waitpid(pid_, &st, WNOHANG) == pid_) {
                status_ = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
                break;
            }
            usleep(10000);
        }
        if (status_ == -1) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        pid_ = -1;
        close(fd_);
        return status_;
    }

private:
    pid_t pid_ = -1;
    int fd_ = -1;
    int status_ = -1;
    std::string path_;
};

int run(const std::string& command) {
    const int st = std::system(("timeout 60 " + command + " >/dev/null 2>&1").c_str());
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

bool have(const char* program) {
    return program[0] && access(program, X_OK) == 0;
}

TEST(SimPeer, Stm32flashQueriesWritesVerifiesReadsAndStarts) {
    if (!have(STM32FLASH_PROGRAM) || !have(SREC_CAT_PROGRAM))
        GTEST_SKIP() << "stm32flash or srec_cat not installed";
    const std::string dir = tempDir();
    const std::string link = dir + "/ttyKivo", json = dir + "/t.json";
    Bytes image(5001); // not a multiple of 4: the client pads
    for (size_t i = 0; i < image.size(); ++i) image[i] = uint8_t(i * 31 + (i >> 8));
    std::ofstream(dir + "/fw.bin", std::ios::binary)
        .write(reinterpret_cast<const char*>(image.data()), std::streamsize(image.size()));
    ASSERT_EQ(run(std::string(SREC_CAT_PROGRAM) + " " + dir +
                  "/fw.bin -binary -offset 0x08000000 -o " + dir + "/fw.hex -intel"),
              0);

    SimProcess sim({"--bootloader", "--link", link, "--transcript", json});
    ASSERT_FALSE(sim.path().empty());
    EXPECT_TRUE(exists(link));
    const std::string flash = std::string(STM32FLASH_PROGRAM) + " -m 8n1 ";
    EXPECT_EQ(run(flash + link), 0) << "query";
    EXPECT_EQ(run(flash + "-w " + dir + "/fw.hex -v " + link), 0) << "write and verify";
    EXPECT_EQ(run(flash + "-r " + dir + "/back.bin -S 0x08000000:5001 " + link), 0) << "read";
    EXPECT_EQ(readFile(dir + "/back.bin"), image);
    EXPECT_EQ(run(flash + "-g 0x08000000 " + link), 0) << "go";
    EXPECT_EQ(sim.stop(), 0);
    EXPECT_FALSE(exists(link)) << "the link goes with the simulator";
    const Bytes t = readFile(json);
    const std::string text(t.begin(), t.end());
    EXPECT_EQ(text.rfind("{\"mode\":\"generator\"", 0), 0u) << "Go started the firmware";
    EXPECT_NE(text.find("\"violations\":0"), std::string::npos);
    std::system(("rm -rf " + dir).c_str());
}

TEST(SimPeer, ReadBackFindsAPlantedFault) {
    if (!have(STM32FLASH_PROGRAM) || !have(SREC_CAT_PROGRAM))
        GTEST_SKIP() << "stm32flash or srec_cat not installed";
    const std::string dir = tempDir();
    std::ofstream(dir + "/fw.bin", std::ios::binary) << std::string(600, 'k');
    ASSERT_EQ(run(std::string(SREC_CAT_PROGRAM) + " " + dir +
                  "/fw.bin -binary -offset 0x08000000 -o " + dir + "/fw.hex -intel"),
              0);
    SimProcess sim({"--bootloader", "--corrupt-flash", "0x08000101"});
    ASSERT_FALSE(sim.path().empty());
    EXPECT_NE(
        run(std::string(STM32FLASH_PROGRAM) + " -m 8n1 -w " + dir + "/fw.hex -v " + sim.path()), 0);
    std::system(("rm -rf " + dir).c_str());
}

TEST(SimPeer, DumpWritesPictures) {
    const std::string dir = tempDir();
    SimProcess sim({"--dump", dir});
    ASSERT_FALSE(sim.path().empty());
    {
        SimLine line(sim.path());
        line.send("DBG 1\r\nfpw 7c 02\r\ncnd 12\r\n");
        EXPECT_EQ(line.read(8).size(), 8u);
        line.send(SimLine::flashPage(0x30, 0, 0x40, 0x7F));
        EXPECT_EQ(line.read(12), SimLine::ack(0x7878));
        line.send(SimLine::flashPage(0x21, 192 * 38, 0x80, 0xF8)); // preview 37, red
        EXPECT_EQ(line.read(12), SimLine::ack(0x7878));
    }
    EXPECT_EQ(sim.stop(), 0);
    const Bytes slot = readFile(dir + "/slot-2.ppm");
    const std::string head = "P6\n1920 1\n255\n";
    ASSERT_GE(slot.size(), head.size() + 5760);
    EXPECT_EQ(std::string(slot.begin(), slot.begin() + long(head.size())), head);
    EXPECT_EQ(slot[head.size()], 0x7F);
    const Bytes pv = readFile(dir + "/preview-37.ppm");
    const std::string pvHead = "P6\n192 128\n255\n";
    ASSERT_EQ(pv.size(), pvHead.size() + 192 * 128 * 3);
    EXPECT_EQ(pv[pvHead.size()], 0xFF); // 0xF8F8: full red
    std::system(("rm -rf " + dir).c_str());
}

TEST(SimPeer, BadArgumentsAreRefused) {
    SimProcess sim({"--baud", "fast"});
    EXPECT_TRUE(sim.path().empty());
}

} // namespace
