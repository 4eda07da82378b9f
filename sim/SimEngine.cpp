#include "sim/SimEngine.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>

namespace kivosim {

namespace {
constexpr uint8_t kRequestMarker = 0xAA;
constexpr uint8_t kReplyMarker = 0xAB;
constexpr size_t kHeader = 5;    // marker, tag, length
constexpr size_t kMinLength = 5; // address bytes, code, checksum
constexpr uint16_t kAckCode = 0xFFFF;
constexpr size_t kFlashPayload = 4 + KivoSim::kPageSize;
constexpr size_t kMaxLine = 256; // longer console lines are dropped
constexpr size_t kMaxEvents = 1000000;
constexpr size_t kRecentViolations = 20;
constexpr auto kFrameGap = std::chrono::milliseconds(100); // a stalled frame is abandoned

const uint16_t kOneByteRegs[] = {0x61, 0x62, 0x63, 0x64, 0x65, 0x66, 0x67, 0x68,
                                 0x69, 0x6A, 0x6B, 0x6D, 0x6E, 0x6F, 0x70, 0xAB};
const uint8_t kVersionSelectors[4] = {0x01, 0x10, 0x11, 0x30};
const uint16_t kBlockWrites[] = {kRegRgb, kRegHdrRgb, kRegInfoFrame, kRegFlash}; // no read
const uint16_t kBlockReads[] = {kRegInfoFrame, kRegVersions};                    // no write

// Every simulator of the process counts here too, so a test fixture sees breaches of
// simulators that are gone by the end of the test.
std::atomic<uint64_t> processViolations{0};
std::mutex recentMu;
std::deque<std::string> recent;

template <size_t N> bool listed(const uint16_t (&codes)[N], uint16_t code) {
    return std::find(std::begin(codes), std::end(codes), code) != std::end(codes);
}

uint8_t sum8(const uint8_t* p, size_t n) {
    unsigned s = 0;
    for (size_t i = 0; i < n; ++i) s += p[i];
    return uint8_t(s);
}

// Digits only, at most 6 of them; exactly `width` when width is not 0.
bool parseUnsigned(const std::string& s, unsigned& v, size_t width = 0) {
    if (s.empty() || s.size() > 6 || (width && s.size() != width)) return false;
    v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + unsigned(c - '0');
    }
    return true;
}

// "WORD ARG": the argument after a prefix that must match exactly.
bool after(const std::string& line, const char* prefix, std::string& arg) {
    const size_t n = strlen(prefix);
    if (line.compare(0, n, prefix) != 0) return false;
    arg = line.substr(n);
    return true;
}

// The lenient reading of older firmware: any blanks, any number of digits.
std::string normalised(const std::string& line) {
    std::string out;
    for (size_t i = 0; i < line.size();) {
        const size_t b = line.find_first_not_of(" \t", i);
        if (b == std::string::npos) break;
        const size_t e = std::min(line.find_first_of(" \t", b), line.size());
        if (!out.empty()) out += ' ';
        out += line.substr(b, e - b);
        i = e;
    }
    return out;
}
} // namespace

std::string code16(unsigned code) {
    const uint8_t b[2] = {uint8_t(code >> 8), uint8_t(code)};
    return "0x" + hex(b, 2);
}

std::string hex32(uint32_t v) {
    char buf[16];
    snprintf(buf, sizeof buf, "0x%08x", v);
    return buf;
}

