#include "device/KivoIo.h"

#include "device/LumoReply.h"

#include <cstdio>

namespace {

enum Register : unsigned {
    RegTiming = 0x61,
    RegPattern = 0x62,
    RegColorSpace = 0x63,
    RegColorDepth = 0x64,
    RegHdcp = 0x65,
    RegTxMode = 0x66,
    RegAudioSample = 0x67,
    RegAudioDepth = 0x68,
    RegAudioSource = 0x69,
    RegAudioChannel = 0x6A,
    RegAudioSpeaker = 0x6B,
    RegRgb = 0x6C,
    RegVolume = 0x6D,
    RegScramble = 0x6E,
    RegHdr = 0x6F,
    RegBt2020 = 0x70,
    RegHdrRgb = 0x7C,
    RegInfoFrame = 0xA2,
    RegPower = 0xAB,
    RegVersions = 0xF858,
};
constexpr unsigned ReadBit = 0x8000;
constexpr unsigned InfoFrameHeadLen = 5; // index, type, version, length, checksum
constexpr unsigned InfoFramePrefix = 4;  // type, version, length, checksum in a reply
constexpr unsigned char VersionSelectors[4] = {0x01, 0x10, 0x11, 0x30};

unsigned char lo(unsigned v) {
    return static_cast<unsigned char>(v & 0xFF);
}
unsigned char bit(bool b) {
    return b ? 1 : 0;
}

unsigned char* putRgb(unsigned char* p, const KivoIo::Rgb& c) {
    *p++ = lo(c.r);
    *p++ = lo(c.g);
    *p++ = lo(c.b);
    return p;
}

} // namespace

namespace {
// One-byte registers: the set sends the low byte, the get turns the byte back.
template <typename T> bool readInto(KivoIo& k, unsigned code, T& value) {
    unsigned char b = 0;
    if (!k.ioRead1(code, b)) return false;
    value = static_cast<T>(b);
    return true;
}
bool readBool(KivoIo& k, unsigned code, bool& value) {
    unsigned char b = 0;
    if (!k.ioRead1(code, b)) return false;
    value = b != 0;
    return true;
}
} // namespace

#define KIVO_BYTE_REGISTER(Name, Type, Code)                                                       \
    bool KivoIo::set##Name(Type value) {                                                           \
        return ioWrite1(Code, lo(value));                                                          \
    }                                                                                              \
    bool KivoIo::get##Name(Type& value) {                                                          \
        return readInto(*this, Code, value);                                                       \
    }
#define KIVO_BOOL_REGISTER(Name, Code)                                                             \
    bool KivoIo::set##Name(bool on) {                                                              \
        return ioWrite1(Code, bit(on));                                                            \
    }                                                                                              \
    bool KivoIo::get##Name(bool& on) {                                                             \
        return readBool(*this, Code, on);                                                          \
    }

KIVO_BYTE_REGISTER(Timing, VideoFormat, RegTiming)
KIVO_BYTE_REGISTER(Pattern, unsigned, RegPattern)
KIVO_BYTE_REGISTER(ColorSpace, Colorspace, RegColorSpace)
KIVO_BYTE_REGISTER(ColorDepth, Deepcolor, RegColorDepth)
KIVO_BOOL_REGISTER(HDCP, RegHdcp)
KIVO_BYTE_REGISTER(TxMode, TxMode, RegTxMode)
KIVO_BYTE_REGISTER(AudioSample, AudioSample, RegAudioSample)
KIVO_BYTE_REGISTER(AudioDepth, AudioDepth, RegAudioDepth)
KIVO_BYTE_REGISTER(AudioSource, AudioSource, RegAudioSource)
KIVO_BYTE_REGISTER(AudioChannel, AudioChannel, RegAudioChannel)
KIVO_BYTE_REGISTER(AudioSpeaker, unsigned, RegAudioSpeaker)
KIVO_BYTE_REGISTER(Volume, unsigned, RegVolume)
KIVO_BOOL_REGISTER(Scramble, RegScramble)
KIVO_BYTE_REGISTER(HDR, HdrControl, RegHdr)
KIVO_BYTE_REGISTER(Bt2020, Bt2020Control, RegBt2020)
KIVO_BOOL_REGISTER(Power, RegPower)

