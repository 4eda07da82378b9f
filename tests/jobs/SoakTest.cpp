// Many verifications and uploads in a row leave no descriptor and no memory behind.
#include "JobFixture.h"
#include "tests/support/ProcessStats.h"

#include <memory>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr int kVerifications = 200;
constexpr int kLanes = 10, kUploadsPerLane = 5; // 50 uploads, lanes side by side (erases are slow)
constexpr long kRssSlackBytes = 1l << 20;

// Simulated generators in a child process, so that their transcripts do not count here. Made
// before any thread exists; they live until this object goes.
class SimProcess {
public:
    explicit SimProcess(int n) {
        int paths[2], hold[2];
        if (pipe(paths) != 0 || pipe(hold) != 0) return;
        if ((pid = fork()) == 0) {
            close(paths[0]);
            close(hold[1]);
            std::vector<std::unique_ptr<KivoSim>> sims;
            std::string list;
            for (int i = 0; i < n; ++i) {
                sims.push_back(std::make_unique<KivoSim>(quickSim()));
                if (sims.back()->start()) list += sims.back()->slavePath() + "\n";
            }
            const bool ok = write(paths[1], list.data(), list.size()) == ssize_t(list.size());
            close(paths[1]);
            char c;
            while (ok && read(hold[0], &c, 1) > 0) continue;
            _exit(0);
        }
        close(paths[1]);
        close(hold[0]);
        holdFd = hold[1];
        FILE* in = fdopen(paths[0], "r");
        char line[256];
        while (in && std::fgets(line, sizeof line, in))
            ports.emplace_back(line, strcspn(line, "\n"));
        if (in) std::fclose(in);
    }
    ~SimProcess() {
        close(holdFd);
        if (pid > 0) waitpid(pid, nullptr, 0);
    }
    std::vector<std::string> ports;

private:
    pid_t pid = -1;
    int holdFd = -1;
};

struct Link {
    std::unique_ptr<SerialIo> io{SerialIo::PlatformSIo()};
    std::unique_ptr<KivoIo> kivo;
    bool open(const std::string& port) {
        if (!io->initialize(port.c_str(), SerialIo::Baud115200, 8, SerialIo::ParityNone, 1))
            return false;
        kivo = std::make_unique<KivoIo>(*io);
        return true;
    }
};

} // namespace

TEST(Soak, VerificationsAndUploadsDoNotGrow) {
    SimProcess sims(kLanes + 1);
    ASSERT_EQ(sims.ports.size(), size_t(kLanes + 1));
    std::vector<Link> lanes(kLanes);
    for (int i = 0; i < kLanes; ++i) ASSERT_TRUE(lanes[i].open(sims.ports[i]));
    const QImage small = testPicture().scaled(8, 8);
    std::vector<int> failed(kLanes + 1, 0);
    auto round = [&](int verifications, int uploads) {
        forEachRowAtOnce(kLanes + 1, [&](size_t i) {
            for (int k = 0; i == kLanes && k < verifications; ++k) {
                Link link; // what the serial page does: open the port, ping, let go of both
                failed[i] += !(link.open(sims.ports[i]) && link.kivo->ping(3));
            }
            for (int k = 0; i < kLanes && k < uploads; ++k) {
                JobRecorder rec;
                failed[i] += !runPattern(lanes[i].kivo.get(), unsigned(i), rec, small).ok;
            }
        });
    };
    round(1, 1); // warm-up: first allocations of Qt, the streams and the threads
    const int fds = openDescriptors();
    const long rss = residentBytes();
    round(kVerifications, kUploadsPerLane);

    EXPECT_EQ(failed, std::vector<int>(kLanes + 1, 0));
    EXPECT_LE(openDescriptors(), fds);
#if !defined(__SANITIZE_ADDRESS__)
    // The sanitizer's quarantine holds freed memory on purpose; leaks show there instead.
    EXPECT_LE(residentBytes(), rss + kRssSlackBytes) << "grew from " << rss;
#else
    (void)rss;
#endif
}
