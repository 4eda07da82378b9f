// Many verifications and uploads in a row: how much resident memory and how many descriptors
// the process keeps afterwards. Prints "key value" lines for bench/run.
#include "device/KivoIo.h"
#include "jobs/PatternJob.h"
#include "serial/SerialIo.h"
#include "sim/KivoSim.h"
#include "tests/support/ProcessStats.h"
#include "tests/support/QuickSim.h"

#include <QImage>

#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kVerifications = 200;
constexpr int kLanes = 10, kUploadsPerLane = 5; // 50 uploads, lanes side by side (erases are slow)

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

bool upload(KivoIo* link, unsigned slot) {
    QImage picture(8, 8, QImage::Format_RGB888);
    picture.fill(Qt::gray);
    PatternRequest req;
    req.link = link;
    req.slot = slot;
    req.picture = picture;
    req.path = QStringLiteral("soak.png");
    return runPatternJob(req, JobCallbacks{}).ok;
}

void atOnce(size_t n, const std::function<void(size_t)>& body) {
    std::vector<std::thread> threads;
    for (size_t i = 0; i < n; ++i) threads.emplace_back(body, i);
    for (auto& t : threads) t.join();
}

} // namespace

int main() {
    SimProcess sims(kLanes + 1);
    if (sims.ports.size() != size_t(kLanes + 1)) return 1;
    std::vector<Link> lanes(kLanes);
    for (int i = 0; i < kLanes; ++i)
        if (!lanes[i].open(sims.ports[i])) return 1;
    std::vector<int> failed(kLanes + 1, 0);
    auto round = [&](int verifications, int uploads) {
        atOnce(kLanes + 1, [&](size_t i) {
            for (int k = 0; i == kLanes && k < verifications; ++k) {
                Link link; // what the serial page does: open the port, ping, let go of both
                failed[i] += !(link.open(sims.ports[i]) && link.kivo->ping(3));
            }
            for (int k = 0; i < kLanes && k < uploads; ++k)
                failed[i] += !upload(lanes[i].kivo.get(), unsigned(i));
        });
    };
    round(1, 1); // warm-up: first allocations of Qt, the streams and the threads
    const int fds = openDescriptors();
    const long rss = residentBytes();
    round(kVerifications, kUploadsPerLane);
    int failures = 0;
    for (int f : failed) failures += f;
    std::printf("failures %d\nfd_growth %d\nrss_growth_kib %ld\n", failures,
                openDescriptors() - fds, (residentBytes() - rss) / 1024);
    return failures ? 1 : 0;
}
