#pragma once
// Replaces one stored test pattern and its display preview: erase the slot, write the bitmap,
// write the preview at index slot + 36.
#include "jobs/JobTypes.h"

#include <QImage>
#include <QString>

class KivoIo;

constexpr unsigned kPatternSlots = 10;
constexpr unsigned kPreviewIndexBase = 36;

struct PatternRequest {
    KivoIo* link = nullptr; // the verified link; not owned
    unsigned slot = 0;      // 0..9
    QImage picture;         // as loadPicture gives it
    QString path;           // the picture's path; its file name appears in the texts
    bool fit = false;       // scale to 1920 x 1080 first (pictureToSend)
};

// Runs the whole replacement synchronously. Refuses a missing link, a null picture, a picture
// whose bitmap would not fit the slot or a slot out of range before any traffic (result.refused).
// On failure, result.step tells which stage failed: after a failed bitmap write (Bitmap) or a
// refusal (Link, Picture) the caller may offer Start again.
JobResult runPatternJob(const PatternRequest& request, const JobCallbacks& callbacks);
