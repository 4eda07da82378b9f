#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// A virtual Kivo generator on a pseudo-terminal. start() opens the pty pair and serves the
// master side on a thread of its own; the updater opens slavePath() like any serial port.
// All accessors are thread-safe and return copies.
class KivoSim {
public:
    // Fault injection. Counts are 1-based ("the N-th"); 0 switches a fault off. Counting starts
    // when the faults take effect: at start() for Options::faults, at the call of setFaults().
    struct Faults {
        unsigned noReplyToFrame = 0;   // the N-th valid request frame gets no reply
        unsigned badChecksumReply = 0; // the N-th reply carries a wrong checksum
        unsigned lateReply = 0;        // the N-th reply is sent lateReplyMs late
        unsigned lateReplyMs = 0;
        unsigned cutReply = 0;            // the N-th reply stops after cutReplyBytes bytes
        unsigned cutReplyBytes = 0;       //   (the rest of that reply is never sent)
        unsigned nackBootWrite = 0;       // the N-th bootloader Write Memory is NACKed
        unsigned silenceAfterFrames = 0;  // after N answered frames: no output ever again
        unsigned silenceAfterChunks = 0;  // after N bootloader write chunks: no output again
        bool eraseNeverConfirmed = false; // "cnd 12" erases but never prints its answer
        bool ignoreIsp = false;           // "ISP 32 1" does nothing
        bool nackErase = false;           // bootloader Erase / Extended Erase get a NACK
        bool nackGo = false;              // bootloader Go gets a NACK (address stage)
        bool corruptFlash = false;        // after each bootloader write covering
        uint32_t corruptFlashAddress = 0; //   this address, its byte is flipped (bitwise not)
        uint8_t silenceOnBootCommand = 0; // from the first bootloader command with this opcode
                                          //   on: no output ever again (0, Get, cannot be muted)
    };

    // Rules of the hardware, all enforced by default. A breach is recorded as a violation and
    // refused as the hardware refuses it; a test that needs leniency turns one rule off by name
    // (ruleNamed), and the simulator then accepts what it would refuse, without a violation.
    enum Rule : unsigned {
        LineSpeed = 1u << 0,    // "line-speed": bytes at another speed than the mode's are noise
        WordWrites = 1u << 1,   // "word-writes": Write Memory address and length in whole words
        ErasedFlash = 1u << 2,  // "erased-flash": a differing byte is programmed only when erased
        EraseVersion = 1u << 3, // "erase-version": 0x43 up to version 2.x, 0x44 from 3.0 on
        Registers = 1u << 4,    // "registers": only the generator's register table
        Geometry = 1u << 5,     // "geometry": pages inside a pattern slot or the preview area
        Console = 1u << 6,      // "console": only the exact console command lines
    };
    static bool ruleNamed(const std::string& name, Rule& rule);
    static const char* ruleNames(); // "line-speed, word-writes, ..."

    // Hardware timings; each default and its source is in kivo-sim --help.
    struct Timings {
        unsigned slotEraseMs = 8000;     // "cnd 12" prints its answer after this
        unsigned pageProgramUs = 700;    // before a flash-write frame is acknowledged
        unsigned globalEraseMs = 40;     // version 2.x Erase (0x43) of the whole flash
        unsigned massEraseMs = 8000;     // version 3.x Extended Erase (0x44) mass erase
        unsigned halfWordProgramUs = 52; // version 2.x Write Memory, per 16 bits
        unsigned wordProgramUs = 16;     // version 3.x Write Memory, per 32 bits
        // For tests of the protocol rather than of the pace: every wait above becomes 0.
        static Timings none() { return Timings{0, 0, 0, 0, 0, 0}; }
    };

