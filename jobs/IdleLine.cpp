#include "jobs/IdleLine.h"

#include <algorithm>
#include <chrono>

namespace {

using Clock = TimeSource::Clock;
constexpr unsigned kSliceMs = 50;
constexpr double kNoNews = 0.0;

// Whole milliseconds left, rounded up so a sliced wait never ends early.
unsigned msLeft(TimeSource& time, Clock::time_point end) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(end - time.now()).count();
    return left > 0 ? static_cast<unsigned>(left) : 0;
}

} // namespace

void idleSleep(unsigned ms, KivoProgress* sink, TimeSource& time) {
    using std::chrono::milliseconds;
    if (!sink) {
        time.sleepFor(milliseconds(ms));
        return;
    }
    const Clock::time_point end = time.now() + milliseconds(ms);
    for (unsigned left = msLeft(time, end); left; left = msLeft(time, end)) {
        sink->progress(kNoNews);
        time.sleepFor(milliseconds(std::min(kSliceMs, left)));
    }
}

// A stream that answers a time-out at once still ends the wait: the slices asked for count.
int IdleLine::readyForRead(unsigned timeoutMs) {
    if (!sink || timeoutMs == 0) return line->readyForRead(timeoutMs);
    const Clock::time_point end = time.now() + std::chrono::milliseconds(timeoutMs);
    for (unsigned budget = timeoutMs;;) {
        const unsigned slice = std::max(1u, std::min({kSliceMs, msLeft(time, end), budget}));
        const int ready = line->readyForRead(slice);
        budget -= std::min(budget, slice);
        if (ready != 0 || budget == 0 || msLeft(time, end) == 0) return ready;
        sink->progress(kNoNews);
    }
}
