#pragma once
// Frame builders and a scripted generator for the device tests.
#include "device/KivoIo.h"
#include "tests/support/FrameBytes.h"
#include "tests/support/VirtualPeer.h"

#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <string>
#include <tuple>

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

struct Frame {
    unsigned code;
    Bytes payload;
};
// One write of the host that must be one whole request frame, every field right.
inline Frame asFrame(const unsigned char* b, unsigned n) {
    const Frame f =
        n < 10 ? Frame{0, {}} : Frame{unsigned(b[7] | b[8] << 8), Bytes(b + 9, b + n - 1)};
    EXPECT_EQ(request(f.code, f.payload), Bytes(b, b + n)) << "not one request frame";
    return f;
}

// A generator behind a scripted stream in virtual time: it answers every request but those
// numbered in lost, reads with readData, and "cnd 12" with eraseAnswer.
struct Generator {
    VirtualPeer s;
    KivoIo kivo{s};
    std::function<Bytes(unsigned code, const Bytes& payload)> readData =
        [](unsigned, const Bytes&) { return Bytes{0}; };
    std::set<size_t> lost;
    std::string eraseAnswer = "cnd 12\r\n", console;
    std::vector<Frame> frames; // every request

    explicit Generator(std::set<size_t> unanswered = {}) : lost(std::move(unanswered)) {
        kivo.setTimeSource(s.time);
        s.onWrite = [this](ScriptedStream& st, const unsigned char* b, unsigned n) {
            if (b[0] != 0xAA) {
                console.append(reinterpret_cast<const char*>(b), n);
                if (std::string(b, b + n) == "cnd 12\r\n")
                    st.feed(Bytes(eraseAnswer.begin(), eraseAnswer.end()));
                return;
            }
            frames.push_back(asFrame(b, n));
            const Frame& f = frames.back();
            if (lost.count(frames.size() - 1)) return;
            st.feed(f.code & 0x8000 ? answer(f.code, readData(f.code, f.payload)) : ack(f.code));
        };
    }
};

struct Sink : KivoProgress {
    explicit Sink(size_t refused = SIZE_MAX) : stopAt(refused) {}
    std::vector<double> reports;
    size_t stopAt;               // answers false to this report (0-based)
    VirtualTime* time = nullptr; // each call takes 40 ms of it, as a busy event loop takes
    bool progress(double p) override {
        if (time) time->sleepFor(std::chrono::milliseconds(40));
        return reports.push_back(p), reports.size() - 1 != stopAt;
    }
};
