#include "jobs/IdleLine.h"

#include <algorithm>
#include <chrono>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
constexpr unsigned kSliceMs = 50;
constexpr double kNoNews = 0.0;

// Whole milliseconds left, rounded up so a sliced wait never ends early.
unsigned msLeft(Clock::time_point end) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(end - Clock::now()).count();
    return left > 0 ? static_cast<unsigned>(left) : 0;
}

} // namespace

void idleSleep(unsigned ms, KivoProgress* sink) {
    if (!sink) {
        usleep(ms * 1000u);
        return;
    }
    const Clock::time_point end = Clock::now() + std::chrono::milliseconds(ms);
    for (unsigned left = msLeft(end); left; left = msLeft(end)) {
        sink->progress(kNoNews);
        usleep(std::min(kSliceMs, left) * 1000u);
    }
}

// A stream that answers a time-out at once still ends the wait: the slices asked for count.
int IdleLine::readyForRead(unsigned timeoutMs) {
    if (!sink || timeoutMs == 0) return line->readyForRead(timeoutMs);
    const Clock::time_point end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (unsigned budget = timeoutMs;;) {
        const unsigned slice = std::max(1u, std::min({kSliceMs, msLeft(end), budget}));
        const int ready = line->readyForRead(slice);
        budget -= std::min(budget, slice);
        if (ready != 0 || budget == 0 || msLeft(end) == 0) return ready;
        sink->progress(kNoNews);
    }
}
