// Flash pages, previews, slot erase, data files and bootloader entry on a scripted stream.
#include "device/KivoIo.h"
#include "tests/device/Frames.h"
#include "tests/support/ScriptedStream.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <unistd.h>

using frames::Bytes;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

struct Page {
    unsigned target, page, flags;
    Bytes data;
};

struct Generator {
    ScriptedStream s;
    KivoIo kivo{s};
    std::vector<unsigned> lost;
    std::string eraseAnswer = "cnd 12\r\n";
    std::string console; // every console byte the host sent

    Generator() {
        s.onWrite = frames::answering(
            [this](const frames::Wire::Frame& f, unsigned i) {
                for (unsigned l : lost)
                    if (l == i) return Bytes{};
                return frames::writeAck(f.code);
            },
            [this](ScriptedStream& st, char c) {
                console += c;
                const std::string erase = "cnd 12\r\n";
                if (console.size() >= erase.size() &&
                    console.compare(console.size() - erase.size(), erase.size(), erase) == 0)
                    st.feed(Bytes(eraseAnswer.begin(), eraseAnswer.end()));
            });
    }
    std::vector<Page> pages() const {
        std::vector<Page> out;
        for (const auto& f : frames::parse(s.written).frames) {
            EXPECT_EQ(f.code, 0x7878u);
            EXPECT_TRUE(f.checksumOk);
            EXPECT_EQ(f.payload.size(), 260u);
            if (f.payload.size() != 260) continue;
            out.push_back({f.payload[0], unsigned(f.payload[1] | (f.payload[2] << 8)), f.payload[3],
                           Bytes(f.payload.begin() + 4, f.payload.end())});
        }
        return out;
    }
};

struct RecordingSink : KivoProgress {
    std::vector<double> reports;
    size_t stopAt = SIZE_MAX; // answer false to this report (0-based)
    bool progress(double percent) override {
        reports.push_back(percent);
        return reports.size() - 1 != stopAt;
    }
};

Bytes ramp(size_t n) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = uint8_t(i * 7 + i / 256);
    return b;
}

std::string tempPath(const char* name) {
    return std::string(::testing::TempDir()) + "kivo_device_" + std::to_string(getpid()) + name;
}

} // namespace

TEST(FlashPage, FrameLayout) {
    Generator g;
    const Bytes data = ramp(256);
    EXPECT_TRUE(g.kivo.wSpiFlash(0x130, 0x12345, 0x1C0, data.data()));
    Bytes expected = {0x30, 0x45, 0x23, 0xC0};
    expected.insert(expected.end(), data.begin(), data.end());
    EXPECT_EQ(g.s.written, frames::request(0x7878, expected));
    EXPECT_EQ(g.s.written.size(), 270u);
    g.lost = {1};
    EXPECT_FALSE(g.kivo.wSpiFlash(0x30, 0, 0, data.data()));
}

TEST(Bitmap, PagesFlagsAndPadding) {
    struct Case {
        size_t len;
        std::vector<unsigned> flags;
    };
    const Case cases[] = {{512, {0, 0x40}}, {257, {0, 0x40}}, {256, {0x40}},
                          {1, {0x40}},      {0, {}},          {1000, {0, 0, 0, 0x40}}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.len);
        Generator g;
        const Bytes data = ramp(c.len); // exactly len bytes: ASan sees any overread
        CaptureStdout();
        EXPECT_TRUE(g.kivo.loadBitmap(data.data(), unsigned(c.len), nullptr));
        EXPECT_EQ(GetCapturedStdout(),
                  "writing image data (" + std::to_string(c.len) + " bytes)\n");
        std::vector<Page> pages = g.pages();
        ASSERT_EQ(pages.size(), c.flags.size());
        Bytes sent;
        for (size_t k = 0; k < pages.size(); ++k) {
            EXPECT_EQ(pages[k].target, 0x30u);
            EXPECT_EQ(pages[k].page, k);
            EXPECT_EQ(pages[k].flags, c.flags[k]);
            sent.insert(sent.end(), pages[k].data.begin(), pages[k].data.end());
        }
        Bytes expected = data;
        expected.resize(pages.size() * 256, 0xFF); // erased flash beyond the data
        EXPECT_EQ(sent, expected);
    }
}

