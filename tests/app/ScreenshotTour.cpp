// Walks both flows of the wizard against the simulated generator and saves every page as a PNG.
// Usage: app_screenshot_tour OUTDIR (scripts/screenshots runs it under a virtual display).
#include "WizardRig.h"

#include <QDir>
#include <QPainter>
#include <QTemporaryDir>

#include <cstdio>

namespace {

// Eight vertical colour bars, the classic first test pattern.
QImage colourBars(int width, int height) {
    QImage img(width, height, QImage::Format_RGB32);
    QPainter p(&img);
    const QRgb bars[] = {0xFFFFFF, 0xFFFF00, 0x00FFFF, 0x00FF00,
                         0xFF00FF, 0xFF0000, 0x0000FF, 0x000000};
    for (int i = 0; i < 8; ++i)
        p.fillRect(i * width / 8, 0, width / 8 + 1, height, QColor(bars[i]));
    return img;
}

class Tour {
public:
    explicit Tour(const QString& dir) : out(dir) {}

    void shot(QWidget* w, const char* name) {
        QCoreApplication::processEvents();
        const QString path =
            out.filePath(QString("%1-%2.png").arg(++count, 2, 10, QChar('0')).arg(name));
        if (!w->grab().save(path))
            std::fprintf(stderr, "could not write %s\n", qPrintable(path));
        else
            std::printf("%s\n", qPrintable(path));
    }

    bool patternFlow(const QString& picture) {
        WizardRig rig;
        rig.show();
        shot(rig.wizard.get(), "welcome");
        rig.next();
        shot(rig.wizard.get(), "serial-page");
        rig.closer.onBox = [this](QMessageBox* box) { shot(box, "serial-no-port-box"); };
        rig.verify(QString());
        rig.closer.onBox = nullptr;
        if (!rig.verify(kSimulatorProduct)) return false;
        shot(rig.wizard.get(), "serial-verified");
        rig.next();
        shot(rig.wizard.get(), "file-page");
        rig.choose(picture);
        shot(rig.wizard.get(), "file-picture-chosen");
        rig.next();
        shot(rig.wizard.get(), "load-bitmap-page");
        rig.wizard->patternGroup->button(2)->click();
        rig.start();
        shot(rig.wizard.get(), "load-bitmap-done");
        rig.next();
        shot(rig.wizard.get(), "finish-after-pattern");
        return true;
    }

    bool firmwareFlow(const QString& hex) {
        WizardRig rig;
        rig.show();
        rig.next();
        if (!rig.verify(kSimulatorProduct)) return false;
        rig.next();
        rig.choose(hex);
        shot(rig.wizard.get(), "file-firmware-chosen");
        rig.next();
        shot(rig.wizard.get(), "firmware-page");
        rig.start();
        shot(rig.wizard.get(), "firmware-done");
        rig.next();
        shot(rig.wizard.get(), "finish-after-firmware");
        return true;
    }

private:
    QDir out;
    int count = 0;
};

} // namespace

int main(int argc, char** argv) {
    initKivoResources();
    QApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s OUTDIR\n", argv[0]);
        return 2;
    }
    QDir().mkpath(argv[1]);
    QTemporaryDir work;
    const QString picture = work.filePath("colour-bars.png");
    const QString hex = work.filePath("kivo-firmware.hex");
    if (!colourBars(640, 360).save(picture) ||
        !writeFile(hex, hexText(0x08000000, QByteArray(4096, '\x5A'))))
        return 1;
    Tour tour(QString::fromLocal8Bit(argv[1]));
    const bool ok = tour.patternFlow(picture) && tour.firmwareFlow(hex);
    return ok ? 0 : 1;
}
