#include "cli/Settings.h"

#include "device/KivoIo.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>

namespace kivo {
namespace {

constexpr unsigned kMaxByte = 255;

// Adapters between the typed register operations and the table's plain numbers.
template <typename E, bool (KivoIo::*Get)(E&)> bool getEnum(KivoIo& io, unsigned& value) {
    E e{};
    if (!(io.*Get)(e)) return false;
    value = static_cast<unsigned>(e);
    return true;
}

template <typename E, bool (KivoIo::*Set)(E)> bool setEnum(KivoIo& io, unsigned value) {
    return (io.*Set)(static_cast<E>(value));
}

template <bool (KivoIo::*Get)(bool&)> bool getBool(KivoIo& io, unsigned& value) {
    bool on = false;
    if (!(io.*Get)(on)) return false;
    value = on ? 1 : 0;
    return true;
}

template <bool (KivoIo::*Set)(bool)> bool setBool(KivoIo& io, unsigned value) {
    return (io.*Set)(value != 0);
}

template <bool (KivoIo::*Get)(unsigned&)> bool getNumber(KivoIo& io, unsigned& value) {
    return (io.*Get)(value);
}

template <bool (KivoIo::*Set)(unsigned)> bool setNumber(KivoIo& io, unsigned value) {
    return (io.*Set)(value);
}

const std::vector<SettingMember> kOnOff = {{"off", 0}, {"on", 1}};

std::vector<Setting> buildSettings() {
    using K = KivoIo;
    return {
        {"timing",
         {{"640x480p60", K::Vic640x480p60},
          {"720x480p60", K::Vic720x480p60},
          {"1280x720p60", K::Vic1280x720p60},
          {"1920x1080i60", K::Vic1920x1080i60},
          {"1920x1080p60", K::Vic1920x1080p60},
          {"720x576p50", K::Vic720x576p50},
          {"1280x720p50", K::Vic1280x720p50},
          {"1920x1080i50", K::Vic1920x1080i50},
          {"1920x1080p50", K::Vic1920x1080p50},
          {"1920x1080p24", K::Vic1920x1080p24},
          {"1920x1080p25", K::Vic1920x1080p25},
          {"1920x1080p30", K::Vic1920x1080p30},
          {"3840x2160p24", K::Vic3840x2160p24},
          {"3840x2160p25", K::Vic3840x2160p25},
          {"3840x2160p30", K::Vic3840x2160p30},
          {"3840x2160p50", K::Vic3840x2160p50},
          {"3840x2160p60", K::Vic3840x2160p60},
          {"4096x2160p60", K::Vic4096x2160p60},
          {"user", K::VicUserTiming}},
         getEnum<K::VideoFormat, &K::getTiming>,
         setEnum<K::VideoFormat, &K::setTiming>},
        {"pattern", {}, getNumber<&K::getPattern>, setNumber<&K::setPattern>},
        {"colorspace",
         {{"rgb-full", K::ColorRgbFull},
          {"rgb-limited", K::ColorRgbLimited},
          {"ycc444", K::ColorYcc444},
          {"ycc422", K::ColorYcc422},
          {"ycc420", K::ColorYcc420}},
         getEnum<K::Colorspace, &K::getColorSpace>,
         setEnum<K::Colorspace, &K::setColorSpace>},
        {"depth",
         {{"8bit", K::Depth8Bit},
          {"10bit", K::Depth10Bit},
          {"12bit", K::Depth12Bit},
          {"16bit", K::Depth16Bit}},
         getEnum<K::Deepcolor, &K::getColorDepth>,
         setEnum<K::Deepcolor, &K::setColorDepth>},
        {"hdcp", kOnOff, getBool<&K::getHDCP>, setBool<&K::setHDCP>},
        {"txmode",
         {{"dvi", K::TxDvi}, {"hdmi", K::TxHdmi}, {"hdmi20", K::TxHdmi20}},
         getEnum<K::TxMode, &K::getTxMode>,
         setEnum<K::TxMode, &K::setTxMode>},
        {"audio-sample",
         {{"32khz", K::Sample32kHz},
          {"44.1khz", K::Sample44k1Hz},
          {"48khz", K::Sample48kHz},
          {"88.2khz", K::Sample88k2Hz},
          {"96khz", K::Sample96kHz},
          {"176.4khz", K::Sample176k4Hz},
          {"192khz", K::Sample192kHz}},
         getEnum<K::AudioSample, &K::getAudioSample>,
         setEnum<K::AudioSample, &K::setAudioSample>},
        {"audio-depth",
         {{"16bit", K::Audio16Bit}, {"20bit", K::Audio20Bit}, {"24bit", K::Audio24Bit}},
         getEnum<K::AudioDepth, &K::getAudioDepth>,
         setEnum<K::AudioDepth, &K::setAudioDepth>},
        {"audio-source",
         {{"off", K::SourceOff},
          {"tone", K::SourceTone},
          {"spdif", K::SourceSpdif},
          {"i2s", K::SourceI2s}},
         getEnum<K::AudioSource, &K::getAudioSource>,
         setEnum<K::AudioSource, &K::setAudioSource>},
        {"audio-channel",
         {{"2ch", K::Channels2}, {"6ch", K::Channels6}, {"8ch", K::Channels8}},
         getEnum<K::AudioChannel, &K::getAudioChannel>,
         setEnum<K::AudioChannel, &K::setAudioChannel>},
        {"audio-speaker", {}, getNumber<&K::getAudioSpeaker>, setNumber<&K::setAudioSpeaker>},
        {"volume", {}, getNumber<&K::getVolume>, setNumber<&K::setVolume>},
        {"scramble", kOnOff, getBool<&K::getScramble>, setBool<&K::setScramble>},
        {"hdr",
         {{"off", K::HdrOff}, {"sdr-gamma", K::HdrSdrGamma}, {"pq", K::HdrPq}, {"hlg", K::HdrHlg}},
         getEnum<K::HdrControl, &K::getHDR>,
         setEnum<K::HdrControl, &K::setHDR>},
        {"bt2020",
         {{"off", K::Bt2020Off},
          {"ycc", K::Bt2020Ycc},
          {"constant-luminance", K::Bt2020ConstantLuminance}},
         getEnum<K::Bt2020Control, &K::getBt2020>,
         setEnum<K::Bt2020Control, &K::setBt2020>},
        {"power", kOnOff, getBool<&K::getPower>, setBool<&K::setPower>},
    };
}

bool isBoolSetting(const Setting& s) {
    return s.members.size() == kOnOff.size() && s.members[0].name == kOnOff[0].name &&
           s.members[1].name == kOnOff[1].name;
}

bool parseByte(const std::string& text, unsigned& value) {
    if (text.empty() || !std::isdigit(static_cast<unsigned char>(text[0]))) return false;
    errno = 0;
    char* end = nullptr;
    unsigned long v = std::strtoul(text.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || v > kMaxByte) return false;
    value = static_cast<unsigned>(v);
    return true;
}

} // namespace

const std::vector<Setting>& settings() {
    static const std::vector<Setting> table = buildSettings();
    return table;
}

const Setting* findSetting(const std::string& name) {
    for (const Setting& s : settings())
        if (name == s.name) return &s;
    return nullptr;
}

bool parseSettingValue(const Setting& s, const std::string& text, unsigned& value) {
    for (const SettingMember& m : s.members)
        if (text == m.name) {
            value = m.value;
            return true;
        }
    unsigned v = 0;
    if (!parseByte(text, v)) return false;
    // A switch takes only its two states; a number beyond 1 would be read back as "on".
    if (isBoolSetting(s) && v > 1) return false;
    value = v;
    return true;
}

std::string formatSettingValue(const Setting& s, unsigned value) {
    for (const SettingMember& m : s.members)
        if (m.value == value) return std::string(m.name) + " (" + std::to_string(value) + ")";
    return std::to_string(value);
}

} // namespace kivo
