#pragma once
// The simulated generator's behaviour, free of any pty or thread: bytes in, timed bytes out.
#include "sim/KivoSim.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

namespace kivosim {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

// Output that must not go on the line before notBefore.
struct Segment {
    Bytes bytes;
    Clock::time_point notBefore;
    unsigned bitsPerByte; // on the line: 10 for 8N1, 11 for 8E1
};

// One transcript entry; kept small because a full pattern upload makes 24300 of them.
struct Event {
    enum Kind : uint8_t { Frame, FlashPage, Rejected, Console, Boot, Violation, Mode };
    Event(Kind k, uint32_t t, uint32_t a_ = 0, uint32_t b_ = 0, uint32_t c_ = 0,
          std::string text_ = std::string())
        : kind(k), ms(t), a(a_), b(b_), c(c_), text(std::move(text_)) {}
    Kind kind;
    uint32_t ms;       // since start
    uint32_t a;        // Frame: code; FlashPage: target; Boot: command
    uint32_t b;        // Frame: tag;  FlashPage: page;   Boot: address
    uint32_t c;        //              FlashPage: flags;  Boot: length
    std::string text;  // Frame: payload hex; Console/Violation/Mode: text; Boot: result
    std::string reply; // Frame: reply hex, empty when none was sent
};

struct SlotState {
    Bytes data;
    bool erased = false; // since the last "cnd 12", no last page yet
    unsigned nextPage = 0;
};

struct PreviewState {
    Bytes data;
    unsigned nextPage = 0; // offset within the preview expected next
};

class Engine {
public:
    explicit Engine(const KivoSim::Options& options);

    void setStart(Clock::time_point t) { start_ = t; }
    void feed(uint8_t byte, Clock::time_point now);
    void tick(Clock::time_point now); // fires due timers
    bool nextTimer(Clock::time_point& when) const;
    bool takeOutput(Segment& out); // next segment for the line, oldest first
    void setFaults(const KivoSim::Faults& faults);
    // n bytes that came at the wrong line speed: noise, never answered.
    void noise(size_t n, unsigned speed);

    bool inBootloader() const { return boot_; }
    bool muted() const { return muted_; }

    // State read by the accessors (under the owner's lock).
    KivoSim::Options opt;
    KivoSim::Counters counters;
    SlotState slots[KivoSim::kSlots];
    std::map<int, PreviewState> previews;
    std::map<uint16_t, Bytes> regs;
    std::map<unsigned, KivoSim::InfoFrame> infoFrames;
    Bytes flash;
    int selected = -1;
    bool debug = false;
    std::vector<std::string> lines;
    std::vector<std::string> violationTexts;
    std::vector<Event> events;

private:
    enum class BootStep {
        Sync,
        Cmd,
        Complement,
        ReadAddr,
        ReadLen,
        GoAddr,
        WriteAddr,
        WriteLen,
        WriteData,
        EraseCount,
        EraseGlobalCheck,
        ErasePages,
        ExtCount,
        ExtSpecialCheck,
        ExtPages
    };
    struct Timer {
        Clock::time_point when;
        enum Kind { EraseDone, EnterBoot } kind;
    };

    // generator mode
    void feedGenerator(uint8_t byte, Clock::time_point now);
    void handleFrame(Clock::time_point now);
    bool known(uint16_t code) const;
    Bytes answerRead(uint16_t code, const uint8_t* p, size_t n);
    bool answerWrite(uint16_t code, const uint8_t* p, size_t n, Clock::time_point& notBefore,
                     Clock::time_point now);
    void flashWrite(const uint8_t* p);
    void writeSlotPage(unsigned page, unsigned flags, const uint8_t* data);
    void writePreviewPage(unsigned page, unsigned flags, const uint8_t* data);
    void storeInfoFrame(const uint8_t* p, size_t n);
    void sendReply(const Bytes& frame, Clock::time_point notBefore, Event& ev);
    void consoleByte(uint8_t byte, Clock::time_point now);
    void consoleLine(const std::string& line, Clock::time_point now);
    void eraseSlot(Clock::time_point now);
    void violation(const std::string& text);

    // bootloader mode
    void feedBoot(uint8_t byte, Clock::time_point now);
    void bootCommand(uint8_t cmd, Clock::time_point now);
    void bootStage(Clock::time_point now);
    void bootGet();
    void bootRead();
    void bootGo();
    void bootWriteData(Clock::time_point now);
    Clock::duration programTime(uint32_t n) const;
    const char* refusedWrite(uint32_t len) const;
    void bootErasePages(bool extended);
    void bootMassErase(const char* what);
    bool supported(uint8_t cmd) const;
    bool validAddress(uint32_t addr, uint32_t len) const;
    bool addressPacket(uint32_t& addr) const;
    void expect(BootStep step, size_t n);
    void ack() { put({0x79}); }
    void nack();
    void bootEvent(uint8_t cmd, uint32_t addr, uint32_t len, const char* result);
    void enterBoot();
    void leaveBoot();

    void put(const Bytes& bytes, Clock::time_point notBefore = Clock::time_point());
    uint32_t msSince(Clock::time_point now) const;
    void record(Event&& ev);

    Clock::time_point start_;
    Clock::time_point now_; // time of the byte or timer being handled
    std::deque<Segment> out_;
    std::vector<Timer> timers_;
    bool boot_ = false;
    bool muted_ = false;
    KivoSim::Faults faults_;
    uint64_t faultFrames_ = 0, faultReplies_ = 0, faultWrites_ = 0, faultChunks_ = 0;

    Bytes frame_;
    size_t frameNeed_ = 0;
    Clock::time_point lastFrameByte_;
    std::string line_;

    BootStep step_ = BootStep::Sync;
    uint8_t cmd_ = 0;
    Bytes acc_;
    size_t need_ = 0;
    uint32_t addr_ = 0;
    uint32_t count_ = 0; // length or page count byte(s) of the current command
};

// Register keys are codes with bit 15 clear.
constexpr uint16_t kRegFlash = 0x7878;
constexpr uint16_t kRegInfoFrame = 0x00A2;
constexpr uint16_t kRegVersions = 0x7858;
constexpr uint16_t kRegRgb = 0x6C;
constexpr uint16_t kRegHdrRgb = 0x7C;
constexpr uint8_t kTargetSlot = 0x30;
constexpr uint8_t kTargetPreview = 0x21;
constexpr uint8_t kFlagFirst = 0x80;
constexpr uint8_t kFlagLast = 0x40;
constexpr unsigned kGeneratorBits = 10; // 8N1
constexpr unsigned kBootBits = 11;      // 8E1

std::string hex(const uint8_t* p, size_t n);
std::string code16(unsigned code); // "0x0062"
std::string hex32(uint32_t v);     // "0x08000000"

} // namespace kivosim
