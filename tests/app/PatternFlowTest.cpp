// The complete pattern replacement through the wizard's widgets, at full size.
#include "WizardRig.h"

#include <QTemporaryDir>
#include <QtTest>

#include <string>

namespace {

std::vector<uint8_t> rgb888(const QImage& img) {
    std::vector<uint8_t> out;
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x) {
            const QRgb p = img.pixel(x, y);
            out.insert(out.end(), {uint8_t(qRed(p)), uint8_t(qGreen(p)), uint8_t(qBlue(p))});
        }
    return out;
}

// 192 x 128 nearest-pixel, RGB 5-6-5 high byte first.
std::vector<uint8_t> preview565(const QImage& img) {
    const QImage small = img.convertToFormat(QImage::Format_RGB888)
                             .scaled(192, 128, Qt::IgnoreAspectRatio, Qt::FastTransformation);
    std::vector<uint8_t> out;
    for (int y = 0; y < small.height(); ++y)
        for (int x = 0; x < small.width(); ++x) {
            const QRgb p = small.pixel(x, y);
            const unsigned v = ((qRed(p) >> 3) << 11) | ((qGreen(p) >> 2) << 5) | (qBlue(p) >> 3);
            out.insert(out.end(), {uint8_t(v >> 8), uint8_t(v & 0xFF)});
        }
    return out;
}

} // namespace

class PatternFlowTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { initKivoResources(); }

    void replacesPatternTwoAndItsPreview() {
        QTemporaryDir dir;
        const QString path = dir.filePath("bars.png");
        const QImage picture = testPicture(1920, 1080);
        QVERIFY(picture.save(path));

        WizardRig rig;
        QVERIFY(rig.simStarted);
        rig.show();
        QCOMPARE(rig.sideEntries(),
                 QStringList({"Welcome", "Select Serial Port", "Select File", "Finish"}));
        QVERIFY(rig.reachWorkPage(path));
        QCOMPARE(rig.field("dataFileCaption"), QString("1920 x 1080"));
        QCOMPARE(rig.sideEntries(), QStringList({"Welcome", "Select Serial Port", "Select File",
                                                 "Load Bitmap", "Finish"}));
        QVERIFY(!rig.forwardEnabled());

        rig.recordStatus();
        rig.wizard->patternGroup->button(2)->click();
        rig.start();
        QVERIFY(rig.closer.take().isEmpty());
        QCOMPARE(rig.statuses,
                 QStringList({"Erasing Flash", "Loading bars.png", "bars.png Loaded Successfully",
                              "Loading LCD Preview.", "KIVO Pattern has been installed."}));
        QCOMPARE(rig.progressBar()->value(), 100);
        QVERIFY(!rig.pushButton("Start")->isEnabled());

        QVERIFY(rig.sim.slot(2) == rgb888(picture));
        QVERIFY(rig.sim.preview(38) == preview565(picture));
        QCOMPARE(rig.sim.previewIndexes(), std::vector<int>({38}));
        const std::vector<std::string> lines = rig.sim.consoleLines();
        QCOMPARE(lines, std::vector<std::string>({"DBG 1", "fpw 7c 02", "cnd 12", "DBG 0"}));
        QCOMPARE(rig.sim.counters().pagesWritten, uint64_t(24300 + 192));
        QCOMPARE(rig.sim.counters().violations, uint64_t(0));

        QVERIFY(rig.next());
        QCOMPARE(rig.wizard->currentId(), int(Kivo::FinishId));
        QVERIFY(!rig.wizard->button(QWizard::CancelButton)->isVisible());
        rig.wizard->button(QWizard::FinishButton)->click();
        QVERIFY(!rig.wizard->isVisible());
        QCOMPARE(rig.wizard->result(), int(QDialog::Accepted));
    }
};

QTEST_MAIN(PatternFlowTest)
#include "PatternFlowTest.moc"