std::string hex(const uint8_t* p, size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    s.reserve(n * 2);
    for (size_t i = 0; i < n; ++i) {
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}

Engine::Engine(const KivoSim::Options& options)
    : opt(options), flash(options.flashSize, 0xFF), start_(Clock::now()), faults_(options.faults) {
    for (uint16_t r : kOneByteRegs) regs[r] = Bytes{0};
    regs[kRegRgb] = Bytes(8, 0);
    regs[kRegHdrRgb] = Bytes(15, 0);
    if (opt.bootloader) enterBoot();
}

void Engine::setFaults(const KivoSim::Faults& faults) {
    faults_ = faults;
    faultFrames_ = faultReplies_ = faultWrites_ = faultChunks_ = 0;
}

uint32_t Engine::msSince(Clock::time_point now) const {
    auto d = std::chrono::duration_cast<std::chrono::milliseconds>(now - start_).count();
    return d < 0 ? 0 : uint32_t(d);
}

void Engine::record(Event&& ev) {
    if (events.size() < kMaxEvents) events.push_back(std::move(ev));
}

void Engine::violation(const std::string& text) {
    ++counters.violations;
    ++processViolations;
    {
        std::lock_guard<std::mutex> lock(recentMu);
        recent.push_back(text);
        if (recent.size() > kRecentViolations) recent.pop_front();
    }
    if (violationTexts.size() < kMaxEvents) violationTexts.push_back(text);
    Event ev{Event::Violation, msSince(Clock::now())};
    ev.text = text;
    record(std::move(ev));
}

void Engine::put(const Bytes& bytes, Clock::time_point notBefore) {
    if (muted_ || bytes.empty()) return;
    notBefore = std::max(notBefore, now_); // nothing leaves before the byte that caused it
    out_.push_back(Segment{bytes, notBefore, boot_ ? kBootBits : kGeneratorBits});
}

bool Engine::takeOutput(Segment& out) {
    if (out_.empty()) return false;
    out = std::move(out_.front());
    out_.pop_front();
    return true;
}

bool Engine::nextTimer(Clock::time_point& when) const {
    if (timers_.empty()) return false;
    when = timers_.front().when;
    for (const Timer& t : timers_) when = std::min(when, t.when);
    return true;
}

void Engine::tick(Clock::time_point now) {
    now_ = now;
    for (size_t i = 0; i < timers_.size();) {
        if (timers_[i].when > now) {
            ++i;
            continue;
        }
        Timer t = timers_[i];
        timers_.erase(timers_.begin() + long(i));
        now_ = t.when; // the answer is due from the timer's time, not from this late wake-up
        if (t.kind == Timer::EraseDone)
            put({'c', 'n', 'd', ' ', '1', '2', '\r', '\n'});
        else
            enterBoot();
    }
    now_ = now;
}

void Engine::noise(size_t n, unsigned speed) {
    counters.bytesIn += n;
    violation(std::to_string(n) + " bytes at " + (speed ? std::to_string(speed) : "an unknown") +
              " bit/s instead of " + std::to_string(opt.lineSpeed));
}

void Engine::feed(uint8_t byte, Clock::time_point now) {
    ++counters.bytesIn;
    now_ = now;
    if (muted_) return;
    if (boot_)
        feedBoot(byte, now);
    else
        feedGenerator(byte, now);
}

// ---- generator protocol ----

void Engine::feedGenerator(uint8_t byte, Clock::time_point now) {
    if (!frame_.empty() && now - lastFrameByte_ > kFrameGap) {
        ++counters.framesRejected;
        record(Event{Event::Rejected, msSince(now), 0, 0, 0, "incomplete"});
        frame_.clear();
    }
    if (frame_.empty()) {
        if (byte != kRequestMarker) {
            consoleByte(byte, now);
            return;
        }
        frameNeed_ = kHeader;
    }
    lastFrameByte_ = now;
    frame_.push_back(byte);
    if (frame_.size() < frameNeed_) return;
    if (frame_.size() == kHeader) {
        size_t len = size_t(frame_[3]) | size_t(frame_[4]) << 8;
        if (len < kMinLength) {
            ++counters.framesRejected;
            record(Event{Event::Rejected, msSince(now), 0, 0, 0, "length " + std::to_string(len)});
            frame_.clear();
            return;
        }
        frameNeed_ = kHeader + len;
        frame_.reserve(frameNeed_);
        return;
    }
    handleFrame(now);
    frame_.clear();
}

void Engine::handleFrame(Clock::time_point now) {
    const uint8_t* f = frame_.data();
    const size_t n = frame_.size();
    if (sum8(f, n) != 0) {
        ++counters.framesRejected;
        record(Event{Event::Rejected, msSince(now), 0, 0, 0, "checksum"});
        return;
    }
    ++counters.framesReceived;
    ++faultFrames_;
    const uint16_t code = uint16_t(f[7] | f[8] << 8);
    const uint8_t* payload = f + 9;
    const size_t plen = n - 10;

    Event ev{Event::Frame, msSince(now), code, uint32_t(f[1] | f[2] << 8)};
    if (code == kRegFlash && plen == kFlashPayload) {
        ev = Event{Event::FlashPage, ev.ms, payload[0], uint32_t(payload[1] | payload[2] << 8),
                   payload[3]};
    } else {
        ev.text = hex(payload, plen);
    }

    Bytes body;
    Clock::time_point notBefore = now;
    if (opt.strict(KivoSim::Registers) && !known(code))
        violation((code & 0x8000 ? "read of register " : "write of register ") + code16(code));
    if (code & 0x8000) {
        body = answerRead(code, payload, plen);
    } else if (answerWrite(code, payload, plen, notBefore, now)) {
        body = {uint8_t(code), uint8_t(code >> 8)};
    } else {
        record(std::move(ev));
        return;
    }
    const uint16_t replyCode = (code & 0x8000) ? code : kAckCode;
    const size_t len = body.size() + kMinLength;
    Bytes reply = {kReplyMarker,           f[1], f[2], uint8_t(len),
                   uint8_t(len >> 8),      f[5], f[6], uint8_t(replyCode),
                   uint8_t(replyCode >> 8)};
    reply.insert(reply.end(), body.begin(), body.end());
    reply.push_back(uint8_t(0x100 - sum8(reply.data(), reply.size())));

    if (faults_.noReplyToFrame && faultFrames_ == faults_.noReplyToFrame) {
        record(std::move(ev));
        return;
    }
    sendReply(reply, notBefore, ev);
    record(std::move(ev));
    if (faults_.silenceAfterFrames && faultFrames_ >= faults_.silenceAfterFrames) muted_ = true;
}

void Engine::sendReply(const Bytes& frame, Clock::time_point notBefore, Event& ev) {
    Bytes reply = frame;
    ++faultReplies_;
    if (faults_.badChecksumReply && faultReplies_ == faults_.badChecksumReply)
        reply.back() = uint8_t(reply.back() + 1);
    if (faults_.lateReply && faultReplies_ == faults_.lateReply)
        notBefore += std::chrono::milliseconds(faults_.lateReplyMs);
    if (faults_.cutReply && faultReplies_ == faults_.cutReply)
        reply.resize(std::min<size_t>(reply.size(), faults_.cutReplyBytes));
    ++counters.repliesSent;
    if (ev.kind == Event::Frame) ev.reply = hex(reply.data(), reply.size());
    put(reply, notBefore);
}

// The generator's register table: the one-byte registers both ways, the blocks one way each.
bool Engine::known(uint16_t code) const {
    const uint16_t reg = code & 0x7FFF;
    if (listed(kOneByteRegs, reg)) return true;
    return (code & 0x8000) ? listed(kBlockReads, reg) : listed(kBlockWrites, reg);
}

Bytes Engine::answerRead(uint16_t code, const uint8_t* p, size_t n) {
    const uint16_t reg = code & 0x7FFF;
    if (reg == kRegVersions) {
        for (int i = 0; i < 4; ++i) {
            if (n >= 1 && p[0] == kVersionSelectors[i]) {
                uint32_t v = opt.versions[i];
                return {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)};
            }
        }
        return {};
    }
    if (reg == kRegInfoFrame) {
        auto it = infoFrames.find(n >= 1 ? p[0] : 0);
        if (it == infoFrames.end()) return {};
        const KivoSim::InfoFrame& fr = it->second;
        Bytes out = {fr.type, fr.version, uint8_t(fr.data.size()), fr.checksum};
        out.insert(out.end(), fr.data.begin(), fr.data.end());
        return out;
    }
    auto it = regs.find(reg);
    return it == regs.end() ? Bytes{} : it->second;
}

