// Settings, InfoFrames, versions, ping, refused input, flash pages, slot erase and bootloader
// entry on a scripted generator.
#include "tests/device/Frames.h"

namespace {

Bytes ramp(size_t n) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = uint8_t(i * 7 + i / 256);
    return b;
}
Bytes padded(Bytes b) {
    b.resize((b.size() + 255) / 256 * 256, 0xFF); // erased flash beyond the data
    return b;
}

// The data and the flags of the flash pages sent, checked to go to target from page first on.
std::pair<Bytes, std::vector<unsigned>> pages(const Generator& g, unsigned target, unsigned first) {
    std::pair<Bytes, std::vector<unsigned>> out;
    for (const Frame& f : g.frames) {
        EXPECT_TRUE(f.code == 0x7878 && f.payload.size() == 260 && f.payload[0] == target &&
                    unsigned(f.payload[1] | f.payload[2] << 8) == first + out.second.size());
        out.first.insert(out.first.end(), f.payload.begin() + 4, f.payload.end());
        out.second.push_back(f.payload.at(3));
    }
    return out;
}

} // namespace

TEST(CommandSet, RequestsOnTheWire) {
    Generator g;
    const KivoIo::Rgb red{0x1FF, 0, 0}, grey{0x80, 0x81, 0x82}, c2{1, 2, 3}, c3{4, 5, 6};
    const unsigned char zeros[13] = {}, avi[5] = {0x10, 0x28, 0x00, 0x04, 0x00};
    EXPECT_TRUE(g.kivo.setHDCP(true) && g.kivo.setVolume(0x1FF) && g.kivo.setPower(true) &&
                g.kivo.setHdrRgb(red, grey, c2, c3, 7, KivoIo::Window18Percent, true) &&
                g.kivo.setInfoFrame(0x101, 0x82, 2, zeros, 13) &&
                g.kivo.setInfoFrame(3, 0x87, 1, avi, 5));
    EXPECT_EQ(g.s.written,
              request(0x65, {1}) + request(0x6D, {0xFF}) + request(0xAB, {1}) +
                  request(0x7C, {0xFF, 0, 0, 0x80, 0x81, 0x82, 1, 2, 3, 4, 5, 6, 7, 1, 2}) +
                  request(0xA2, Bytes{1, 0x82, 2, 0x0D, 0x6F} + Bytes(13, 0)) +
                  request(0xA2, {3, 0x87, 1, 5, 0x37, 0x10, 0x28, 0x00, 0x04, 0x00}));
    g.kivo.bootloader();
    EXPECT_EQ(g.console, "\r\n\r\nISP 32 1\r\n");
}

TEST(CommandSet, InfoFrameRepliesAreNeverReadPastTheirEnd) {
    // payload (type, version, length, checksum, data), result, length taken
    const std::tuple<Bytes, bool, unsigned> cases[] = {
        {{0x82, 0x02, 0x03, 0x00, 0xA1, 0xA2, 0xA3}, true, 3},
        {{0x82, 0x02, 0x01, 0x00, 0xA1, 0xA2}, true, 1},
        {{}, true, 0},
        {{0x82, 0x02, 0x00, 0x7C}, true, 0},
        {{0x82, 0x02}, false, 0},
        {{0x82, 0x02, 0x0D, 0x00, 0xA1}, false, 0}};
    for (const auto& [payload, ok, expected] : cases) {
        SCOPED_TRACE(payload.size());
        Generator g;
        g.readData = [&](unsigned, const Bytes& in) { return in == Bytes{5} ? payload : Bytes{}; };
        unsigned char type = 9, version = 9, *data = &version; // must be reset
        unsigned len = 99;
        EXPECT_EQ(g.kivo.getInfoFrame(0x105, type, version, data, len), ok);
        const bool filled = ok && !payload.empty();
        EXPECT_TRUE(type == (filled ? 0x82 : 0) && version == (filled ? 2 : 0) && len == expected);
        EXPECT_EQ(data ? Bytes(data, data + len) : Bytes{1},
                  filled ? Bytes(&payload[4], &payload[4] + len) : Bytes{1});
        delete[] data;
        EXPECT_EQ(g.frames.at(0).code, 0x80A2u);
    }
}

