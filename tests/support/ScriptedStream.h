#pragma once
// An in-memory SerialIo for wire-level tests: records every byte written and serves queued input.
// A responder may queue the answer to each write. readyForRead never sleeps: with nothing queued
// it reports a time-out at once, so a silent peer costs no test time.
#include "serial/SerialIo.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <vector>

class ScriptedStream : public SerialIo {
public:
    using Responder = std::function<void(ScriptedStream&, const unsigned char*, unsigned)>;

    std::vector<uint8_t> written;
    std::deque<uint8_t> input;
    Responder onWrite;
    std::vector<unsigned> readyTimeouts; // every time-out asked for, in order

    void feed(const std::vector<uint8_t>& bytes) {
        input.insert(input.end(), bytes.begin(), bytes.end());
    }

    int read(unsigned char* buf, unsigned n) override {
        unsigned got = 0;
        while (got < n && !input.empty()) {
            buf[got++] = input.front();
            input.pop_front();
        }
        return static_cast<int>(got);
    }
    int write(const unsigned char* buf, unsigned n) override {
        written.insert(written.end(), buf, buf + n);
        if (onWrite) onWrite(*this, buf, n);
        return static_cast<int>(n);
    }
    const char* devName() override { return "scripted"; }
    int readyForRead(unsigned timeoutMs) override {
        readyTimeouts.push_back(timeoutMs);
        return input.empty() ? 0 : 1;
    }
};
