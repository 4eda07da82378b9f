#pragma once
// The generator's command set: named setting registers, colour and InfoFrame blocks, versions,
// flash page writes for pattern bitmaps and previews, slot erase and bootloader entry.
#include "device/LumoIo.h"

#include <cstdint>

class KivoIo : public LumoIo {
public:
    // Every enumeration travels as one byte. Video formats carry their CTA-861 VIC.
    enum VideoFormat : uint8_t {
        Vic640x480p60 = 1,
        Vic720x480p60 = 2,
        Vic1280x720p60 = 4,
        Vic1920x1080i60 = 5,
        Vic1920x1080p60 = 16,
        Vic720x576p50 = 17,
        Vic1280x720p50 = 19,
        Vic1920x1080i50 = 20,
        Vic1920x1080p50 = 31,
        Vic1920x1080p24 = 32,
        Vic1920x1080p25 = 33,
        Vic1920x1080p30 = 34,
        Vic3840x2160p24 = 93,
        Vic3840x2160p25 = 94,
        Vic3840x2160p30 = 95,
        Vic3840x2160p50 = 96,
        Vic3840x2160p60 = 97,
        Vic4096x2160p60 = 102,
        VicUserTiming = 255
    };
    enum Colorspace : uint8_t {
        ColorRgbFull = 0,
        ColorRgbLimited = 1,
        ColorYcc444 = 2,
        ColorYcc422 = 3,
        ColorYcc420 = 4
    };
    enum Deepcolor : uint8_t { Depth8Bit = 0, Depth10Bit = 1, Depth12Bit = 2, Depth16Bit = 3 };
    enum TxMode : uint8_t { TxDvi = 0, TxHdmi = 1, TxHdmi20 = 2 };
    enum AudioSample : uint8_t {
        Sample32kHz = 0,
        Sample44k1Hz = 1,
        Sample48kHz = 2,
        Sample88k2Hz = 3,
        Sample96kHz = 4,
        Sample176k4Hz = 5,
        Sample192kHz = 6
    };
    enum AudioDepth : uint8_t { Audio16Bit = 0, Audio20Bit = 1, Audio24Bit = 2 };
    enum AudioSource : uint8_t { SourceOff = 0, SourceTone = 1, SourceSpdif = 2, SourceI2s = 3 };
    enum AudioChannel : uint8_t { Channels2 = 0, Channels6 = 1, Channels8 = 2 };
    enum HdrControl : uint8_t { HdrOff = 0, HdrSdrGamma = 1, HdrPq = 2, HdrHlg = 3 };
    enum Bt2020Control : uint8_t { Bt2020Off = 0, Bt2020Ycc = 1, Bt2020ConstantLuminance = 2 };
    enum WindowMode : uint8_t {
        WindowFull = 0,
        Window10Percent = 1,
        Window18Percent = 2,
        Window25Percent = 3,
        Window50Percent = 4
    };

    // Components are sent as their low bytes.
    struct Rgb {
        uint32_t r;
        uint32_t g;
        uint32_t b;
    };

    // A user-defined timing (pixels, lines, kHz); not exchanged with the generator.
    struct VideoTiming {
        uint32_t pixelClockKhz = 0;
        uint16_t hActive = 0, hFrontPorch = 0, hSync = 0, hBackPorch = 0;
        uint16_t vActive = 0, vFrontPorch = 0, vSync = 0, vBackPorch = 0;
        bool interlaced = false, hSyncPositive = false, vSyncPositive = false;
    };

    // Flash targets and page flags of wSpiFlash.
    static constexpr unsigned TargetBitmap = 0x30;
    static constexpr unsigned TargetPreview = 0x21;
    static constexpr unsigned FlagFirstPage = 0x80;
    static constexpr unsigned FlagLastPage = 0x40;
    static constexpr unsigned PageSize = 256;
    static constexpr unsigned PreviewPages = 192;
    static constexpr unsigned PreviewBytes = PageSize * PreviewPages;

