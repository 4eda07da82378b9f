// Failure paths of the pattern upload and the guards that keep a stored pattern safe.
#include "WizardRig.h"
#include "device/KivoIo.h"
#include "serial/SerialIo.h"

#include <QPointer>
#include <QTemporaryDir>
#include <QtTest>

namespace {

// 101 x 100: rows of 303 bytes padded to 304, 30400 bytes, 119 flash pages.
constexpr int kWidth = 101;
constexpr int kHeight = 100;
constexpr unsigned kBitmapPages = 119;

QString smallPicture(const QTemporaryDir& dir) {
    const QString path = dir.filePath("pic.png");
    return testPicture(kWidth, kHeight).save(path) ? path : QString();
}

} // namespace

class BitmapPageTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { initKivoResources(); }

    void paddedRowsAndPreviewOfLastPosition() {
        QTemporaryDir dir;
        WizardRig rig;
        rig.show();
        QVERIFY(rig.reachWorkPage(smallPicture(dir)));
        rig.wizard->patternGroup->button(9)->click();
        rig.start();
        QCOMPARE(rig.field("bmStatus1"), QString("KIVO Pattern has been installed."));
        const std::vector<uint8_t> slot = rig.sim.slot(9);
        QCOMPARE(slot.size(), size_t(kBitmapPages * 256));
        const QImage rgb = testPicture(kWidth, kHeight).convertToFormat(QImage::Format_RGB888);
        QCOMPARE(rgb.bytesPerLine(), 304);
        for (int y = 0; y < kHeight; ++y) // the padding byte of each row carries nothing
            QVERIFY(std::equal(rgb.constScanLine(y), rgb.constScanLine(y) + 3 * kWidth,
                               slot.begin() + 304 * y));
        QCOMPARE(rig.sim.previewIndexes(), std::vector<int>({45}));
    }

    void failedBitmapWriteOffersStartAgain() {
        QTemporaryDir dir;
        WizardRig rig;
        rig.show();
        QVERIFY(rig.reachWorkPage(smallPicture(dir)));
        rig.recordStatus();
        KivoSim::Faults f;
        f.noReplyToFrame = 1; // the first bitmap page, right after the erase
        rig.sim.setFaults(f);
        rig.start();
        QCOMPARE(rig.closer.take(), QStringList({"Couldn't load pic.png"}));
        QCOMPARE(rig.statuses,
                 QStringList({"Erasing Flash", "Loading pic.png", "Error loading pic.png"}));
        QVERIFY(rig.pushButton("Start")->isEnabled());
        QVERIFY(rig.forwardEnabled());
        QVERIFY(rig.sim.previewIndexes().empty());
        QCOMPARE(rig.progressBar()->value(), 100);
    }

    void failedPreviewWriteEndsQuietly() {
        QTemporaryDir dir;
        WizardRig rig;
        rig.show();
        QVERIFY(rig.reachWorkPage(smallPicture(dir)));
        rig.recordStatus();
        KivoSim::Faults f;
        f.noReplyToFrame = kBitmapPages + 1; // the first preview page
        rig.sim.setFaults(f);
        rig.start();
        QVERIFY(rig.closer.take().isEmpty());
        QCOMPARE(rig.statuses.last(), QString("Error loading LCD Preview"));
        QVERIFY(rig.statuses.contains("pic.png Loaded Successfully"));
        QVERIFY(!rig.pushButton("Start")->isEnabled());
        QVERIFY(rig.forwardEnabled());
    }

    // A picture that did not load must not cost the stored pattern.
    void unreadablePictureErasesNothing() {
        QTemporaryDir dir;
        const QString path = dir.filePath("broken.png");
        QVERIFY(writeFile(path, "not a picture"));
        WizardRig rig;
        rig.show();
        QVERIFY(rig.reachWorkPage(path));
        QCOMPARE(rig.field("dataFileCaption"), QString("0 x 0"));
        const size_t lines = rig.sim.consoleLines().size();
        rig.start();
        QCOMPARE(rig.closer.take(), QStringList({"Couldn't read broken.png"}));
        QCOMPARE(rig.field("bmStatus1"), QString("Couldn't read broken.png"));
        QCOMPARE(rig.sim.counters().slotErases, uint64_t(0));
        QCOMPARE(rig.sim.consoleLines().size(), lines);
        QVERIFY(rig.pushButton("Start")->isEnabled());
    }

    void lostLinkSendsNothing() {
        QTemporaryDir dir;
        WizardRig rig;
        rig.show();
        QVERIFY(rig.reachWorkPage(smallPicture(dir)));
        Kivo& w = *rig.wizard;
        delete w.kivoIo;
        w.kivoIo = nullptr;
        delete w.serialIo;
        w.serialIo = nullptr;
        const auto before = rig.sim.counters();
        rig.start();
        const QStringList boxes = rig.closer.take();
        QCOMPARE(boxes.size(), 1);
        QVERIFY(boxes[0].contains("verify the serial port again"));
        QCOMPARE(rig.sim.counters().bytesIn, before.bytesIn);
        QVERIFY(rig.pushButton("Start")->isEnabled());
    }

    // Closing and deleting the wizard from inside the upload waits for the upload's end, even
    // when a message box's own event loop runs before the end.
    void closingDuringUploadIsSafe_data() {
        QTest::addColumn<bool>("failBitmap");
        QTest::newRow("upload runs to its end") << false;
        QTest::newRow("failure box after the close") << true;
    }
    void closingDuringUploadIsSafe() {
        QFETCH(bool, failBitmap);
        QTemporaryDir dir;
        WizardRig rig;
        rig.show();
        QVERIFY(rig.reachWorkPage(smallPicture(dir)));
        QPointer<Kivo> alive(rig.wizard.get());
        bool asked = false;
        rig.recordStatus();
        connect(alive->workPage->findChild<MagicLabel*>(), &MagicLabel::ltextChanged,
                [&](const QString& s) {
                    if (asked || !s.startsWith("Loading ")) return;
                    asked = true;
                    alive->reject();
                    alive->deleteLater();
                    KivoSim::Faults f;
                    f.noReplyToFrame = failBitmap ? 1 : 0;
                    rig.sim.setFaults(f);
                });
        rig.start();
        QVERIFY(asked);
        QVERIFY(alive);
        QVERIFY(!alive->isVisible());
        QCOMPARE(rig.closer.take().size(), failBitmap ? 1 : 0);
        QCOMPARE(rig.statuses.last(), failBitmap ? QString("Error loading pic.png")
                                                 : QString("KIVO Pattern has been installed."));
        rig.wizard.release(); // goes by its own deferred delete now
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(!alive);
    }
};

QTEST_MAIN(BitmapPageTest)
#include "BitmapPageTest.moc"
