#include "bootloader/Stm32Bootload.h"

#include <algorithm>
#include <cstdio>
#include <unistd.h>

using P = Stm32Proto;

Stm32Bootload::Stm32Bootload() = default;

Stm32Bootload::Stm32Bootload(SerialIo* stream) : sio(stream) {}

Stm32Bootload::~Stm32Bootload() {
    delete sio;
}

bool Stm32Bootload::progress(double) {
    return true;
}

void Stm32Bootload::set_sleeper(Sleeper fn) {
    sleeper = fn;
}

void Stm32Bootload::pause(unsigned ms) {
    if (sleeper)
        sleeper(ms);
    else
        usleep(ms * 1000u);
}

int Stm32Bootload::init(const char* dev) {
    delete sio;
    sio = SerialIo::PlatformSIo();
    if (!sio || !dev) return OpenFailed;
    if (!sio->initialize(dev, SerialIo::Baud115200, 8, SerialIo::ParityEven, 1)) return OpenFailed;
    return connect_to_bl();
}

int Stm32Bootload::connect_to_bl() {
    if (!sio) return NoStream;
    sio->flush(P::QuietMs);
    sio->writeByte(P::Sync);
    unsigned char res = read_byte();
    printf("res: 0x%02x\n", res);
    return (res == P::Ack || res == P::Nack) ? Ok : NoSync;
}

// ---- building blocks ------------------------------------------------------------------------

int Stm32Bootload::send_command(unsigned char cmd) {
    if (!sio) return NoStream;
    const unsigned char bytes[2] = {cmd, static_cast<unsigned char>(cmd ^ 0xFF)};
    return sio->write(bytes, 2) == 2 ? Ok : BadReply;
}

int Stm32Bootload::send_packet_with_checksum(const unsigned char* data, unsigned int len,
                                             unsigned char seed) {
    if (!sio) return NoStream;
    unsigned char sum = seed;
    for (unsigned i = 0; i < len; ++i) sum ^= data[i];
    if (len) sio->write(data, len);
    sio->writeByte(sum);
    return Ok;
}

int Stm32Bootload::send_address(unsigned int addr) {
    const unsigned char bytes[4] = {
        static_cast<unsigned char>(addr >> 24), static_cast<unsigned char>(addr >> 16),
        static_cast<unsigned char>(addr >> 8), static_cast<unsigned char>(addr)};
    return send_packet_with_checksum(bytes, 4, 0);
}

unsigned char Stm32Bootload::read_byte() {
    if (!sio) return P::Missing;
    int ready = sio->readyForRead(timeoutMs);
    if (ready != 1) {
        printf("readyForRead: %d\n", ready);
        return P::Missing;
    }
    unsigned char b = P::Missing;
    sio->read(&b, 1);
    return b;
}

int Stm32Bootload::expect_ack() {
    unsigned char b = read_byte();
    if (b == P::Ack) return Ok;
    printf("expected 0x%02x, received 0x%02x\n", P::Ack, b);
    return BadReply;
}

// Reads n raw bytes, one wait per byte so a silent peer costs at most one time-out. Unlike
// read_byte, 0xFF is a valid byte here (memory contents).
bool Stm32Bootload::read_exact(unsigned char* buf, unsigned n) {
    for (unsigned i = 0; i < n; ++i) {
        int ready = sio->readyForRead(timeoutMs);
        if (ready != 1) {
            printf("readyForRead: %d\n", ready);
            return false;
        }
        if (sio->read(buf + i, 1) != 1) return false;
    }
    return true;
}

// ---- commands -------------------------------------------------------------------------------

// Get: ACK, length N, version, N command codes, ACK. Stops at the first missing byte so a
// silent peer does not cost N time-outs.
int Stm32Bootload::read_get_reply(std::vector<unsigned char>* commands, unsigned char& version) {
    send_command(P::CmdGet);
    if (expect_ack()) return BadReply;
    unsigned char n = read_byte();
    if (n == P::Missing) return BadReply;
    version = read_byte();
    if (version == P::Missing) return BadReply;
    for (unsigned i = 0; i < n; ++i) {
        unsigned char code = read_byte();
        if (code == P::Missing) return BadReply;
        if (commands) commands->push_back(code);
    }
    return Ok;
}

int Stm32Bootload::get_version(unsigned char* major, unsigned char* minor) {
    if (!sio) return NoStream;
    unsigned char version = 0;
    if (read_get_reply(nullptr, version)) return BadReply;
    if (major) *major = version >> 4;
    if (minor) *minor = version & 0x0F;
    printf("%s[0x%02x]\n", "get_version", version);
    return expect_ack();
}

int Stm32Bootload::get_commands(std::vector<unsigned char>& commands, unsigned char* version) {
    commands.clear();
    if (!sio) return NoStream;
    unsigned char v = 0;
    if (read_get_reply(&commands, v) || expect_ack()) {
        commands.clear();
        return BadReply;
    }
    if (version) *version = v;
    return Ok;
}

