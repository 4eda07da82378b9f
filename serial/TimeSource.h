#pragma once
// The clock and the sleeper behind the time-outs, pauses and slices that host code counts itself
// (a stream's own waits stay with the stream). Tests hand in a virtual one; by default it is real.
#include <chrono>
#include <thread>

class TimeSource {
public:
    using Clock = std::chrono::steady_clock;

    virtual ~TimeSource() = default;
    virtual Clock::time_point now() = 0;
    virtual void sleepFor(std::chrono::microseconds d) = 0;

    // The steady clock and a plain sleep of the calling thread.
    static TimeSource& real();
};

inline TimeSource& TimeSource::real() {
    struct Real final : TimeSource {
        Clock::time_point now() override { return Clock::now(); }
        void sleepFor(std::chrono::microseconds d) override { std::this_thread::sleep_for(d); }
    };
    static Real real;
    return real;
}
