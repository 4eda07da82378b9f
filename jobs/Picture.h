#pragma once
// Picture preparation for pattern replacement: loading, classification by name, and the two
// pixel formats the generator takes (24-bit pattern bitmap, 16-bit display preview).
#include <QByteArray>
#include <QImage>
#include <QString>

enum FileKind { FileKindNone = 0, FileKindFirmware = 1, FileKindPicture = 2 };

constexpr int kRawPictureWidth = 1920;
constexpr int kRawPictureHeight = 1080;
constexpr int kRawPictureBytes = kRawPictureWidth * kRawPictureHeight * 3; // 6,220,800
constexpr int kPreviewWidth = 192;
constexpr int kPreviewHeight = 128;
constexpr int kPreviewBytes = kPreviewWidth * kPreviewHeight * 2; // 49,152
// A pattern slot holds one full-screen bitmap: 24,300 flash pages.
constexpr int kSlotBytes = kRawPictureBytes;
constexpr int kThumbnailWidth = 320;
constexpr int kThumbnailHeight = 240;

// Kind of a file by its name suffix, case-sensitive: ".hex" firmware; ".png", ".jpg", ".bmp",
// ".bin" picture; anything else (also an empty name) none. Returns a FileKind value.
int fileKind(const QString& fileName);

// Loads a picture: a name ending in ".bin" is a raw 1920 x 1080 RGB888 bitmap (its first
// 6,220,800 bytes; a shorter file is refused), anything else goes through the image loader.
// A file that does not load gives a null image.
QImage loadPicture(const QString& path);

// "W x H" in decimal; a null image gives "0 x 0".
QString pictureCaption(const QImage& picture);

// The picture scaled to fit 320 x 240, aspect kept, fast scaling (the file page's preview).
QImage pictureThumbnail(const QImage& picture);

// The picture as it goes to the generator: with fit, scaled to exactly 1920 x 1080 (aspect kept,
// smooth scaling, centred on black); otherwise unchanged. Transparency is flattened later, by the
// two pixel formats below.
QImage pictureToSend(const QImage& picture, bool fit);

// Empty when the picture's pattern bitmap fits a slot; otherwise the refusal, naming the picture
// (name), its size and the limit.
QString pictureTooLarge(const QImage& picture, const QString& name);

// Both pixel formats below composite transparent pixels on black first.
// Pattern bitmap: the picture unscaled as RGB888, rows padded to 4 bytes; empty for a null image.
QByteArray patternBitmap(const QImage& picture);

// Display preview: scaled to exactly 192 x 128 (aspect ignored, fast scaling), RGB 5-6-5 with
// each pixel high byte first: 49,152 bytes; empty for a null image.
QByteArray lcdPreview(const QImage& picture);
