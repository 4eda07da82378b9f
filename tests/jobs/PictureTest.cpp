#include "jobs/Picture.h"
#include "tests/support/BadFiles.h"

#include <QColor>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

QImage solid(int w, int h, QColor c) {
    QImage img(w, h, QImage::Format_RGB32);
    img.fill(c);
    return img;
}

} // namespace

TEST(FileKind, SuffixDecidesCaseSensitively) {
    const std::pair<const char*, int> rows[] = {
        {"fw.hex", FileKindFirmware}, {"/a/b/p.png", FileKindPicture}, {"p.jpg", FileKindPicture},
        {"p.bmp", FileKindPicture},   {"raw.bin", FileKindPicture},    {".png", FileKindPicture},
        {"p.PNG", FileKindNone},      {"fw.Hex", FileKindNone},        {"p.jpeg", FileKindNone},
        {"fw.hex.bak", FileKindNone}, {"hex", FileKindNone},           {"", FileKindNone}};
    for (const auto& r : rows) EXPECT_EQ(fileKind(QString::fromUtf8(r.first)), r.second) << r.first;
}

TEST(PatternBitmap, RedGreenBlueRowsPaddedToFourBytes) {
    QImage img(101, 2, QImage::Format_RGB32);
    img.fill(Qt::black);
    img.setPixel(0, 0, qRgb(0x11, 0x22, 0x33));
    img.setPixel(1, 0, qRgb(0xA0, 0xB0, 0xC0));
    img.setPixel(0, 1, qRgb(1, 2, 3));
    const QByteArray bytes = patternBitmap(img);
    ASSERT_EQ(bytes.size(), 2 * 304);
    EXPECT_EQ(bytes.left(6), QByteArray("\x11\x22\x33\xA0\xB0\xC0", 6));
    EXPECT_EQ(bytes.mid(304, 3), QByteArray("\x01\x02\x03", 3)); // row 2 after the pad
    EXPECT_EQ(bytes.at(303), '\0'); // the pad goes out as zeros, never as stale heap bytes
    EXPECT_EQ(bytes.at(607), '\0');
    EXPECT_TRUE(patternBitmap(QImage()).isEmpty());
}

TEST(LcdPreview, FiveSixFiveHighByteFirstScaledTo192By128) {
    // Quadrants: red, green / blue, white; the aspect ratio is ignored.
    const QRgb quadrant[2][2] = {{qRgb(255, 0, 0), qRgb(0, 255, 0)},
                                 {qRgb(0, 0, 255), qRgb(255, 255, 255)}};
    QImage img(400, 90, QImage::Format_RGB888);
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x) img.setPixel(x, y, quadrant[y >= 45][x >= 200]);
    const QByteArray bytes = lcdPreview(img);
    ASSERT_EQ(bytes.size(), kPreviewBytes);
    auto pixel = [&](int x, int y) {
        const int at = (y * kPreviewWidth + x) * 2;
        return (uint8_t(bytes[at]) << 8) | uint8_t(bytes[at + 1]);
    };
    const int want[2][2] = {{0xF800, 0x07E0}, {0x001F, 0xFFFF}};
    for (int y = 0; y < kPreviewBytes / 2 / kPreviewWidth; ++y)
        for (int x = 0; x < kPreviewWidth; ++x)
            ASSERT_EQ(pixel(x, y), want[y >= 64][x >= 96]) << x << "," << y;
    EXPECT_TRUE(lcdPreview(QImage()).isEmpty());
}

// Both formats see a transparent pixel as black, whatever colour it hides, and a half
// transparent one as its colour at half strength.
TEST(PatternBitmap, TransparencyOnBlack) {
    QImage img(4, 1, QImage::Format_ARGB32);
    img.setPixel(0, 0, qRgba(255, 0, 0, 0));
    img.setPixel(1, 0, qRgba(255, 255, 255, 128));
    img.setPixel(2, 0, qRgba(0, 0, 255, 255));
    img.setPixel(3, 0, qRgba(0, 255, 0, 0));
    const QByteArray want("\x00\x00\x00\x80\x80\x80\x00\x00\xFF\x00\x00\x00", 12);
    EXPECT_EQ(patternBitmap(img), want);
    EXPECT_EQ(patternBitmap(img.convertToFormat(QImage::Format_ARGB32_Premultiplied)), want);
    QImage clear(1, 1, QImage::Format_ARGB32);
    clear.setPixel(0, 0, qRgba(255, 255, 255, 0));
    EXPECT_EQ(lcdPreview(clear), QByteArray(kPreviewBytes, '\0'));
}