bool Engine::answerWrite(uint16_t code, const uint8_t* p, size_t n, Clock::time_point& notBefore,
                         Clock::time_point now) {
    if (code == kRegFlash) {
        if (n != kFlashPayload) {
            violation("flash write with " + std::to_string(n) + " payload bytes");
            return false;
        }
        flashWrite(p);
        notBefore = now + std::chrono::microseconds(opt.timings.pageProgramUs);
        return true;
    }
    if (code == kRegInfoFrame) {
        storeInfoFrame(p, n);
        return true;
    }
    auto it = regs.find(code);
    const size_t want = it == regs.end() ? n : it->second.size();
    if (n != want)
        violation("register " + code16(code) + " written with " + std::to_string(n) + " bytes");
    regs[code] = Bytes(p, p + n);
    return true;
}

void Engine::storeInfoFrame(const uint8_t* p, size_t n) {
    if (n < 5) {
        violation("InfoFrame write of " + std::to_string(n) + " bytes");
        return;
    }
    KivoSim::InfoFrame fr;
    fr.type = p[1];
    fr.version = p[2];
    fr.checksum = p[4];
    fr.data.assign(p + 5, p + n);
    if (p[3] != n - 5) violation("InfoFrame length byte does not match its data");
    if (uint8_t(sum8(p + 1, n - 1)) != 0) violation("InfoFrame checksum wrong");
    infoFrames[p[0]] = std::move(fr);
}

