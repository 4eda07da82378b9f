#include "tests/support/RecordedStreams.h"

#include "serial/SIoUnix.h"

#include <mutex>
#include <set>
#include <utility>

namespace {
std::mutex mu;
std::vector<std::string> seen;
std::set<std::pair<std::string, std::string>> muted;

class RecordingStream : public SIoUnix {
public:
    using SIoUnix::initialize;
    bool initialize(const char* dev, Baudrate baud, unsigned bits, Parity parity,
                    unsigned stop) override {
        static const char* const speeds[] = {"9600", "19200", "38400", "115200"};
        static const char parities[] = {'E', 'O', 'N'};
        const bool known = baud >= 0 && baud <= 3 && parity >= 0 && parity <= 2;
        const std::string f = known ? std::string(speeds[baud]) + " " + std::to_string(bits) +
                                          parities[parity] + std::to_string(stop)
                                    : "unknown";
        {
            std::lock_guard<std::mutex> lock(mu);
            seen.push_back(f);
            silent = dev && (muted.count({dev, ""}) || muted.count({dev, f}));
        }
        return SIoUnix::initialize(dev, baud, bits, parity, stop);
    }
    int readyForRead(unsigned timeoutMs) override {
        return silent ? 0 : SIoUnix::readyForRead(timeoutMs);
    }
    int write(const unsigned char* buf, unsigned n) override {
        return silent ? static_cast<int>(n) : SIoUnix::write(buf, n);
    }

private:
    bool silent = false;
};
} // namespace

extern "C" SerialIo* __wrap__ZN8SerialIo11PlatformSIoEv() {
    return new RecordingStream;
}

std::vector<std::string> recorded::framings() {
    std::lock_guard<std::mutex> lock(mu);
    return seen;
}

void recorded::clear() {
    std::lock_guard<std::mutex> lock(mu);
    seen.clear();
    muted.clear();
}

void recorded::mute(const std::string& dev, const std::string& framing) {
    std::lock_guard<std::mutex> lock(mu);
    muted.insert({dev, framing});
}
