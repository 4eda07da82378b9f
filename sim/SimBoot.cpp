// The microcontroller's system bootloader on the simulated line.
#include "sim/SimEngine.h"

#include "bootloader/Stm32Bootload.h"

#include <algorithm>

namespace kivosim {

namespace {
// The client's protocol table, so both ends speak the same bytes.
using P = Stm32Proto;
constexpr uint8_t kSync = P::Sync, kAck = P::Ack, kNack = P::Nack;
constexpr uint8_t kGet = P::CmdGet, kGetVersion = P::CmdGetVersion, kGetId = P::CmdGetId,
                  kRead = P::CmdReadMemory, kGo = P::CmdGo, kWrite = P::CmdWriteMemory,
                  kErase = P::CmdErase, kExtErase = P::CmdExtendedErase,
                  kWriteUnprotect = P::CmdWriteUnprotect;
constexpr uint32_t kExtSpecial = 0xFFF0; // codes from here on are not page counts
constexpr uint32_t kMassErase = 0xFFFF, kBank1Erase = 0xFFFE, kBank2Erase = 0xFFFD;
constexpr uint8_t kOptionBytes[2] = {0x00, 0x00};
constexpr uint8_t kVersion3 = 0x30; // from here on Extended Erase replaces Erase
constexpr uint32_t kWord = P::Word; // flash is programmed in whole 32-bit words

uint8_t xor8(const uint8_t* p, size_t n, uint8_t seed = 0) {
    for (size_t i = 0; i < n; ++i) seed ^= p[i];
    return seed;
}
} // namespace

void Engine::enterBoot() {
    boot_ = true;
    step_ = BootStep::Sync;
    frame_.clear();
    line_.clear();
    record(Event{Event::Mode, msSince(Clock::now()), 0, 0, 0, "bootloader"});
}

void Engine::leaveBoot() {
    boot_ = false;
    record(Event{Event::Mode, msSince(Clock::now()), 0, 0, 0, "generator"});
}

void Engine::nack() {
    ++counters.bootNacks;
    put({kNack});
}

void Engine::expect(BootStep step, size_t n) {
    step_ = step;
    need_ = n;
    acc_.clear();
}

bool Engine::supported(uint8_t cmd) const {
    switch (cmd) {
    case kGet:
    case kGetVersion:
    case kGetId:
    case kRead:
    case kGo:
    case kWrite:
    case kWriteUnprotect:
        return true;
    case kErase:
        return opt.bootloaderVersion < kVersion3 || !opt.strict(KivoSim::EraseVersion);
    case kExtErase:
        return opt.bootloaderVersion >= kVersion3 || !opt.strict(KivoSim::EraseVersion);
    default:
        return false;
    }
}

void Engine::bootEvent(uint8_t cmd, uint32_t addr, uint32_t len, const char* result) {
    record(Event{Event::Boot, msSince(Clock::now()), cmd, addr, len, result});
}

bool Engine::validAddress(uint32_t addr, uint32_t len) const {
    return addr >= opt.flashBase && len <= flash.size() &&
           addr - opt.flashBase <= flash.size() - len;
}

bool Engine::addressPacket(uint32_t& addr) const {
    addr = uint32_t(acc_[0]) << 24 | uint32_t(acc_[1]) << 16 | uint32_t(acc_[2]) << 8 | acc_[3];
    return xor8(acc_.data(), 4) == acc_[4];
}

void Engine::feedBoot(uint8_t byte, Clock::time_point now) {
    switch (step_) {
    case BootStep::Sync:
        if (byte == kSync) {
            ack();
            step_ = BootStep::Cmd;
            bootEvent(kSync, 0, 0, "sync");
        }
        return; // anything else before synchronisation is line noise
    case BootStep::Cmd:
        cmd_ = byte;
        step_ = BootStep::Complement;
        return;
    case BootStep::Complement:
        step_ = BootStep::Cmd;
        if (byte != uint8_t(cmd_ ^ 0xFF) || !supported(cmd_)) {
            if (byte == uint8_t(cmd_ ^ 0xFF) && (cmd_ == kErase || cmd_ == kExtErase))
                violation("erase command 0x" + hex(&cmd_, 1) + " that this version does not offer");
            bootEvent(cmd_, 0, 0, "unknown");
            nack();
            return;
        }
        ++counters.bootCommands;
        if (faults_.silenceOnBootCommand && cmd_ == faults_.silenceOnBootCommand) muted_ = true;
        bootCommand(cmd_, now);
        return;
    default:
        acc_.push_back(byte);
        if (acc_.size() == need_) bootStage(now);
    }
}

void Engine::bootCommand(uint8_t cmd, Clock::time_point) {
    switch (cmd) {
    case kGet:
        bootGet();
        return;
    case kGetVersion:
        put({kAck, opt.bootloaderVersion, kOptionBytes[0], kOptionBytes[1], kAck});
        bootEvent(cmd, 0, 0, "ack");
        return;
    case kGetId:
        put({kAck, 0x01, uint8_t(opt.chipId >> 8), uint8_t(opt.chipId), kAck});
        bootEvent(cmd, 0, 0, "ack");
        return;
    case kRead:
        ack();
        return expect(BootStep::ReadAddr, 5);
    case kGo:
        ack();
        return expect(BootStep::GoAddr, 5);
    case kWrite:
        ack();
        return expect(BootStep::WriteAddr, 5);
    case kErase:
        ack();
        return expect(BootStep::EraseCount, 1);
    case kExtErase:
        ack();
        return expect(BootStep::ExtCount, 2);
    case kWriteUnprotect:
        put({kAck, kAck});
        bootEvent(cmd, 0, 0, "ack");
        step_ = BootStep::Sync; // the chip resets and must be synchronised again
        return;
    }
}

void Engine::bootGet() {
    Bytes cmds;
    for (uint8_t c :
         {kGet, kGetVersion, kGetId, kRead, kGo, kWrite, kErase, kExtErase, kWriteUnprotect})
        if (supported(c)) cmds.push_back(c);
    // Built by appending: an insert after a brace-initialised head confuses GCC 12's bounds check.
    Bytes reply;
    reply.reserve(cmds.size() + 4);
    reply.push_back(kAck);
    reply.push_back(uint8_t(cmds.size()));
    reply.push_back(opt.bootloaderVersion);
    for (uint8_t c : cmds) reply.push_back(c);
    reply.push_back(kAck);
    put(reply);
    bootEvent(kGet, 0, 0, "ack");
}

void Engine::bootStage(Clock::time_point now) {
    const BootStep step = step_;
    step_ = BootStep::Cmd;
    switch (step) {
    case BootStep::ReadAddr:
    case BootStep::WriteAddr:
    case BootStep::GoAddr:
        if (!addressPacket(addr_) || !validAddress(addr_, 1)) {
            bootEvent(cmd_, addr_, 0, "bad address");
            return nack();
        }
        if (step == BootStep::GoAddr) return bootGo();
        ack();
        return expect(step == BootStep::ReadAddr ? BootStep::ReadLen : BootStep::WriteLen,
                      step == BootStep::ReadAddr ? 2 : 1);
    case BootStep::ReadLen:
        return bootRead();
    case BootStep::WriteLen:
        count_ = acc_[0];
        return expect(BootStep::WriteData, count_ + 2);
    case BootStep::WriteData:
        return bootWriteData(now);
    case BootStep::EraseCount:
        count_ = acc_[0];
        if (count_ == 0xFF) return expect(BootStep::EraseGlobalCheck, 1);
        return expect(BootStep::ErasePages, count_ + 2);
    case BootStep::EraseGlobalCheck:
        if (acc_[0] != 0x00) {
            bootEvent(cmd_, 0, 0, "bad checksum");
            return nack();
        }
        return bootMassErase("global erase");
    case BootStep::ErasePages:
        return bootErasePages(false);
    case BootStep::ExtCount:
        count_ = uint32_t(acc_[0]) << 8 | acc_[1];
        if (count_ >= kExtSpecial) return expect(BootStep::ExtSpecialCheck, 1);
        return expect(BootStep::ExtPages, 2 * (count_ + 1) + 1);
    case BootStep::ExtSpecialCheck:
        if (acc_[0] != uint8_t((count_ >> 8) ^ count_) ||
            (count_ != kMassErase && count_ != kBank1Erase && count_ != kBank2Erase)) {
            bootEvent(cmd_, 0, count_, "bad special erase");
            return nack();
        }
        return bootMassErase("mass erase");
    case BootStep::ExtPages:
        return bootErasePages(true);
    default:
        return;
    }
}

void Engine::bootRead() {
    const uint32_t len = uint32_t(acc_[0]) + 1;
    if (acc_[1] != uint8_t(acc_[0] ^ 0xFF) || !validAddress(addr_, len)) {
        bootEvent(kRead, addr_, len, "nack");
        return nack();
    }
    Bytes reply(len + 1);
    reply[0] = kAck;
    const auto from = flash.begin() + long(addr_ - opt.flashBase);
    std::copy(from, from + len, reply.begin() + 1);
    put(reply);
    bootEvent(kRead, addr_, len, "ack");
}

void Engine::bootGo() {
    if (faults_.nackGo) {
        bootEvent(kGo, addr_, 0, "nack (fault)");
        return nack();
    }
    ack();
    bootEvent(kGo, addr_, 0, "ack");
    leaveBoot();
}

// Time the chip needs to program n bytes before it acknowledges them.
Clock::duration Engine::programTime(uint32_t n) const {
    const KivoSim::Timings& t = opt.timings;
    const uint64_t us = opt.bootloaderVersion >= kVersion3
                            ? uint64_t(n + kWord - 1) / kWord * t.wordProgramUs
                            : uint64_t(n + 1) / 2 * t.halfWordProgramUs;
    return std::chrono::microseconds(us);
}

// What a chip refuses after the data: a part word, or a byte that is not erased and differs.
const char* Engine::refusedWrite(uint32_t len) const {
    if (opt.strict(KivoSim::WordWrites) && (addr_ % kWord || len % kWord))
        return "bootloader write of part of a word";
    const uint8_t* dst = flash.data() + (addr_ - opt.flashBase);
    for (uint32_t i = 0; opt.strict(KivoSim::ErasedFlash) && i < len; ++i)
        if (dst[i] != 0xFF && dst[i] != acc_[i]) return "bootloader write into unerased flash";
    return nullptr;
}

void Engine::bootWriteData(Clock::time_point now) {
    const uint32_t len = count_ + 1;
    ++faultWrites_;
    if (xor8(acc_.data(), len, uint8_t(count_)) != acc_[len] || !validAddress(addr_, len)) {
        bootEvent(kWrite, addr_, len, "nack");
        return nack();
    }
    if (faults_.nackBootWrite && faultWrites_ == faults_.nackBootWrite) {
        bootEvent(kWrite, addr_, len, "nack (fault)");
        return nack();
    }
    if (const char* refused = refusedWrite(len)) {
        violation(std::string(refused) + " at " + hex32(addr_) + ", " + std::to_string(len) +
                  " bytes");
        bootEvent(kWrite, addr_, len, "nack");
        return nack();
    }
    uint8_t* dst = flash.data() + (addr_ - opt.flashBase);
    for (uint32_t i = 0; i < len; ++i) dst[i] &= acc_[i]; // programming only clears bits
    const uint32_t bad = faults_.corruptFlashAddress;
    if (faults_.corruptFlash && bad >= addr_ && bad - addr_ < len)
        dst[bad - addr_] = uint8_t(~dst[bad - addr_]);
    ++counters.bootChunks;
    ++faultChunks_;
    put({kAck}, now + programTime(len));
    bootEvent(kWrite, addr_, len, "ack");
    if (faults_.silenceAfterChunks && faultChunks_ >= faults_.silenceAfterChunks) muted_ = true;
}

void Engine::bootErasePages(bool extended) {
    const size_t width = extended ? 2 : 1;
    const size_t n = size_t(count_) + 1;
    const uint8_t seed = extended ? uint8_t((count_ >> 8) ^ count_) : uint8_t(count_);
    const uint8_t check = xor8(acc_.data(), n * width, seed);
    const uint32_t pages = opt.flashPageSize ? uint32_t(flash.size() / opt.flashPageSize) : 0;
    bool ok = check == acc_[n * width];
    for (size_t i = 0; ok && i < n; ++i) {
        uint32_t page = extended ? uint32_t(acc_[2 * i]) << 8 | acc_[2 * i + 1] : acc_[i];
        ok = page < pages;
    }
    if (!ok || faults_.nackErase) {
        bootEvent(cmd_, 0, uint32_t(n), ok ? "nack (fault)" : "nack");
        return nack();
    }
    for (size_t i = 0; i < n; ++i) {
        uint32_t page = extended ? uint32_t(acc_[2 * i]) << 8 | acc_[2 * i + 1] : acc_[i];
        std::fill_n(flash.begin() + long(page) * opt.flashPageSize, opt.flashPageSize, 0xFF);
    }
    ack();
    bootEvent(cmd_, 0, uint32_t(n), "ack");
}

void Engine::bootMassErase(const char* what) {
    if (faults_.nackErase) {
        bootEvent(cmd_, 0, 0, "nack (fault)");
        return nack();
    }
    std::fill(flash.begin(), flash.end(), 0xFF);
    const unsigned ms = cmd_ == kErase ? opt.timings.globalEraseMs : opt.timings.massEraseMs;
    put({kAck}, now_ + std::chrono::milliseconds(ms));
    bootEvent(cmd_, 0, 0, what);
}

} // namespace kivosim
