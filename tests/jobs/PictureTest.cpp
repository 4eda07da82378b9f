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

std::string rawPicture(int size) {
    std::string bytes(size_t(size), '\0');
    for (int i = 0; i < size; ++i) bytes[i] = char((i * 7 + i / 5760) & 0xFF);
    return bytes;
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
    const struct {
        int w, h, bytes;
    } sizes[] = {{1920, 1080, 6220800}, {64, 64, 12288}, {1, 1, 4}, {0, 0, 0}};
    for (const auto& r : sizes)
        EXPECT_EQ(patternBitmap(r.w ? solid(r.w, r.h, Qt::red) : QImage()).size(), r.bytes) << r.w;
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
    const QByteArray black = lcdPreview(solid(1, 1, Qt::black));
    EXPECT_EQ(black, QByteArray(kPreviewBytes, '\0'));
    EXPECT_TRUE(lcdPreview(QImage()).isEmpty());
}

TEST(Thumbnail, FitsInto320By240KeepingAspect) {
    EXPECT_EQ(pictureThumbnail(solid(800, 600, Qt::red)).size(), QSize(320, 240));
    EXPECT_EQ(pictureThumbnail(solid(1920, 1080, Qt::red)).size(), QSize(320, 180));
    EXPECT_EQ(pictureThumbnail(solid(100, 400, Qt::red)).size(), QSize(60, 240));
    EXPECT_TRUE(pictureThumbnail(QImage()).isNull());
    EXPECT_EQ(pictureCaption(solid(101, 7, Qt::red)), QStringLiteral("101 x 7"));
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
}

// A .bin file is one full-screen RGB888 picture whose bytes reach the generator unchanged; a
// longer one gives its first picture, a shorter one none.
TEST(PictureFiles, RawFileSizes) {
    QTemporaryDir dir;
    const std::string path = dir.filePath("raw.bin").toStdString();
    for (int size : {kRawPictureBytes, kRawPictureBytes + 1000, kRawPictureBytes - 1, 5760, 1, 0}) {
        const std::string raw = rawPicture(size);
        ASSERT_TRUE(badfiles::put(path, raw));
        const QImage got = loadPicture(QString::fromStdString(path));
        if (size < kRawPictureBytes) {
            EXPECT_TRUE(got.isNull()) << size;
            continue;
        }
        ASSERT_EQ(got.size(), QSize(1920, 1080)) << size;
        EXPECT_EQ(got.pixel(0, 0), qRgb(raw[0] & 0xFF, raw[1] & 0xFF, raw[2] & 0xFF));
        EXPECT_EQ(patternBitmap(got), QByteArray(raw.data(), kRawPictureBytes)) << size;
    }
}