TEST(CommandSet, VersionsStopAtTheFirstFailureAndPingRetries) {
    Generator g({4 + 2}); // the third read of the second round goes unanswered
    g.readData = [](unsigned, const Bytes& sel) { return Bytes{0x00, sel.at(0), 0x02}; };
    const std::vector<unsigned> rounds[] = {{0x0102, 0x1002, 0x1102, 0x3002},
                                            {0x0102, 0x1002, 7, 7}};
    for (const auto& expected : rounds) {
        std::vector<unsigned> v(4, 7);
        EXPECT_EQ(g.kivo.getVersions(v[0], v[1], v[2], v[3]), expected[3] != 7);
        EXPECT_EQ(v, expected);
    }
    EXPECT_TRUE(g.frames.size() == 7 && g.frames[6].code == 0xF858);

    // tries, unanswered requests, result, requests sent
    const std::tuple<int, std::set<size_t>, bool, size_t> cases[] = {
        {3, {0}, true, 2}, {3, {}, true, 1}, {3, {0, 1, 2}, false, 3}, {0, {}, false, 0}};
    for (const auto& [tries, lost, ok, requests] : cases) {
        SCOPED_TRACE(tries);
        Generator h(lost);
        EXPECT_EQ(h.kivo.ping(tries), ok);
        EXPECT_TRUE(h.frames.size() == requests && (!requests || h.frames[0].code == 0x8062));
    }
}

TEST(CommandSet, RefusedRequestsSendNothing) {
    Generator g;
    const Bytes page(256), tooLong(65531); // a payload the length field cannot express
    const LumoIo::iov holey[1] = {{nullptr, 4}};
    unsigned char* reply = nullptr;
    unsigned len = 0;
    CaptureStdout();
    EXPECT_FALSE(g.kivo.llio(0x62, tooLong.data(), 65531, reply, len) ||
                 g.kivo.llio(0x62, holey, 1, reply, len) ||
                 g.kivo.setInfoFrame(0, 0x82, 2, nullptr, 13) ||
                 g.kivo.loadLcdBitmap(341, page.data(), 256, nullptr) || // page numbers would wrap
                 g.kivo.loadLcdBitmap(0xFFFFFFFFu, page.data(), 256, nullptr) ||
                 g.kivo.loadBitmap(page.data(), 65536u * 256u + 1u, nullptr) || // refused unread
                 g.kivo.wSpiFlash(0x30, 0, 0, nullptr) || g.kivo.loadBitmap(nullptr, 10, nullptr) ||
                 g.kivo.loadLcdBitmap(0, nullptr, 10, nullptr) ||
                 g.kivo.loadBitmap("/no/such/picture.png", nullptr) || // no decoder
                 g.kivo.loadData("/no/such/file.bin", nullptr));
    GetCapturedStdout();
    EXPECT_TRUE(g.s.written.empty());
    testing::internal::CaptureStderr();
    EXPECT_FALSE(LumoIo("/nonexistent/kivo-tty").initialize());
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "LumoIo: initializing(/nonexistent/kivo-tty): failed\n");
}

