#include "jobs/Picture.h"
#include "tests/support/BadFiles.h"

#include <QColor>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

QImage solid(int w, int h, QColor c, QImage::Format f = QImage::Format_RGB32) {
    QImage img(w, h, f);
    img.fill(c);
    return img;
}

QByteArray rawPicture(int extra = 0) {
    QByteArray bytes(kRawPictureBytes + extra, '\0');
    for (int i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>((i * 7 + i / 5760) & 0xFF);
    return bytes;
}

bool writeFile(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

class PictureFiles : public ::testing::Test {
protected:
    QTemporaryDir dir;
    QString path(const char* name) const { return dir.filePath(QLatin1String(name)); }
};

} // namespace

TEST(FileKind, SuffixDecidesCaseSensitively) {
    const struct {
        const char* name;
        int kind;
    } rows[] = {
        {"fw.hex", FileKindFirmware}, {"/a/b/p.png", FileKindPicture},
        {"p.jpg", FileKindPicture},   {"p.bmp", FileKindPicture},
        {"raw.bin", FileKindPicture}, {"p.PNG", FileKindNone},
        {"fw.Hex", FileKindNone},     {"p.jpeg", FileKindNone},
        {"fw.hex.bak", FileKindNone}, {"hex", FileKindNone},
        {"", FileKindNone},           {".png", FileKindPicture},
    };
    for (const auto& r : rows) EXPECT_EQ(fileKind(QString::fromUtf8(r.name)), r.kind) << r.name;
}

TEST(PatternBitmap, ThreeBytesPerPixelRedGreenBlue) {
    QImage img(2, 1, QImage::Format_RGB32);
    img.setPixel(0, 0, qRgb(0x11, 0x22, 0x33));
    img.setPixel(1, 0, qRgb(0xA0, 0xB0, 0xC0));
    const QByteArray bytes = patternBitmap(img);
    ASSERT_EQ(bytes.size(), 8); // 6 bytes of pixels padded to 8
    EXPECT_EQ(bytes.left(6), QByteArray("\x11\x22\x33\xA0\xB0\xC0", 6));
}

TEST(PatternBitmap, SizeIsPaddedRowTimesHeight) {
    const struct {
        int w, h, bytes;
    } rows[] = {{1920, 1080, 6220800}, {101, 100, 30400}, {64, 64, 12288}, {1, 1, 4}};
    for (const auto& r : rows) {
        const QByteArray bytes = patternBitmap(solid(r.w, r.h, Qt::red));
        EXPECT_EQ(bytes.size(), r.bytes) << r.w << "x" << r.h;
    }
    EXPECT_TRUE(patternBitmap(QImage()).isEmpty());
}

TEST(PatternBitmap, RowsTopToBottomAfterPadding) {
    QImage img(101, 2, QImage::Format_RGB32);
    img.fill(Qt::black);
    img.setPixel(0, 1, qRgb(1, 2, 3));
    const QByteArray bytes = patternBitmap(img);
    EXPECT_EQ(bytes.mid(304, 3), QByteArray("\x01\x02\x03", 3));
}

TEST(LcdPreview, FiveSixFiveHighByteFirst) {
    const struct {
        QRgb colour;
        unsigned char hi, lo;
    } rows[] = {{qRgb(255, 0, 0), 0xF8, 0x00},
                {qRgb(0, 255, 0), 0x07, 0xE0},
                {qRgb(0, 0, 255), 0x00, 0x1F},
                {qRgb(255, 255, 255), 0xFF, 0xFF},
                {qRgb(0, 0, 0), 0x00, 0x00}};
    for (const auto& r : rows) {
        const QByteArray bytes = lcdPreview(solid(1920, 1080, QColor(r.colour)));
        ASSERT_EQ(bytes.size(), kPreviewBytes);
        for (int i = 0; i < bytes.size(); i += 2) {
            ASSERT_EQ(static_cast<unsigned char>(bytes[i]), r.hi) << std::hex << r.colour;
            ASSERT_EQ(static_cast<unsigned char>(bytes[i + 1]), r.lo) << std::hex << r.colour;
        }
    }
    EXPECT_TRUE(lcdPreview(QImage()).isEmpty());
}

TEST(LcdPreview, ScalesAnySizeToExactly192By128) {
    // Quadrants: red, green / blue, white; the aspect ratio is ignored.
    QImage img(400, 90, QImage::Format_RGB888);
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x) {
            const bool right = x >= 200, low = y >= 45;
            img.setPixel(x, y,
                         low ? (right ? qRgb(255, 255, 255) : qRgb(0, 0, 255))
                             : (right ? qRgb(0, 255, 0) : qRgb(255, 0, 0)));
        }
    const QByteArray bytes = lcdPreview(img);
    ASSERT_EQ(bytes.size(), kPreviewBytes);
    auto pixel = [&](int x, int y) {
        const int at = (y * kPreviewWidth + x) * 2;
        return (static_cast<unsigned char>(bytes[at]) << 8) |
               static_cast<unsigned char>(bytes[at + 1]);
    };
    EXPECT_EQ(pixel(0, 0), 0xF800);
    EXPECT_EQ(pixel(95, 63), 0xF800);
    EXPECT_EQ(pixel(96, 0), 0x07E0);
    EXPECT_EQ(pixel(191, 63), 0x07E0);
    EXPECT_EQ(pixel(0, 64), 0x001F);
    EXPECT_EQ(pixel(191, 127), 0xFFFF);
    EXPECT_EQ(lcdPreview(solid(1, 1, Qt::blue)).size(), kPreviewBytes);
}