void Engine::flashWrite(const uint8_t* p) {
    const unsigned page = unsigned(p[1] | p[2] << 8);
    ++counters.pagesWritten;
    if (p[0] == kTargetSlot)
        writeSlotPage(page, p[3], p + 4);
    else if (p[0] == kTargetPreview)
        writePreviewPage(page, p[3], p + 4);
    else
        violation("flash write to unknown target " + std::to_string(p[0]));
}

void Engine::writeSlotPage(unsigned page, unsigned flags, const uint8_t* data) {
    if (selected < 0) {
        violation("bitmap page " + std::to_string(page) + " without a selected slot");
        return;
    }
    if (page >= KivoSim::kSlotPages) {
        if (opt.strict(KivoSim::Geometry))
            violation("bitmap page " + std::to_string(page) + " beyond the slot");
        return;
    }
    SlotState& s = slots[selected];
    if (!s.erased) violation("bitmap page " + std::to_string(page) + " into an unerased slot");
    if (page != s.nextPage)
        violation("bitmap page " + std::to_string(page) + ", expected " +
                  std::to_string(s.nextPage));
    if (flags & kFlagFirst) violation("bitmap page " + std::to_string(page) + " carries 0x80");
    const size_t end = size_t(page + 1) * KivoSim::kPageSize;
    if (s.data.size() < end) s.data.resize(end, 0xFF);
    uint8_t* dst = s.data.data() + size_t(page) * KivoSim::kPageSize;
    for (unsigned i = 0; i < KivoSim::kPageSize; ++i) dst[i] &= data[i]; // flash only clears bits
    s.nextPage = page + 1;
    if (flags & kFlagLast) s.erased = false;
}

