#pragma once
// A scripted peer in virtual time: input is queued to arrive at set times, and the waits of the
// code under test (the stream's readyForRead, the link's pauses through TimeSource) move a
// virtual clock instead of taking real time.
#include "serial/TimeSource.h"
#include "tests/support/ScriptedStream.h"

#include <algorithm>
#include <map>

struct VirtualTime : TimeSource {
    Clock::time_point t = Clock::time_point(std::chrono::hours(1)); // well past any "last call"
    Clock::time_point now() override { return t; }
    void sleepFor(std::chrono::microseconds d) override { t += d; }
    long long msSince(Clock::time_point from) const {
        return std::chrono::duration_cast<std::chrono::milliseconds>(t - from).count();
    }
};

class VirtualPeer : public ScriptedStream {
public:
    VirtualTime time;
    bool hungUp = false; // then ready at once with nothing to read, as a closed pty

    // bytes arrive afterMs from now (in virtual time).
    void feedAfter(unsigned afterMs, const std::vector<uint8_t>& bytes) {
        auto& at = later[time.t + std::chrono::milliseconds(afterMs)];
        at.insert(at.end(), bytes.begin(), bytes.end());
    }
    int readyForRead(unsigned timeoutMs) override {
        // A time-out of 0 waits without end: until the next arrival, if one is queued.
        auto deadline = time.t + std::chrono::milliseconds(timeoutMs);
        if (timeoutMs == 0 && !later.empty()) deadline = std::max(deadline, later.begin()->first);
        if (input.empty() && !later.empty() && later.begin()->first <= deadline)
            time.t = std::max(time.t, later.begin()->first);
        while (!later.empty() && later.begin()->first <= time.t) {
            feed(later.begin()->second);
            later.erase(later.begin());
        }
        if (input.empty() && !hungUp) time.t = deadline;
        const int ready = ScriptedStream::readyForRead(timeoutMs);
        return hungUp ? 1 : ready;
    }

private:
    std::map<TimeSource::Clock::time_point, std::vector<uint8_t>> later;
};