TEST(Caption, WidthByHeight) {
    EXPECT_EQ(pictureCaption(solid(1920, 1080, Qt::red)), QStringLiteral("1920 x 1080"));
    EXPECT_EQ(pictureCaption(solid(101, 7, Qt::red)), QStringLiteral("101 x 7"));
    EXPECT_EQ(pictureCaption(QImage()), QStringLiteral("0 x 0"));
}

TEST(Thumbnail, FitsInto320By240KeepingAspect) {
    EXPECT_EQ(pictureThumbnail(solid(800, 600, Qt::red)).size(), QSize(320, 240));
    EXPECT_EQ(pictureThumbnail(solid(1920, 1080, Qt::red)).size(), QSize(320, 180));
    EXPECT_EQ(pictureThumbnail(solid(100, 400, Qt::red)).size(), QSize(60, 240));
    EXPECT_TRUE(pictureThumbnail(QImage()).isNull());
}

TEST_F(PictureFiles, DecodedFormatsLoad) {
    const QImage src = solid(64, 48, QColor(10, 200, 30));
    for (const char* name : {"p.png", "p.bmp", "p.jpg"}) {
        ASSERT_TRUE(src.save(path(name))) << name;
        const QImage got = loadPicture(path(name));
        ASSERT_FALSE(got.isNull()) << name;
        EXPECT_EQ(got.size(), src.size()) << name;
        EXPECT_EQ(pictureCaption(got), QStringLiteral("64 x 48"));
    }
    const QImage png = loadPicture(path("p.png"));
    EXPECT_EQ(patternBitmap(png), patternBitmap(src)); // lossless formats keep every byte
}

TEST_F(PictureFiles, UnloadableFilesGiveNullPicture) {
    for (const auto& bad : badfiles::badPictures(dir.path().toStdString(), kRawPictureBytes)) {
        const QImage got = loadPicture(QString::fromStdString(bad.path));
        EXPECT_TRUE(got.isNull()) << bad.what;
        EXPECT_EQ(pictureCaption(got), QStringLiteral("0 x 0")) << bad.what;
    }
}

TEST_F(PictureFiles, RawFileIsOneFullScreenRgb888Picture) {
    const QByteArray raw = rawPicture();
    ASSERT_TRUE(writeFile(path("raw.bin"), raw));
    const QImage got = loadPicture(path("raw.bin"));
    ASSERT_EQ(got.size(), QSize(1920, 1080));
    EXPECT_EQ(pictureCaption(got), QStringLiteral("1920 x 1080"));
    EXPECT_EQ(got.pixel(0, 0), qRgb(raw[0] & 0xFF, raw[1] & 0xFF, raw[2] & 0xFF));
    EXPECT_EQ(patternBitmap(got), raw); // the bytes reach the generator unchanged
}

TEST_F(PictureFiles, LongerRawFileUsesItsFirstPicture) {
    const QByteArray raw = rawPicture(1000);
    ASSERT_TRUE(writeFile(path("long.bin"), raw));
    const QImage got = loadPicture(path("long.bin"));
    ASSERT_EQ(got.size(), QSize(1920, 1080));
    EXPECT_EQ(patternBitmap(got), raw.left(kRawPictureBytes));
}

TEST_F(PictureFiles, ShortRawFileIsRefused) {
    for (int size : {kRawPictureBytes - 1, 5760, 1, 0}) {
        ASSERT_TRUE(writeFile(path("short.bin"), rawPicture().left(size)));
        const QImage got = loadPicture(path("short.bin"));
        EXPECT_TRUE(got.isNull()) << size;
        EXPECT_EQ(pictureCaption(got), QStringLiteral("0 x 0")) << size;
    }
}