TEST(Flash, BitmapPagesPaddingAndStops) {
    const std::pair<size_t, std::vector<unsigned>> sizes[] = {
        {257, {0, 0x40}}, {256, {0x40}}, {1, {0x40}}, {0, {}}, {1000, {0, 0, 0, 0x40}}};
    for (const auto& [size, flags] : sizes) {
        SCOPED_TRACE(size);
        Generator h;
        const Bytes data = ramp(size); // exactly size bytes: ASan sees any overread
        EXPECT_TRUE(h.kivo.loadBitmap(data.data(), unsigned(size), nullptr));
        EXPECT_EQ(pages(h, 0x30, 0), std::make_pair(padded(data), flags));
    }
    // unanswered request, report the sink refuses, pages sent, error line
    const std::tuple<std::set<size_t>, size_t, size_t, std::string> stops[] = {
        {{}, SIZE_MAX, 20, ""},
        {{7}, SIZE_MAX, 8, "Error loading image at byte 2048 (0x00000800)\n"},
        {{}, 1, 6, "Error loading image at byte 1536 (0x00000600)\n"}};
    for (const auto& [lost, stopAt, sent, line] : stops) {
        SCOPED_TRACE(line);
        Generator h(lost);
        Sink sink(stopAt);
        const Bytes data = ramp(20 * 256);
        CaptureStdout();
        EXPECT_EQ(h.kivo.loadBitmap(data.data(), unsigned(data.size()), &sink), line.empty());
        EXPECT_EQ(GetCapturedStdout(), "writing image data (5120 bytes)\n" + line);
        EXPECT_EQ(h.frames.size(), sent);
        EXPECT_TRUE(!line.empty() || sink.reports == std::vector<double>({0, 25, 50, 75}));
    }
}

TEST(Flash, PreviewPagesAndFlags) {
    // index, length, first page; the last-page flag belongs to the 192nd page, whatever the length
    const std::tuple<unsigned, size_t, unsigned> cases[] = {
        {36, 49152, 7104}, {0, 768, 192}, {1, 49398, 384}};
    for (const auto& [index, size, first] : cases) {
        SCOPED_TRACE(index);
        Generator g;
        const Bytes data = ramp(size);
        EXPECT_TRUE(g.kivo.loadLcdBitmap(index, data.data(), unsigned(size), nullptr));
        std::vector<unsigned> flags((size + 255) / 256, 0);
        flags[0] = 0x80;
        if (flags.size() > 191) flags[191] = 0x40;
        EXPECT_EQ(pages(g, 0x21, first), std::make_pair(padded(data), flags));
    }
    Generator lost({7}); // page 7 of preview 36 unanswered: nothing after it, the page named
    const Bytes data = ramp(20 * 256);
    CaptureStdout();
    EXPECT_FALSE(lost.kivo.loadLcdBitmap(36, data.data(), unsigned(data.size()), nullptr));
    EXPECT_EQ(GetCapturedStdout(), "Error loading lcd image at index 7112 (0x00001bc8)\n");
    EXPECT_EQ(lost.frames.size(), 8u);
}

TEST(Flash, EraseNeedsItsConfirmation) {
    const std::string dump =
        "rx 8 bytes\n0x00000000: 63 6e 64 20 31 32 0d 0a " + std::string(24, ' ');
    // answer to "cnd 12", report the sink refuses, result, "cnd 12" sent, trace
    const std::tuple<std::string, size_t, bool, bool, std::string> cases[] = {
        {"cnd 12\r\n", SIZE_MAX, true, true, dump + ": cnd 12..\n"},
        {"\r\ncnd 12\r\n", SIZE_MAX, false, true, "waitForResponse: (cnd 12) 120000\n"},
        {"cnd 1", SIZE_MAX, false, true, "waitForResponse: (cnd 12) 120000\n"}, // too short
        {"cnd 12\r\n", 0, false, false, ""}}; // stopped before the erase
    for (const auto& [answer, stopAt, ok, cndSent, trace] : cases) {
        SCOPED_TRACE(trace);
        Generator g;
        g.eraseAnswer = answer;
        Sink sink(stopAt);
        CaptureStdout();
        EXPECT_EQ(g.kivo.eraseBitmapSlot(3, &sink), ok);
        EXPECT_NE(GetCapturedStdout().find(trace), std::string::npos);
        EXPECT_EQ(sink.reports.back(), 100.0); // the bar ends full, whatever the outcome
        EXPECT_EQ(g.console, std::string("\r\n\r\nDBG 1\r\n\r\nfpw 7c 03\r\n") +
                                 (cndSent ? "\r\ncnd 12\r\n" : "") + "\r\n\r\nDBG 0\r\n");
        EXPECT_TRUE(g.frames.empty());
    }
}
