// Walks both flows of the wizard against the simulated generator and saves every page as a PNG.
// Usage: app_screenshot_tour OUTDIR (scripts/screenshots runs it under a virtual display).
#include "app/Kivo.h"
#include "app/SimulatorPort.h"
#include "device/KivoIo.h"
#include "files/IHexRecord.h"
#include "serial/SerialIo.h"
#include "sim/KivoSim.h"

#include <QtWidgets>

#include <cstdio>
#include <cstring>
#include <memory>

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

bool putRecord(FILE* f, int type, unsigned short address, unsigned char* data, int len) {
    IHexRecord r;
    return New_IHexRecord(type, address, data, len, &r) == IHEX_OK &&
           Write_IHexRecord(r, f) == IHEX_OK;
}

// 4 KiB of firmware at the start of the flash.
bool writeFirmware(const QString& path) {
    FILE* f = std::fopen(QFile::encodeName(path).constData(), "w");
    if (!f) return false;
    unsigned char upper[2] = {0x08, 0x00}, data[16];
    std::memset(data, 0x5A, sizeof data);
    bool ok = putRecord(f, IHEX_TYPE_EXTENDED_LINEAR_ADDRESS, 0, upper, 2);
    for (unsigned short at = 0; ok && at < 4096; at += 16)
        ok = putRecord(f, IHEX_TYPE_DATA, at, data, 16);
    ok = ok && putRecord(f, IHEX_TYPE_EOF, 0, nullptr, 0);
    return std::fclose(f) == 0 && ok;
}

class Tour : public QObject {
public:
    explicit Tour(const QString& dir) : out(dir) {
        // Message boxes are modal: a timer photographs the one asked for and closes each.
        connect(&boxes, &QTimer::timeout, this, [this] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!box) return;
            if (boxName) shot(box, boxName);
            box->done(QMessageBox::Ok);
        });
        boxes.start(10);
    }

    // One flow from Welcome to Finish; the pages before the file's are shot in the first only.
    bool walk(const QString& file, bool pattern) {
        KivoSim sim;
        Kivo w(nullptr);
        if (!attachSimulator(w, sim)) return false;
        w.addQsPages();
        w.show();
        const char* kind = pattern ? "pattern" : "firmware";
        if (pattern) shot(&w, "welcome");
        forward(w);
        if (pattern) {
            shot(&w, "serial-page");
            boxName = "serial-no-port-box";
            verify(w, QString());
            boxName = nullptr;
        }
        if (!verify(w, kSimulatorProduct)) return false;
        if (pattern) shot(&w, "serial-verified");
        forward(w);
        if (pattern) shot(&w, "file-page");
        w.fileChooser = [file] { return file; };
        button(w, "Browse")->click();
        shot(&w, pattern ? "file-picture-chosen" : "file-firmware-chosen");
        forward(w);
        shot(&w, pattern ? "load-bitmap-page" : "firmware-page");
        if (pattern) w.patternGroup->button(2)->click();
        w.startButton->click();
        shot(&w, pattern ? "load-bitmap-done" : "firmware-done");
        forward(w);
        shot(&w, QByteArray("finish-after-") + kind);
        return true;
    }

    // A generator left in its bootloader: the serial page's notice, a refused picture, and the
    // update that recovers it.
    bool recover(const QString& picture, const QString& hex) {
        KivoSim sim;
        Kivo w(nullptr);
        if (!attachSimulator(w, sim) || !enterBootloader(sim)) return false;
        w.addQsPages();
        w.show();
        forward(w);
        verify(w, kSimulatorProduct);
        shot(&w, "serial-bootloader");
        forward(w);
        w.fileChooser = [picture] { return picture; };
        boxName = "file-picture-refused-box";
        button(w, "Browse")->click();
        boxName = nullptr;
        w.fileChooser = [hex] { return hex; };
        button(w, "Browse")->click();
        forward(w);
        w.startButton->click();
        shot(&w, "firmware-recovered");
        return !sim.inBootloader();
    }

private:
    static bool enterBootloader(KivoSim& sim) {
        std::unique_ptr<SerialIo> io(SerialIo::PlatformSIo());
        if (!io->initialize(sim.slavePath().c_str(), SerialIo::Baud115200, 8, SerialIo::ParityNone,
                            1))
            return false;
        KivoIo(*io).bootloader();
        for (int i = 0; i < 100 && !sim.inBootloader(); ++i) QThread::msleep(20);
        return sim.inBootloader();
    }
    void shot(QWidget* w, const QByteArray& name) {
        QCoreApplication::processEvents();
        const QString path =
            out.filePath(QString("%1-%2.png").arg(++count, 2, 10, QChar('0')).arg(name.data()));
        if (!w->grab().save(path))
            std::fprintf(stderr, "could not write %s\n", qPrintable(path));
        else
            std::printf("%s\n", qPrintable(path));
    }
    static QPushButton* button(Kivo& w, const QString& text) {
        for (QPushButton* b : w.findChildren<QPushButton*>())
            if (b->text() == text) return b;
        return nullptr;
    }
    static void forward(Kivo& w) {
        const bool commit = w.currentPage()->isCommitPage();
        w.button(commit ? QWizard::CommitButton : QWizard::NextButton)->click();
    }
    static bool verify(Kivo& w, const QString& product) {
        w.portCombo->setCurrentIndex(w.portCombo->findText(product));
        button(w, "Verify Serial Port")->click();
        return w.kivoIo != nullptr;
    }

    QDir out;
    int count = 0;
    const char* boxName = nullptr;
    QTimer boxes;
};

} // namespace

int main(int argc, char** argv) {
    Q_INIT_RESOURCE(Kivo_Updater);
    QApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s OUTDIR\n", argv[0]);
        return 2;
    }
    QDir().mkpath(argv[1]);
    QTemporaryDir work;
    const QString picture = work.filePath("colour-bars.png");
    const QString hex = work.filePath("kivo-firmware.hex");
    if (!colourBars(640, 360).save(picture) || !writeFirmware(hex)) return 1;
    Tour tour(QString::fromLocal8Bit(argv[1]));
    return tour.walk(picture, true) && tour.walk(hex, false) && tour.recover(picture, hex) ? 0 : 1;
}