TEST(Bitmap, ProgressOnEveryFifthPage) {
    Generator g;
    const Bytes data = ramp(11 * 256);
    RecordingSink sink;
    CaptureStdout();
    EXPECT_TRUE(g.kivo.loadBitmap(data.data(), unsigned(data.size()), &sink));
    GetCapturedStdout();
    EXPECT_EQ(sink.reports, std::vector<double>({0.0, 500.0 / 11, 1000.0 / 11}));
}

TEST(Bitmap, StopsAtAFailedPageOrAStopRequest) {
    struct Case {
        const char* name;
        std::vector<unsigned> lost;
        size_t stopAt;
        size_t pagesSent;
        const char* line;
    };
    const Case cases[] = {
        {"page 7 fails", {7}, SIZE_MAX, 8, "Error loading image at byte 2048 (0x00000800)\n"},
        {"sink stops at page 5", {}, 1, 6, "Error loading image at byte 1536 (0x00000600)\n"},
        {"first page fails", {0}, SIZE_MAX, 1, "Error loading image at byte 256 (0x00000100)\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Generator g;
        g.lost = c.lost;
        RecordingSink sink;
        sink.stopAt = c.stopAt;
        const Bytes data = ramp(20 * 256);
        CaptureStdout();
        EXPECT_FALSE(g.kivo.loadBitmap(data.data(), unsigned(data.size()), &sink));
        std::string out = GetCapturedStdout();
        EXPECT_EQ(out, "writing image data (5120 bytes)\n" + std::string(c.line));
        EXPECT_EQ(g.pages().size(), c.pagesSent);
    }
}

TEST(Preview, PageRangeAndFlags) {
    struct Case {
        unsigned index;
        size_t len;
        unsigned firstPage;
    };
    const Case cases[] = {
        {36, 49152, 7104}, {38, 49152, 7488}, {0, 3 * 256, 192}, {1, 193 * 256 - 10, 384}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.index);
        Generator g;
        const Bytes data = ramp(c.len);
        EXPECT_TRUE(g.kivo.loadLcdBitmap(c.index, data.data(), unsigned(c.len), nullptr));
        std::vector<Page> pages = g.pages();
        ASSERT_EQ(pages.size(), (c.len + 255) / 256);
        Bytes sent;
        for (size_t k = 0; k < pages.size(); ++k) {
            EXPECT_EQ(pages[k].target, 0x21u);
            EXPECT_EQ(pages[k].page, c.firstPage + k);
            // the last-page flag belongs to the 192nd page, whatever the length
            EXPECT_EQ(pages[k].flags, k == 0 ? 0x80u : k == 191 ? 0x40u : 0u);
            sent.insert(sent.end(), pages[k].data.begin(), pages[k].data.end());
        }
        Bytes expected = data;
        expected.resize(pages.size() * 256, 0xFF);
        EXPECT_EQ(sent, expected);
    }
}

TEST(Preview, FailureNamesThePageAfterTheStop) {
    Generator g;
    g.lost = {3};
    const Bytes data = ramp(49152);
    CaptureStdout();
    EXPECT_FALSE(g.kivo.loadLcdBitmap(36, data.data(), unsigned(data.size()), nullptr));
    EXPECT_EQ(GetCapturedStdout(), "Error loading lcd image at index 7108 (0x00001bc4)\n");
    EXPECT_EQ(g.pages().size(), 4u);
}

TEST(Flash, PageNumbersThatWouldWrapAreRefused) {
    Generator g;
    const Bytes preview(256);
    CaptureStdout();
    EXPECT_FALSE(g.kivo.loadLcdBitmap(341, preview.data(), unsigned(preview.size()), nullptr));
    EXPECT_FALSE(g.kivo.loadLcdBitmap(0xFFFFFFFFu, preview.data(), 256, nullptr));
    const unsigned tooBig = 65536u * 256u + 1u;
    EXPECT_FALSE(g.kivo.loadBitmap(preview.data(), tooBig, nullptr)); // refused before reading
    GetCapturedStdout();
    EXPECT_TRUE(g.s.written.empty());
}

TEST(Flash, MissingDataSendsNothing) {
    Generator g;
    CaptureStdout();
    EXPECT_FALSE(g.kivo.wSpiFlash(0x30, 0, 0, nullptr));
    EXPECT_FALSE(g.kivo.loadBitmap(nullptr, 10, nullptr));
    EXPECT_FALSE(g.kivo.loadLcdBitmap(0, nullptr, 10, nullptr));
    EXPECT_FALSE(g.kivo.setInfoFrame(0, 0x82, 2, nullptr, 13));
    GetCapturedStdout();
    EXPECT_TRUE(g.s.written.empty());
}