// The largest picture a slot takes is 6,220,800 bytes of padded rows; --fit makes any picture
// exactly 1920 x 1080, aspect kept and centred on black.
TEST(PatternBitmap, SlotLimitAndFit) {
    const struct {
        int w, h;
        bool fits;
        QSize fitted; // the picture inside the 1920 x 1080 frame, to a pixel
    } rows[] = {{1920, 1080, true, {1920, 1080}},
                {1080, 1920, true, {608, 1080}},
                {1921, 1080, false, {1920, 1079}},
                {3840, 1000, false, {1920, 500}},
                {16, 9, true, {1920, 1080}}};
    for (const auto& r : rows) {
        SCOPED_TRACE(std::to_string(r.w) + " x " + std::to_string(r.h));
        const QImage pic = solid(r.w, r.h, Qt::white);
        EXPECT_EQ(pictureTooLarge(pic, "p.png").isEmpty(), r.fits);
        const QImage fit = pictureToSend(pic, true);
        ASSERT_EQ(fit.size(), QSize(1920, 1080));
        const int left = (1920 - r.fitted.width()) / 2, top = (1080 - r.fitted.height()) / 2;
        const QRgb white = qRgb(255, 255, 255), black = qRgb(0, 0, 0);
        EXPECT_EQ(fit.pixel(left + 1, top + 1), white);
        EXPECT_EQ(fit.pixel(1918 - left, 1078 - top), white);
        // Black borders where the picture does not reach.
        EXPECT_EQ(fit.pixel(std::max(0, left - 2), 540), left > 1 ? black : white);
        EXPECT_EQ(fit.pixel(960, std::max(0, top - 2)), top > 1 ? black : white);
    }
    EXPECT_EQ(pictureTooLarge(solid(2560, 1440, Qt::red), "big.png"),
              QStringLiteral("big.png is too large for a pattern slot: 2560 x 1440 needs 11059200 "
                             "bytes, a slot holds 6220800 bytes (1920 x 1080)"));
    EXPECT_TRUE(pictureToSend(QImage(), true).isNull());
}

TEST(PictureFiles, LoadOrRefuse) {
    QTemporaryDir dir;
    const std::string at = dir.path().toStdString();
    const QImage src = solid(64, 48, QColor(10, 200, 30));
    for (const char* name : {"p.png", "p.bmp", "p.jpg"}) {
        const QString path = dir.filePath(QLatin1String(name));
        ASSERT_TRUE(src.save(path)) << name;
        EXPECT_EQ(pictureCaption(loadPicture(path)), QStringLiteral("64 x 48")) << name;
    }
    // Lossless formats keep every byte.
    EXPECT_EQ(patternBitmap(loadPicture(dir.filePath("p.png"))), patternBitmap(src));
    for (const auto& bad : badfiles::badPictures(at, kRawPictureBytes)) {
        const QImage got = loadPicture(QString::fromStdString(bad.path));
        EXPECT_TRUE(got.isNull()) << bad.what;
        EXPECT_EQ(pictureCaption(got), QStringLiteral("0 x 0")) << bad.what;
    }
    // A .bin file is one full-screen RGB888 picture whose bytes reach the generator unchanged; a
    // longer one gives its first picture (shorter ones are among the bad pictures).
    for (int size : {kRawPictureBytes, kRawPictureBytes + 1000}) {
        std::string raw(size_t(size), '\0');
        for (int i = 0; i < size; ++i) raw[i] = char((i * 7 + i / 5760) & 0xFF);
        ASSERT_TRUE(badfiles::put(at + "/raw.bin", raw));
        const QImage got = loadPicture(dir.filePath("raw.bin"));
        ASSERT_EQ(got.size(), QSize(1920, 1080)) << size;
        EXPECT_EQ(got.pixel(0, 0), qRgb(raw[0] & 0xFF, raw[1] & 0xFF, raw[2] & 0xFF));
        EXPECT_EQ(patternBitmap(got), QByteArray(raw.data(), kRawPictureBytes)) << size;
    }
}
