#include "sim/SimReport.h"

#include <cstdio>
#include <sstream>

namespace kivosim {

namespace {
constexpr unsigned kPatternWidth = 1920; // 24-bit rows of a full-screen pattern
constexpr unsigned kPreviewWidth = 192, kPreviewHeight = 128;
constexpr size_t kFlashGap = 16;
constexpr int kFirstSlotPreview =
    36; // preview index of slot 0 // erased runs shorter than this stay inside a range

std::string quote(const std::string& s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += char(c);
        } else if (c < 0x20 || c >= 0x7F) {
            char buf[8];
            snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else {
            out += char(c);
        }
    }
    return out + "\"";
}

std::string hex8(unsigned v) {
    char buf[8];
    snprintf(buf, sizeof buf, "0x%02x", v & 0xFF);
    return buf;
}

void writeEvent(std::ostringstream& o, const Event& ev) {
    o << "{\"t\":" << ev.ms << ",";
    switch (ev.kind) {
    case Event::Frame:
        o << "\"type\":\"frame\",\"code\":" << quote(code16(ev.a)) << ",\"tag\":" << ev.b
          << ",\"payload\":" << quote(ev.text) << ",\"reply\":" << quote(ev.reply);
        break;
    case Event::FlashPage:
        o << "\"type\":\"flash\",\"target\":" << quote(hex8(ev.a)) << ",\"page\":" << ev.b
          << ",\"flags\":" << quote(hex8(ev.c));
        break;
    case Event::Rejected:
        o << "\"type\":\"rejected\",\"reason\":" << quote(ev.text);
        break;
    case Event::Console:
        o << "\"type\":\"console\",\"line\":" << quote(ev.text);
        break;
    case Event::Boot:
        o << "\"type\":\"boot\",\"command\":" << quote(hex8(ev.a))
          << ",\"address\":" << quote(hex32(ev.b)) << ",\"length\":" << ev.c
          << ",\"result\":" << quote(ev.text);
        break;
    case Event::Violation:
        o << "\"type\":\"violation\",\"text\":" << quote(ev.text);
        break;
    case Event::Mode:
        o << "\"type\":\"mode\",\"mode\":" << quote(ev.text);
        break;
    }
    o << "}";
}

void writeCounters(std::ostringstream& o, const KivoSim::Counters& c) {
    o << "{\"framesReceived\":" << c.framesReceived << ",\"framesRejected\":" << c.framesRejected
      << ",\"repliesSent\":" << c.repliesSent << ",\"pagesWritten\":" << c.pagesWritten
      << ",\"violations\":" << c.violations << ",\"consoleLines\":" << c.consoleLines
      << ",\"slotErases\":" << c.slotErases << ",\"bootCommands\":" << c.bootCommands
      << ",\"bootChunks\":" << c.bootChunks << ",\"bootNacks\":" << c.bootNacks
      << ",\"bytesIn\":" << c.bytesIn << "}";
}

void writeFlash(std::ostringstream& o, const Engine& e) {
    o << "{\"base\":" << quote(hex32(e.opt.flashBase)) << ",\"size\":" << e.flash.size()
      << ",\"ranges\":[";
    const Bytes& f = e.flash;
    bool first = true;
    for (size_t i = 0; i < f.size();) {
        if (f[i] == 0xFF) {
            ++i;
            continue;
        }
        size_t end = i, gap = 0;
        for (size_t j = i; j < f.size() && gap < kFlashGap; ++j) {
            gap = f[j] == 0xFF ? gap + 1 : 0;
            if (!gap) end = j + 1;
        }
        o << (first ? "" : ",") << "{\"address\":" << quote(hex32(unsigned(e.opt.flashBase + i)))
          << ",\"data\":" << quote(hex(f.data() + i, end - i)) << "}";
        first = false;
        i = end;
    }
    o << "]}";
}
} // namespace