#undef KIVO_BYTE_REGISTER
#undef KIVO_BOOL_REGISTER

bool KivoIo::setUserTiming(unsigned, const VideoTiming&) {
    return true;
}
bool KivoIo::getUserTiming(unsigned, VideoTiming&) {
    return true;
}
bool KivoIo::getRGB(Rgb&, Rgb&, unsigned&, bool&) {
    return false;
}
bool KivoIo::getHdrRgb(Rgb&, Rgb&, Rgb&, Rgb&, unsigned&, WindowMode&, bool&) {
    return false;
}

bool KivoIo::setRGB(const Rgb& c0, const Rgb& c1, unsigned n, bool flag) {
    unsigned char block[8];
    unsigned char* p = putRgb(putRgb(block, c0), c1);
    *p++ = lo(n);
    *p = bit(flag);
    const iov one = {block, sizeof block};
    Reply body;
    return exchange(RegRgb, &one, 1, body);
}

bool KivoIo::setHdrRgb(const Rgb& c0, const Rgb& c1, const Rgb& c2, const Rgb& c3, unsigned n,
                       WindowMode mode, bool flag) {
    unsigned char block[15];
    unsigned char* p = putRgb(putRgb(putRgb(putRgb(block, c0), c1), c2), c3);
    *p++ = lo(n);
    *p++ = bit(flag); // the flag travels ahead of the mode
    *p = lo(mode);
    const iov one = {block, sizeof block};
    Reply body;
    return exchange(RegHdrRgb, &one, 1, body);
}

bool KivoIo::setInfoFrame(unsigned index, unsigned char type, unsigned char version,
                          const unsigned char* data, unsigned len) {
    if (!data && len) return false;
    unsigned sum = type + version + lo(len);
    for (unsigned i = 0; i < len; ++i) sum += data[i];
    const unsigned char head[InfoFrameHeadLen] = {lo(index), type, version, lo(len),
                                                  lo(0x100 - (sum & 0xFF))};
    const iov vec[2] = {{head, InfoFrameHeadLen}, {data, len}};
    Reply body;
    return exchange(RegInfoFrame, vec, 2, body);
}

bool KivoIo::getInfoFrame(unsigned index, unsigned char& type, unsigned char& version,
                          unsigned char*& data, unsigned& len) {
    type = version = 0;
    len = 0;
    data = nullptr;
    const unsigned char selector = lo(index);
    const iov one = {&selector, 1};
    Reply body;
    if (!exchange(RegInfoFrame | ReadBit, &one, 1, body)) return false;
    const unsigned char* p = body.payload();
    const unsigned n = body.payloadLen();
    if (n == 0) return true;
    // Never read past the payload, whatever its own length byte claims.
    if (n < InfoFramePrefix || n - InfoFramePrefix < p[2]) return false;
    type = p[0];
    version = p[1];
    len = p[2];
    data = new unsigned char[len];
    for (unsigned i = 0; i < len; ++i) data[i] = p[InfoFramePrefix + i];
    return true;
}

bool KivoIo::getVersions(unsigned& ver1, unsigned& ver2, unsigned& ver3, unsigned& ver4) {
    unsigned* out[4] = {&ver1, &ver2, &ver3, &ver4};
    for (unsigned i = 0; i < 4; ++i) {
        unsigned value = *out[i];
        if (!ioRead(RegVersions, VersionSelectors[i], value)) return false;
        *out[i] = value;
    }
    return true;
}

bool KivoIo::ping(int tries) {
    for (int i = 0; i < tries; ++i) {
        unsigned scratch = 0;
        if (getPattern(scratch)) return true;
    }
    return false;
}