int Stm32Bootload::get_chip_id(unsigned short* pid) {
    if (!sio) return NoStream;
    send_command(P::CmdGetId);
    if (expect_ack()) return BadReply;
    unsigned char len = read_byte();
    if (len != 1) {
        printf("expected 0x%02x, received 0x%02x\n", 1, len);
        return BadReply;
    }
    unsigned char hi = read_byte();
    if (hi == P::Missing) return BadReply;
    unsigned char lo = read_byte();
    if (lo == P::Missing) return BadReply;
    if (expect_ack()) return BadReply;
    if (pid) *pid = static_cast<unsigned short>(hi * 256 + lo);
    return Ok;
}

int Stm32Bootload::write_unprotect() {
    if (!sio) return NoStream;
    send_command(P::CmdWriteUnprotect);
    if (expect_ack() || expect_ack()) return BadReply;
    pause(P::UnprotectSettleMs);
    return connect_to_bl();
}

int Stm32Bootload::erase_flash(unsigned char n, unsigned char* pages) {
    if (!sio) return NoStream;
    const bool global = n == 0xFF || !pages;
    if (!global && n == 0) return Ok;
    send_command(P::CmdErase);
    if (expect_ack()) return BadReply;
    if (global) {
        sio->writeByte(0xFF);
        sio->writeByte(0x00);
    } else {
        const unsigned char count = n - 1;
        sio->writeByte(count);
        send_packet_with_checksum(pages, n, count);
    }
    if (expect_ack()) return BadReply;
    pause(P::EraseSettleMs);
    return Ok;
}

int Stm32Bootload::extended_erase_flash(unsigned char, unsigned char*) {
    if (!sio) return NoStream;
    send_command(P::CmdExtendedErase);
    if (expect_ack()) return BadReply;
    sio->writeByte(0xFF);
    sio->writeByte(0xFF);
    sio->writeByte(0x00);
    const uint32_t saved = timeoutMs;
    timeoutMs = P::MassEraseMs;
    int res = expect_ack();
    timeoutMs = saved;
    return res;
}

int Stm32Bootload::write_chunk(unsigned int addr, const unsigned char* data, unsigned int n) {
    send_command(P::CmdWriteMemory);
    if (expect_ack()) return BadReply;
    send_address(addr);
    if (expect_ack()) return BadReply;
    const unsigned char count = static_cast<unsigned char>(n - 1);
    sio->writeByte(count);
    send_packet_with_checksum(data, n, count);
    return expect_ack();
}

// Flash takes whole 32-bit words: an image that starts or ends inside a word is sent with
// 0xFF (erased) around it. Chunks stay 256-byte aligned from the word below addr; progress and
// the stop point count image bytes.
int Stm32Bootload::write_flash(unsigned int addr, const unsigned char* data, unsigned int len) {
    if (!sio) return NoStream;
    if (len == 0) return Ok;
    if (!data) return BadReply;
    const uint64_t lead = addr % P::Word, end = lead + len;
    const uint64_t padded = (end + P::Word - 1) / P::Word * P::Word;
    unsigned char chunk[P::MaxChunk];
    uint64_t off = 0;
    for (bool more = true; off < padded && more;) {
        const unsigned n = static_cast<unsigned>(std::min<uint64_t>(P::MaxChunk, padded - off));
        const uint64_t from = std::max(off, lead), to = std::min(off + n, end);
        std::fill(chunk, chunk + n, 0xFF);
        std::copy(data + (from - lead), data + (to - lead), chunk + (from - off));
        if (write_chunk(static_cast<unsigned>(addr - lead + off), chunk, n)) return BadReply;
        more = progress((from - lead) * 100.0 / len);
        off += n;
    }
    return off < padded ? Stopped : Ok;
}

int Stm32Bootload::read_chunk(unsigned int addr, unsigned char* buf, unsigned int n) {
    send_command(P::CmdReadMemory);
    if (expect_ack()) return BadReply;
    send_address(addr);
    if (expect_ack()) return BadReply;
    send_command(static_cast<unsigned char>(n - 1)); // count and its complement
    if (expect_ack()) return BadReply;
    return read_exact(buf, n) ? Ok : BadReply;
}

int Stm32Bootload::read_memory(unsigned int addr, unsigned char* buf, unsigned int len) {
    if (!sio) return NoStream;
    if (len == 0) return Ok;
    if (!buf) return BadReply;
    for (unsigned int done = 0; done < len;) {
        const unsigned int n = std::min(P::MaxChunk, len - done);
        if (read_chunk(addr + done, buf + done, n)) return BadReply;
        done += n;
    }
    return Ok;
}

int Stm32Bootload::go_command(unsigned int addr) {
    if (!sio) return NoStream;
    send_command(P::CmdGo);
    if (expect_ack()) return BadReply;
    send_address(addr);
    return expect_ack();
}
