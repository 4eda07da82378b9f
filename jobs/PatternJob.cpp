#include "jobs/PatternJob.h"

#include "device/KivoIo.h"
#include "jobs/JobReport.h"
#include "jobs/Picture.h"

#include <QFileInfo>

namespace {

const char* const kNoLink = "No verified connection to KIVO. Please verify the serial port again.";
const char* const kBadSlot = "Pattern position must be 0 to 9";
const char* const kCouldNotRead = "Couldn't read ";

const unsigned char* bytesOf(const QByteArray& a) {
    return reinterpret_cast<const unsigned char*>(a.constData());
}

// The preview, from the bitmap's own RGB888 image; false when the generator refused a page.
bool writePreview(KivoIo& link, unsigned slot, const QImage& picture, JobReport& report) {
    const QByteArray preview = lcdPreview(picture);
    report.progress(0.0);
    return link.loadLcdBitmap(slot + kPreviewIndexBase, bytesOf(preview),
                              static_cast<unsigned>(preview.size()), &report);
}

} // namespace

JobResult runPatternJob(const PatternRequest& request, const JobCallbacks& callbacks) {
    JobReport report(callbacks);
    const QString name = QFileInfo(request.path).fileName();
    if (!request.link) return report.refuse(QString::fromLatin1(kNoLink), JobStep::Link);
    const QImage picture = pictureToSend(request.picture, request.fit);
    if (picture.isNull())
        return report.refuse(QLatin1String(kCouldNotRead) + name, JobStep::Picture);
    // Sent in full, a larger bitmap would run past the slot into the next pattern.
    const QString tooLarge = pictureTooLarge(picture, name);
    if (!tooLarge.isEmpty()) return report.refuse(tooLarge, JobStep::Picture);
    if (request.slot >= kPatternSlots)
        return report.refuse(QString::fromLatin1(kBadSlot), JobStep::Picture);
    KivoIo& link = *request.link;
    JobIdle idle(&link, report); // the console erase takes seconds: keep the caller live

    report.status(QStringLiteral("Erasing Flash"), JobStep::Erase);
    // An unconfirmed erase is not fatal: the bitmap write then fails or succeeds on its own.
    link.eraseBitmapSlot(request.slot, &report);
    if (report.stopped()) { // no bitmap page into a slot whose erase may not have run
        const QString stopped = QStringLiteral("Stopped while erasing the slot");
        report.status(stopped, JobStep::Done);
        return JobResult{false, JobStep::Erase, stopped};
    }
    report.progress(0.0);

    report.status(QStringLiteral("Loading ") + name, JobStep::Bitmap);
    const QByteArray bitmap = patternBitmap(picture);
    const bool bitmapOk =
        link.loadBitmap(bytesOf(bitmap), static_cast<unsigned>(bitmap.size()), &report);
    JobResult result{false, JobStep::Bitmap, QString()};
    QString finalStatus;
    if (!bitmapOk) {
        result.message = QStringLiteral("Couldn't load ") + name;
        report.failure(result.message, JobStep::Bitmap);
        finalStatus = QStringLiteral("Error loading ") + name;
    } else {
        report.status(name + QStringLiteral(" Loaded Successfully"), JobStep::Bitmap);
    }
    report.progress(100.0);

    if (bitmapOk) {
        report.status(QStringLiteral("Loading LCD Preview."), JobStep::Preview);
        const bool previewOk = writePreview(link, request.slot, picture, report);
        if (previewOk) {
            finalStatus = QStringLiteral("KIVO Pattern has been installed.");
            result = JobResult{true, JobStep::Done, QString()};
        } else {
            finalStatus = QStringLiteral("Error loading LCD Preview");
            result = JobResult{false, JobStep::Preview, finalStatus};
        }
    }
    report.progress(100.0);
    report.status(finalStatus, JobStep::Done);
    return result;
}
