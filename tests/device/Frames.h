#pragma once
// Frame builders and a wire parser for the device tests.
#include "tests/support/ScriptedStream.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace frames {

using Bytes = std::vector<uint8_t>;

inline uint8_t twosComplement(const Bytes& b) {
    unsigned s = 0;
    for (uint8_t v : b) s += v;
    return static_cast<uint8_t>(0x100 - (s & 0xFF));
}

// A whole frame: marker, tag 0, length, address bytes 0 0, code, payload, checksum.
inline Bytes frame(uint8_t marker, unsigned code, const Bytes& payload) {
    unsigned len = static_cast<unsigned>(payload.size()) + 5;
    Bytes f = {
        marker, 0, 0, uint8_t(len), uint8_t(len >> 8), 0, 0, uint8_t(code), uint8_t(code >> 8)};
    for (uint8_t b : payload) f.push_back(b);
    f.push_back(twosComplement(f));
    return f;
}
inline Bytes request(unsigned code, const Bytes& payload) {
    return frame(0xAA, code, payload);
}
inline Bytes readReply(unsigned code, const Bytes& data) {
    return frame(0xAB, code, data);
}
inline Bytes writeAck(unsigned code, const Bytes& extra = {}) {
    Bytes p = {uint8_t(code), uint8_t(code >> 8)};
    p.insert(p.end(), extra.begin(), extra.end());
    return frame(0xAB, 0xFFFF, p);
}

// The answer a well-behaved generator gives to one request frame.
inline Bytes answerTo(const Bytes& req, const Bytes& readData = {0}) {
    unsigned code = req[7] | (req[8] << 8);
    return code & 0x8000 ? readReply(code, readData) : writeAck(code);
}

// Host output split into request frames and console text (which never holds 0xAA).
struct Wire {
    struct Frame {
        unsigned code;
        Bytes payload;
        bool checksumOk;
    };
    std::vector<Frame> frames;
    std::string console;
};

inline Wire parse(const Bytes& out) {
    Wire w;
    size_t i = 0;
    while (i < out.size()) {
        if (out[i] != 0xAA || i + 9 > out.size()) {
            w.console += char(out[i++]);
            continue;
        }
        unsigned len = out[i + 3] | (out[i + 4] << 8);
        size_t end = i + 5 + len;
        if (len < 5 || end > out.size()) break;
        Wire::Frame f;
        f.code = out[i + 7] | (out[i + 8] << 8);
        f.payload.assign(out.begin() + i + 9, out.begin() + end - 1);
        unsigned s = 0;
        for (size_t k = i; k < end; ++k) s += out[k];
        f.checksumOk = (s & 0xFF) == 0;
        w.frames.push_back(std::move(f));
        i = end;
    }
    return w;
}

// A responder that gathers the written chunks into request frames and queues answer(frame)
// after each complete one; console text (anything not starting a frame) goes to onText.
using Answer = std::function<Bytes(const Wire::Frame&, unsigned index)>;
inline ScriptedStream::Responder answering(Answer answer,
                                           std::function<void(ScriptedStream&, char)> onText = {}) {
    auto pending = std::make_shared<Bytes>();
    auto count = std::make_shared<unsigned>(0);
    return [=](ScriptedStream& s, const unsigned char* b, unsigned n) {
        pending->insert(pending->end(), b, b + n);
        while (!pending->empty()) {
            if ((*pending)[0] != 0xAA) {
                if (onText) onText(s, char((*pending)[0]));
                pending->erase(pending->begin());
                continue;
            }
            if (pending->size() < 9) return;
            size_t total = 5 + ((*pending)[3] | ((*pending)[4] << 8));
            if (pending->size() < total) return;
            Wire w = parse(Bytes(pending->begin(), pending->begin() + total));
            pending->erase(pending->begin(), pending->begin() + total);
            if (w.frames.size() == 1) s.feed(answer(w.frames[0], (*count)++));
        }
    };
}

} // namespace frames
