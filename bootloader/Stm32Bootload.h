#pragma once
// Host side of the STM32 system-memory bootloader's USART protocol. One loader serves one
// firmware run: init opens and synchronises, then the command operations may be called in any
// order. Results are plain ints (see Stm32Bootload::Result); detail goes to stdout as traces.
#include "serial/SerialIo.h"

#include <cstdint>
#include <vector>

// Wire constants and waits of the protocol, in one place.
struct Stm32Proto {
    static constexpr unsigned char Sync = 0x7F;
    static constexpr unsigned char Ack = 0x79;
    static constexpr unsigned char Nack = 0x1F;
    static constexpr unsigned char CmdGet = 0x00;
    static constexpr unsigned char CmdGetVersion = 0x01; // version and option bytes
    static constexpr unsigned char CmdGetId = 0x02;
    static constexpr unsigned char CmdReadMemory = 0x11;
    static constexpr unsigned char CmdGo = 0x21;
    static constexpr unsigned char CmdWriteMemory = 0x31;
    static constexpr unsigned char CmdErase = 0x43;
    static constexpr unsigned char CmdExtendedErase = 0x44;
    static constexpr unsigned char CmdWriteUnprotect = 0x73;
    static constexpr unsigned char Missing = 0xFF; // read_byte's answer when no byte came
    static constexpr unsigned MaxChunk = 256;      // bytes per Write/Read Memory command
    static constexpr unsigned Word = 4;            // flash programs whole words only

    static constexpr uint32_t ReplyMs = 2000;          // per reply byte
    static constexpr uint32_t MassEraseMs = 10000;     // final ACK of the extended mass erase
    static constexpr unsigned QuietMs = 2000;          // input quiet before the sync byte
    static constexpr unsigned UnprotectSettleMs = 200; // target resets after Write Unprotect
    static constexpr unsigned EraseSettleMs = 500;     // after the erase ACK
};

class Stm32Bootload {
public:
    enum Result {
        Ok = 0,
        OpenFailed = 1, // init: the serial port cannot be opened
        BadReply = 2,   // missing byte, NACK or other byte where an ACK/length/data was due
        NoSync = 3,     // the sync byte got neither ACK nor NACK
        Stopped = 4,    // write_flash: the progress callback asked to stop before the end
        NoStream = 5,   // called before init; nothing was sent
    };
    using Sleeper = void (*)(unsigned ms);

    Stm32Bootload();
    // Adopts an open stream (owned from now on) without synchronising; for in-memory peers.
    explicit Stm32Bootload(SerialIo* stream);
    // Virtual so that a derived loader held through a base pointer is destroyed whole.
    virtual ~Stm32Bootload();
    Stm32Bootload(const Stm32Bootload&) = delete;
    Stm32Bootload& operator=(const Stm32Bootload&) = delete;

    // Called by write_flash before moving past each chunk; false stops the write.
    virtual bool progress(double percent);

    // Opens dev at 115200 bit/s, 8 data bits, even parity, 1 stop bit, then connect_to_bl.
    int init(const char* dev);
    // Discards input until quiet for 2 s, sends 0x7F; ACK or NACK both mean "listening".
    int connect_to_bl();

    int get_version(unsigned char* major, unsigned char* minor);
    // Like get_version, but keeps the command codes the bootloader offers (Get reply).
    // version may be null.
    int get_commands(std::vector<unsigned char>& commands, unsigned char* version = nullptr);
    int get_chip_id(unsigned short* pid);
    int write_unprotect();
    // Erase (0x43). Global erase when n is 0xFF or pages is null. Otherwise n is the number of
    // pages to erase (1 to 254) listed in pages[0..n-1]; the count byte sent is n - 1, as the
    // bootloader expects. n == 0 with a page list erases nothing and sends nothing.
    int erase_flash(unsigned char n, unsigned char* pages);
    // Extended Erase (0x44), always the global mass erase; the arguments are ignored.
    int extended_erase_flash(unsigned char n, unsigned char* pages);
    // Writes len bytes from addr on in chunks of 256, in whole words: 0xFF fills the word
    // before an unaligned addr and after the last byte. progress() gets the share of image
    // bytes sent before each chunk. Returns Stopped when it returned false while bytes were left.
    int write_flash(unsigned int addr, const unsigned char* data, unsigned int len);
    // Reads len bytes from addr on into buf, in chunks of at most 256 (Read Memory, 0x11).
    // Both transfers return BadReply without sending anything when len > 0 and the buffer is null.
    int read_memory(unsigned int addr, unsigned char* buf, unsigned int len);
    int go_command(unsigned int addr);

    // Building blocks.
    int send_command(unsigned char cmd); // cmd and ~cmd in one write; 0, or 2 if short
    int send_packet_with_checksum(const unsigned char* data, unsigned int len, unsigned char seed);
    int send_address(unsigned int addr); // four bytes MSB first plus their XOR
    unsigned char read_byte();           // one reply byte, 0xFF when none came

    // Replaces the fixed waits (200 ms after unprotect, 500 ms after erase); null restores them.
    void set_sleeper(Sleeper fn);

protected:
    SerialIo* sio = nullptr;
    uint32_t timeoutMs = Stm32Proto::ReplyMs;

private:
    int expect_ack();
    bool read_exact(unsigned char* buf, unsigned n);
    int write_chunk(unsigned int addr, const unsigned char* data, unsigned int n);
    int read_chunk(unsigned int addr, unsigned char* buf, unsigned int n);
    int read_get_reply(std::vector<unsigned char>* commands, unsigned char& version);
    void pause(unsigned ms);

    Sleeper sleeper = nullptr;
};