    using LumoIo::LumoIo;

    bool setTiming(VideoFormat value);
    bool getTiming(VideoFormat& value);
    bool setPattern(unsigned value);
    bool getPattern(unsigned& value);
    bool setColorSpace(Colorspace value);
    bool getColorSpace(Colorspace& value);
    bool setColorDepth(Deepcolor value);
    bool getColorDepth(Deepcolor& value);
    bool setHDCP(bool on);
    bool getHDCP(bool& on);
    bool setTxMode(TxMode value);
    bool getTxMode(TxMode& value);
    bool setAudioSample(AudioSample value);
    bool getAudioSample(AudioSample& value);
    bool setAudioDepth(AudioDepth value);
    bool getAudioDepth(AudioDepth& value);
    bool setAudioSource(AudioSource value);
    bool getAudioSource(AudioSource& value);
    bool setAudioChannel(AudioChannel value);
    bool getAudioChannel(AudioChannel& value);
    bool setAudioSpeaker(unsigned value);
    bool getAudioSpeaker(unsigned& value);
    bool setVolume(unsigned value);
    bool getVolume(unsigned& value);
    bool setScramble(bool on);
    bool getScramble(bool& on);
    bool setHDR(HdrControl value);
    bool getHDR(HdrControl& value);
    bool setBt2020(Bt2020Control value);
    bool getBt2020(Bt2020Control& value);
    bool setPower(bool on);
    bool getPower(bool& on);

    // Not exchanged: set/getUserTiming return true, getRGB/getHdrRgb false.
    bool setUserTiming(unsigned index, const VideoTiming& timing);
    bool getUserTiming(unsigned index, VideoTiming& timing);
    bool getRGB(Rgb& c0, Rgb& c1, unsigned& n, bool& flag);
    bool getHdrRgb(Rgb& c0, Rgb& c1, Rgb& c2, Rgb& c3, unsigned& n, WindowMode& mode, bool& flag);

    bool setRGB(const Rgb& c0, const Rgb& c1, unsigned n, bool flag);
    bool setHdrRgb(const Rgb& c0, const Rgb& c1, const Rgb& c2, const Rgb& c3, unsigned n,
                   WindowMode mode, bool flag);
    bool setInfoFrame(unsigned index, unsigned char type, unsigned char version,
                      const unsigned char* data, unsigned len);
    // data becomes a new[] array of len bytes; null on failure or an empty reply.
    bool getInfoFrame(unsigned index, unsigned char& type, unsigned char& version,
                      unsigned char*& data, unsigned& len);
    bool getVersions(unsigned& ver1, unsigned& ver2, unsigned& ver3, unsigned& ver4);
    // Up to tries pattern reads; false at once for tries <= 0.
    bool ping(int tries);

    // One 256-byte flash page write, followed by a 1 ms pause.
    bool wSpiFlash(unsigned target, unsigned page, unsigned flags, const unsigned char* data);
    // Console erase of a pattern slot; also selects it for the next loadBitmap.
    bool eraseBitmapSlot(unsigned slot, KivoProgress* sink);
    // Writes the pattern bitmap of the slot selected last; a short last page is padded with 0xFF.
    bool loadBitmap(const unsigned char* data, unsigned len, KivoProgress* sink);
    // No image decoder: false, nothing sent.
    bool loadBitmap(const char* path, KivoProgress* sink);
    bool loadBitmap(unsigned slot, const char* path, KivoProgress* sink);
    // Writes preview number index (192 pages from page (index + 1) * 192).
    bool loadLcdBitmap(unsigned index, const unsigned char* data, unsigned len, KivoProgress* sink);
    // Sends the generator into its microcontroller's system bootloader.
    bool bootloader();
    // Reads a data file (.hex gives its memory image) and writes it as the pattern bitmap.
    bool loadData(const char* path, KivoProgress* sink);
};