void Engine::writePreviewPage(unsigned page, unsigned flags, const uint8_t* data) {
    if (page < KivoSim::kPreviewPages) {
        violation("preview page " + std::to_string(page) + " below the preview area");
        return;
    }
    const int index = int(page / KivoSim::kPreviewPages) - 1;
    const unsigned off = page % KivoSim::kPreviewPages;
    if (index >= int(KivoSim::kPreviewIndexes) && opt.strict(KivoSim::Geometry)) {
        violation("preview page " + std::to_string(page) + " beyond the preview area");
        return;
    }
    PreviewState& pv = previews[index];
    const std::string where = "preview " + std::to_string(index) + " page " + std::to_string(off);
    const bool first = off == 0, last = off == KivoSim::kPreviewPages - 1;
    if (bool(flags & kFlagFirst) != first) violation(where + (first ? " lacks 0x80" : " has 0x80"));
    if (bool(flags & kFlagLast) != last) violation(where + (last ? " lacks 0x40" : " has 0x40"));
    if (first) {
        pv.data.assign(size_t(KivoSim::kPreviewPages) * KivoSim::kPageSize, 0xFF);
    } else if (off != pv.nextPage) {
        violation(where + ", expected page " + std::to_string(pv.nextPage));
    }
    if (pv.data.empty()) pv.data.assign(size_t(KivoSim::kPreviewPages) * KivoSim::kPageSize, 0xFF);
    std::memcpy(pv.data.data() + size_t(off) * KivoSim::kPageSize, data, KivoSim::kPageSize);
    pv.nextPage = off + 1;
}

// ---- console ----

void Engine::consoleByte(uint8_t byte, Clock::time_point now) {
    if (opt.echo) put({byte});
    if (byte == '\r' || byte == '\n') {
        std::string line;
        line.swap(line_);
        if (line.find_first_not_of(" \t") != std::string::npos) consoleLine(line, now);
        return;
    }
    if (line_.size() < kMaxLine) line_ += char(byte);
}

// Only the exact lines of the updater's console commands are understood; anything else
// changes nothing (a lenient simulator reads them as older firmware did).
void Engine::consoleLine(const std::string& received, Clock::time_point now) {
    ++counters.consoleLines;
    if (lines.size() < kMaxEvents) lines.push_back(received);
    record(Event{Event::Console, msSince(now), 0, 0, 0, received});
    const bool strict = opt.strict(KivoSim::Console);
    const std::string line = strict ? received : normalised(received);
    std::string arg;
    unsigned n = 0;
    if (after(line, "DBG ", arg) && parseUnsigned(arg, n) && (!strict || n <= 1)) {
        debug = n != 0;
    } else if (after(line, "fpw 7c ", arg) && parseUnsigned(arg, n, strict ? 2 : 0)) {
        if (!debug) violation("fpw without DBG 1");
        if (n < unsigned(KivoSim::kSlots))
            selected = int(n);
        else
            violation("fpw selects slot " + arg);
    } else if (line == "cnd 12") {
        eraseSlot(now);
    } else if (line == "ISP 32 1") {
        if (!faults_.ignoreIsp)
            timers_.push_back({now + std::chrono::milliseconds(opt.ispDelayMs), Timer::EnterBoot});
    } else if (strict) {
        violation("console line \"" + received.substr(0, 40) + "\" not understood");
    }
}

void Engine::eraseSlot(Clock::time_point now) {
    if (!debug) violation("cnd 12 without DBG 1");
    if (selected < 0) {
        violation("cnd 12 without a selected slot");
        return;
    }
    slots[selected] = SlotState();
    slots[selected].erased = true;
    ++counters.slotErases;
    if (!faults_.eraseNeverConfirmed)
        timers_.push_back(
            {now + std::chrono::milliseconds(opt.timings.slotEraseMs), Timer::EraseDone});
}

} // namespace kivosim

uint64_t KivoSim::violationsInProcess() {
    return kivosim::processViolations;
}

std::vector<std::string> KivoSim::recentViolations() {
    std::lock_guard<std::mutex> lock(kivosim::recentMu);
    return {kivosim::recent.begin(), kivosim::recent.end()};
}