std::string transcriptJson(const Engine& e) {
    std::ostringstream o;
    o << "{\"mode\":" << quote(e.inBootloader() ? "bootloader" : "generator") << ",\"counters\":";
    writeCounters(o, e.counters);
    o << ",\"events\":[";
    for (size_t i = 0; i < e.events.size(); ++i) {
        if (i) o << ",\n";
        writeEvent(o, e.events[i]);
    }
    o << "],\"registers\":{";
    bool first = true;
    for (const auto& r : e.regs) {
        o << (first ? "" : ",") << quote(code16(r.first)) << ":"
          << quote(hex(r.second.data(), r.second.size()));
        first = false;
    }
    o << "},\"infoFrames\":[";
    first = true;
    for (const auto& f : e.infoFrames) {
        o << (first ? "" : ",") << "{\"index\":" << f.first
          << ",\"type\":" << quote(hex8(f.second.type))
          << ",\"version\":" << unsigned(f.second.version)
          << ",\"checksum\":" << quote(hex8(f.second.checksum))
          << ",\"data\":" << quote(hex(f.second.data.data(), f.second.data.size())) << "}";
        first = false;
    }
    o << "],\"selectedSlot\":" << e.selected << ",\"debug\":" << (e.debug ? "true" : "false")
      << ",\"slots\":[";
    first = true;
    for (int s = 0; s < KivoSim::kSlots; ++s) {
        if (e.slots[s].data.empty()) continue;
        o << (first ? "" : ",") << "{\"slot\":" << s << ",\"bytes\":" << e.slots[s].data.size()
          << "}";
        first = false;
    }
    o << "],\"previews\":[";
    first = true;
    for (const auto& p : e.previews) {
        o << (first ? "" : ",") << "{\"index\":" << p.first << ",\"pages\":" << p.second.nextPage
          << "}";
        first = false;
    }
    o << "],\"violations\":[";
    for (size_t i = 0; i < e.violationTexts.size(); ++i)
        o << (i ? "," : "") << quote(e.violationTexts[i]);
    o << "],\"flash\":";
    writeFlash(o, e);
    o << "}\n";
    return o.str();
}

namespace {
bool writePpm(const std::string& path, unsigned w, unsigned h, const Bytes& rgb) {
    FILE* f = fopen(path.c_str(), "wb");
    if (!f) {
        perror(path.c_str());
        return false;
    }
    fprintf(f, "P6\n%u %u\n255\n", w, h);
    const bool ok = fwrite(rgb.data(), 1, rgb.size(), f) == rgb.size();
    return fclose(f) == 0 && ok;
}

// Preview pixels are RGB 5-6-5, high byte first.
Bytes previewRgb(const Bytes& data) {
    Bytes rgb;
    rgb.reserve(size_t(kPreviewWidth) * kPreviewHeight * 3);
    const size_t pixels = size_t(kPreviewWidth) * kPreviewHeight;
    for (size_t i = 0; i + 1 < data.size() && i / 2 < pixels; i += 2) {
        const unsigned px = unsigned(data[i]) << 8 | data[i + 1];
        rgb.push_back(uint8_t((px >> 11) * 255 / 31));
        rgb.push_back(uint8_t(((px >> 5) & 63) * 255 / 63));
        rgb.push_back(uint8_t((px & 31) * 255 / 31));
    }
    rgb.resize(size_t(kPreviewWidth) * kPreviewHeight * 3, 0);
    return rgb;
}
} // namespace

bool dumpPictures(const Engine& e, const std::string& dir) {
    bool ok = true;
    for (int s = 0; s < KivoSim::kSlots; ++s) {
        const Bytes& data = e.slots[s].data;
        if (data.empty()) continue;
        const size_t row = size_t(kPatternWidth) * 3;
        const unsigned h = unsigned((data.size() + row - 1) / row);
        Bytes rgb(data);
        rgb.resize(row * h, 0);
        ok = writePpm(dir + "/slot-" + std::to_string(s) + ".ppm", kPatternWidth, h, rgb) && ok;
    }
    // A slot's preview sits at index slot + 36; the fixed patterns' previews below keep theirs.
    for (const auto& p : e.previews) {
        const int slot = p.first - kFirstSlotPreview;
        const std::string name = slot >= 0 ? "preview-" + std::to_string(slot)
                                           : "fixed-preview-" + std::to_string(p.first);
        ok = writePpm(dir + "/" + name + ".ppm", kPreviewWidth, kPreviewHeight,
                      previewRgb(p.second.data)) &&
             ok;
    }
    return ok;
}

} // namespace kivosim
