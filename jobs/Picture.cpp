#include "jobs/Picture.h"

#include "files/FileLoad.h"

#include <QFileInfo>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <utility>

namespace {

const char* const kFirmwareSuffix = ".hex";
const char* const kPictureSuffixes[] = {".png", ".jpg", ".bmp", ".bin"};
const char* const kRawSuffix = ".bin";
constexpr int kRawRowBytes = kRawPictureWidth * 3;

// A raw file holds one full-screen RGB888 picture without a header; longer files contribute
// their first picture only, shorter ones nothing.
QImage loadRawPicture(const QString& path) {
    unsigned char* data = nullptr;
    unsigned size = 0;
    const QByteArray local = path.toLocal8Bit();
    if (!readBinFile(local.constData(), data, size)) return QImage();
    QImage picture;
    if (size >= static_cast<unsigned>(kRawPictureBytes))
        picture =
            QImage(data, kRawPictureWidth, kRawPictureHeight, kRawRowBytes, QImage::Format_RGB888)
                .copy();
    delete[] data;
    return picture;
}

// Premultiplied pixels are exactly the picture composited on black; read without their alpha
// they are the opaque picture. Opaque pictures pass unchanged.
QImage onBlack(const QImage& picture) {
    if (!picture.hasAlphaChannel()) return picture;
    const QImage pm = picture.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    return QImage(pm.constBits(), pm.width(), pm.height(), pm.bytesPerLine(), QImage::Format_RGB32)
        .copy();
}

// Padded RGB888 rows times the height, without overflow for any picture size.
uint64_t bitmapBytes(const QImage& picture) {
    const uint64_t row = (uint64_t(picture.width()) * 3 + 3) / 4 * 4;
    return row * uint64_t(picture.height());
}

} // namespace

int fileKind(const QString& fileName) {
    if (fileName.endsWith(QLatin1String(kFirmwareSuffix), Qt::CaseSensitive))
        return FileKindFirmware;
    for (const char* suffix : kPictureSuffixes)
        if (fileName.endsWith(QLatin1String(suffix), Qt::CaseSensitive)) return FileKindPicture;
    return FileKindNone;
}

QImage loadPicture(const QString& path) {
    // Only a regular file: the decoder would wait on a FIFO for a writer without end.
    if (!QFileInfo(path).isFile()) return QImage();
    if (path.endsWith(QLatin1String(kRawSuffix), Qt::CaseSensitive)) return loadRawPicture(path);
    QImage picture;
    if (!picture.load(path)) return QImage();
    return picture;
}

QString pictureCaption(const QImage& picture) {
    return QStringLiteral("%1 x %2").arg(picture.width()).arg(picture.height());
}

QImage pictureThumbnail(const QImage& picture) {
    if (picture.isNull()) return QImage();
    return picture.scaled(kThumbnailWidth, kThumbnailHeight, Qt::KeepAspectRatio,
                          Qt::FastTransformation);
}

QImage pictureToSend(const QImage& picture, bool fit) {
    if (!fit || picture.isNull()) return picture;
    const QImage scaled = onBlack(picture)
                              .convertToFormat(QImage::Format_RGB32)
                              .scaled(kRawPictureWidth, kRawPictureHeight, Qt::KeepAspectRatio,
                                      Qt::SmoothTransformation);
    QImage canvas(kRawPictureWidth, kRawPictureHeight, QImage::Format_RGB32);
    canvas.fill(Qt::black);
    const int left = (kRawPictureWidth - scaled.width()) / 2;
    const int top = (kRawPictureHeight - scaled.height()) / 2;
    const size_t rowBytes = size_t(scaled.width()) * 4;
    for (int y = 0; y < scaled.height(); ++y)
        std::memcpy(canvas.scanLine(top + y) + size_t(left) * 4, scaled.constScanLine(y), rowBytes);
    return canvas;
}

QString pictureTooLarge(const QImage& picture, const QString& name) {
    const uint64_t need = bitmapBytes(picture);
    if (need <= uint64_t(kSlotBytes)) return QString();
    return QStringLiteral("%1 is too large for a pattern slot: %2 x %3 needs %4 bytes, a slot "
                          "holds %5 bytes (%6 x %7)")
        .arg(name)
        .arg(picture.width())
        .arg(picture.height())
        .arg(need)
        .arg(kSlotBytes)
        .arg(kRawPictureWidth)
        .arg(kRawPictureHeight);
}

QByteArray patternBitmap(const QImage& picture) {
    if (picture.isNull()) return QByteArray();
    const QImage rgb = onBlack(picture).convertToFormat(QImage::Format_RGB888);
    QByteArray bytes(reinterpret_cast<const char*>(rgb.constBits()),
                     static_cast<int>(rgb.sizeInBytes()));
    // Rows are padded to 4 bytes and the conversion leaves the padding unset: send zeros, not
    // whatever the heap held.
    const int used = rgb.width() * 3;
    const int stride = rgb.bytesPerLine();
    if (stride > used)
        for (int y = 0; y < rgb.height(); ++y)
            std::fill(bytes.data() + y * stride + used, bytes.data() + (y + 1) * stride, '\0');
    return bytes;
}

QByteArray lcdPreview(const QImage& picture) {
    if (picture.isNull()) return QByteArray();
    const QImage small =
        onBlack(picture)
            .convertToFormat(QImage::Format_RGB888)
            .scaled(kPreviewWidth, kPreviewHeight, Qt::IgnoreAspectRatio, Qt::FastTransformation)
            .convertToFormat(QImage::Format_RGB16);
    QByteArray bytes(reinterpret_cast<const char*>(small.constBits()),
                     static_cast<int>(small.sizeInBytes()));
    // The display takes each pixel high byte first; the image keeps it low byte first.
    char* p = bytes.data();
    for (int i = 0; i + 1 < bytes.size(); i += 2) std::swap(p[i], p[i + 1]);
    return bytes;
}