TEST(Erase, ConsoleSequenceAndConfirmation) {
    struct Case {
        const char* name;
        std::string answer;
        size_t stopAt;
        bool ok;
        bool waited;
        bool cndSent;
    };
    const Case cases[] = {
        {"confirmed at once", "cnd 12\r\n", SIZE_MAX, true, false, true},
        {"never confirmed", "", SIZE_MAX, false, true, true},
        {"other text first", "\r\ncnd 12\r\n", SIZE_MAX, false, true, true},
        {"sink stops at once", "cnd 12\r\n", 0, false, false, false},
        {"sink stops at the end", "cnd 12\r\n", 2, false, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Generator g;
        g.eraseAnswer = c.answer;
        RecordingSink sink;
        sink.stopAt = c.stopAt;
        CaptureStdout();
        EXPECT_EQ(g.kivo.eraseBitmapSlot(3, &sink), c.ok);
        std::string out = GetCapturedStdout();
        EXPECT_EQ(out.find("waitForResponse: (cnd 12) 120000\n") != std::string::npos, c.waited);
        std::string expected = "\r\n\r\nDBG 1\r\n\r\nfpw 7c 03\r\n";
        if (c.cndSent) expected += "\r\ncnd 12\r\n";
        expected += "\r\n\r\nDBG 0\r\n";
        EXPECT_EQ(g.console, expected);
        EXPECT_TRUE(g.pages().empty());
        EXPECT_EQ(sink.reports.back(), 100.0);
        if (!c.answer.empty() && c.cndSent) {
            EXPECT_NE(out.find("rx " + std::to_string(c.answer.size()) + " bytes\n"),
                      std::string::npos);
        }
    }
}

TEST(Erase, FileFormsEraseThenDecodeNothing) {
    Generator g;
    CaptureStdout();
    EXPECT_FALSE(g.kivo.loadBitmap("/no/such/picture.png", nullptr));
    EXPECT_TRUE(g.s.written.empty());
    EXPECT_FALSE(g.kivo.loadBitmap(5, "/no/such/picture.png", nullptr));
    GetCapturedStdout();
    EXPECT_NE(g.console.find("fpw 7c 05\r\n"), std::string::npos);
    EXPECT_NE(g.console.find("DBG 0"), std::string::npos);
    EXPECT_TRUE(g.pages().empty());
}

TEST(DataFile, RawAndHexFilesBecomeBitmapPages) {
    const std::string raw = tempPath("raw.bin"), hex = tempPath("image.HEX");
    const Bytes data = ramp(300);
    std::ofstream(raw, std::ios::binary).write(reinterpret_cast<const char*>(data.data()), 300);
    std::ofstream(hex) << ":0400000001020304F2\n:00000001FF\n";

    Generator g;
    CaptureStdout();
    EXPECT_FALSE(g.kivo.loadData("/no/such/file.bin", nullptr));
    GetCapturedStdout();
    EXPECT_TRUE(g.s.written.empty());

    CaptureStdout();
    EXPECT_TRUE(g.kivo.loadData(raw.c_str(), nullptr));
    EXPECT_TRUE(g.kivo.loadData(hex.c_str(), nullptr));
    GetCapturedStdout();
    std::vector<Page> pages = g.pages();
    ASSERT_EQ(pages.size(), 3u);
    EXPECT_EQ(Bytes(pages[1].data.begin(), pages[1].data.begin() + 44),
              Bytes(data.begin() + 256, data.end()));
    EXPECT_EQ(pages[1].flags, 0x40u);
    Bytes head = {1, 2, 3, 4};
    head.resize(256, 0xFF);
    EXPECT_EQ(pages[2].data, head);
    EXPECT_EQ(pages[2].page, 0u);
    std::remove(raw.c_str());
    std::remove(hex.c_str());
}

TEST(Bootloader, SendsTheIspLine) {
    Generator g;
    CaptureStdout();
    EXPECT_TRUE(g.kivo.bootloader());
    GetCapturedStdout();
    EXPECT_EQ(g.console, "\r\n\r\nISP 32 1\r\n");
}