    struct Options {
        bool bootloader = false;     // start in bootloader mode instead of generator mode
        bool echo = false;           // console echoes the bytes it receives
        unsigned baud = 0;           // pace both directions at this rate; 0: no pacing
        unsigned lineSpeed = 115200; // the speed the host must set in both modes
        unsigned relaxed = 0;        // Rule bits turned off
        Timings timings;
        unsigned ispDelayMs = 10;        // "ISP 32 1": time until the bootloader listens
        uint32_t flashBase = 0x08000000; // bootloader flash model
        uint32_t flashSize = 512 * 1024;
        uint32_t flashPageSize = 2048; // unit of page-list erases
        uint16_t chipId = 0x414;
        uint8_t bootloaderVersion = 0x22; // 0x30 and above: a version 3.x bootloader
        uint32_t versions[4] = {0x01000000, 0x00010000, 0x00000100, 0x00000001}; // 0xF858
        Faults faults;
        bool strict(Rule r) const { return !(relaxed & r); }
    };

    // One-byte and block registers, InfoFrames by index.
    struct InfoFrame {
        uint8_t type = 0;
        uint8_t version = 0;
        uint8_t checksum = 0;
        std::vector<uint8_t> data;
    };

    struct Counters {
        uint64_t framesReceived = 0; // valid request frames
        uint64_t framesRejected = 0; // bad checksum or length, never answered
        uint64_t repliesSent = 0;
        uint64_t pagesWritten = 0; // flash-write frames accepted (both targets)
        uint64_t violations = 0;   // page order, flags, missing erase or selection
        uint64_t consoleLines = 0; // non-empty console lines received
        uint64_t slotErases = 0;   // "cnd 12" erases carried out
        uint64_t bootCommands = 0; // bootloader commands received (after synchronisation)
        uint64_t bootChunks = 0;   // bootloader Write Memory chunks accepted
        uint64_t bootNacks = 0;    // NACKs sent
        uint64_t bytesIn = 0;
        uint64_t bytesOut = 0;
    };

    static constexpr int kSlots = 10;
    static constexpr unsigned kPageSize = 256;
    static constexpr unsigned kPreviewPages = 192;
    static constexpr unsigned kSlotPages = 24300;   // one 1920 x 1080 bitmap of 3 bytes a pixel
    static constexpr unsigned kPreviewIndexes = 46; // 36 fixed patterns, then the ten slots

    KivoSim();
    explicit KivoSim(const Options& options);
    ~KivoSim(); // stops the thread and closes the pty
    KivoSim(const KivoSim&) = delete;
    KivoSim& operator=(const KivoSim&) = delete;

    bool start(); // false when no pty could be opened; the reason went to stderr
    void stop();  // bounded: the thread polls with a short time-out
    std::string slavePath() const;

    // The line is dropped (the master is closed), as if the generator had been unplugged.
    void dropLine();
    bool lineDropped() const;

    bool inBootloader() const;
    void setFaults(const Faults& faults);
    void setEcho(bool on);

    std::vector<uint8_t> slot(int n) const;        // pattern bitmap as written, whole pages
    std::vector<uint8_t> preview(int index) const; // preview index i: 192 pages at (i+1)*192
    std::vector<int> previewIndexes() const;       // indexes with at least one page written
    int selectedSlot() const;                      // -1 when no "fpw 7c NN" was seen
    bool debugMode() const;                        // "DBG n" with n != 0
    std::vector<uint8_t> flash() const;            // bootloader flash model
    std::vector<uint8_t> reg(uint16_t code) const; // stored bytes of a register (bit 15 clear)
    void setReg(uint16_t code, const std::vector<uint8_t>& value);
    std::vector<std::pair<unsigned, InfoFrame>> infoFrames() const;
    std::vector<std::string> consoleLines() const; // each received line, without line end
    std::vector<std::string> violationLog() const; // one text per violation
    Counters counters() const;
    std::string transcriptJson() const; // frames, console lines, boot commands, registers, flash
    bool writeTranscript(const std::string& path) const;
    bool dumpPictures(const std::string& dir) const; // slot-N.ppm and preview-N.ppm by slot

    // Violations of every simulator of this process so far, and the last few texts: a test
    // fixture compares them before and after each test.
    static uint64_t violationsInProcess();
    static std::vector<std::string> recentViolations();

    // Generator request parser on a byte buffer, independent of any pty: feeds the bytes as if
    // received and returns what the generator would send (no pacing, no delays). For fuzzing.
    static std::vector<uint8_t> parseForTest(const uint8_t* data, size_t len, bool bootloader);

    struct Impl;

private:
    std::unique_ptr<Impl> d;
};
