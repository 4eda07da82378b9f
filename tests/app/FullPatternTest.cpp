// The complete pattern replacement through the wizard's widgets, at full size, and the same
// bytes from the wizard and from kivo for one picture.
#include "WizardRig.h"
#include "cli/Cli.h"

namespace {

// A picture whose transparent pixels hide colours, over a gradient of alpha.
QImage seeThrough() {
    QImage img(90, 60, QImage::Format_ARGB32);
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x)
            img.setPixel(x, y, qRgba(255 - x, y * 4, (x * y) & 0xFF, x < 10 ? 0 : (x * 3) & 0xFF));
    return img;
}

// Smooth shades and fine noise, as a camera gives them.
QImage photo() {
    QImage img(160, 120, QImage::Format_RGB32);
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x)
            img.setPixel(x, y, qRgb(x + (x * y) % 7, 60 + y + (x ^ y) % 5, 200 - x / 2));
    return img;
}

int runKivoInProcess(std::vector<std::string> args) {
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    return kivo::kivoMain(int(args.size()), argv.data());
}

} // namespace

class FullPatternTest : public QObject {
    Q_OBJECT
    QTemporaryDir dir;

private slots:
    void initTestCase() { Q_INIT_RESOURCE(Kivo_Updater); }

    void replacesPatternTwoAtFullSize() {
        const QString path = dir.filePath("bars.png");
        QVERIFY(testPicture(1920, 1080).save(path));
        // The hardware's slot erase, confirmed through the long wait; its 0.7 ms page program
        // time would add 17 s here and is measured by the benchmarks instead.
        KivoSim::Options o;
        o.timings.pageProgramUs = 0;
        WizardRig rig(o);
        QVERIFY(rig.simStarted);
        rig.show();
        Kivo& w = *rig.wizard;
        QCOMPARE(w.windowTitle(), QString("Kivo Updater"));
        for (auto which : {QWizard::BannerPixmap, QWizard::WatermarkPixmap, QWizard::LogoPixmap})
            QVERIFY(!w.pixmap(which).isNull());
        const QStringList pages = {"Welcome", "Select Serial Port", "Select File", "Finish"};
        QCOMPARE(sideEntries(w), pages);
        QVERIFY(sideEntry(w, 0)->isEnabled() && !sideEntry(w, 1)->isEnabled());
        QVERIFY(rig.next());
        QVERIFY(sideEntry(w, 0)->isChecked() && !sideEntry(w, 0)->isEnabled() &&
                sideEntry(w, 1)->isEnabled());
        QVERIFY(!rig.forwardEnabled());
        QCOMPARE(w.portCombo->itemText(0), QString("Select Serial Port"));
        QVERIFY(rig.verify(kSimulatorProduct));
        QVERIFY(rig.verify(kSimulatorProduct)); // the first stream is closed before the second
        QCOMPARE(rig.field("verifySerial"),
                 QString("Serial connection to KIVO Ok, click Next to continue."));
        rig.click("Rescan Serial Ports"); // keeps the link
        QCOMPARE(w.portCombo->currentIndex(), 0);
        QVERIFY(w.kivoIo && rig.next());

        QVERIFY(!rig.forwardEnabled()); // nothing chosen yet
        rig.choose(path);
        rig.choose(QString()); // a cancelled dialog forgets the choice: nothing to commit
        QVERIFY(rig.next());
        QCOMPARE(w.currentId(), int(Kivo::FileId));
        rig.choose(path);
        QCOMPARE(rig.field("dataFileCaption"), QString("1920 x 1080"));
        QVERIFY(rig.shown(QWizard::CancelButton));
        QVERIFY(rig.next());
        QCOMPARE(sideEntries(w), QStringList({"Welcome", "Select Serial Port", "Select File",
                                              "Load Bitmap", "Finish"}));
        QVERIFY(rig.shown(QWizard::CancelButton));
        QVERIFY(!w.button(QWizard::BackButton)->isEnabled() && !rig.forwardEnabled());

        rig.recordStatus();
        rig.wizard->patternGroup->button(2)->click();
        rig.start();
        QVERIFY(rig.takeBoxes().isEmpty());
        QCOMPARE(rig.statuses,
                 QStringList({"Erasing Flash", "Loading bars.png", "bars.png Loaded Successfully",
                              "Loading LCD Preview.", "KIVO Pattern has been installed."}));
        QCOMPARE(rig.bar()->value(), 100);
        QVERIFY(!rig.startEnabled());
        const QImage loaded = loadPicture(path);
        QVERIFY(rig.sim.slot(2) == bytes(patternBitmap(loaded)));
        QVERIFY(rig.sim.preview(38) == bytes(lcdPreview(loaded)));
        QCOMPARE(rig.sim.previewIndexes(), std::vector<int>({38}));
        QCOMPARE(rig.sim.consoleLines(),
                 std::vector<std::string>({"DBG 1", "fpw 7c 02", "cnd 12", "DBG 0"}));
        QCOMPARE(rig.sim.counters().pagesWritten, uint64_t(24300 + 192));
        QCOMPARE(rig.sim.counters().violations, uint64_t(0));

        QVERIFY(rig.next());
        QCOMPARE(w.currentId(), int(Kivo::FinishId));
        QVERIFY(!rig.shown(QWizard::CancelButton));
        w.button(QWizard::FinishButton)->click();
        QVERIFY(!w.isVisible());
        QCOMPARE(w.result(), int(QDialog::Accepted));
    }

    // The generator gets the same bitmap and preview from either front end; transparent pixels
    // arrive as black.
    void sameBytesFromWizardAndKivo_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QImage>("picture");
        QTest::newRow("PNG with transparency") << "clear.png" << seeThrough();
        QTest::newRow("photo") << "photo.jpg" << photo();
    }
    void sameBytesFromWizardAndKivo() {
        QFETCH(QString, name);
        QFETCH(QImage, picture);
        const QString path = dir.filePath(name);
        QVERIFY(picture.save(path));
        WizardRig rig;
        rig.show();
        QVERIFY(rig.reachWorkPage(path));
        rig.wizard->patternGroup->button(2)->click();
        rig.start();
        QCOMPARE(rig.field("bmStatus1"), QString("KIVO Pattern has been installed."));
        KivoSim tool;
        QVERIFY(tool.start());
        QCOMPARE(runKivoInProcess(
                     {"kivo", "--quiet", "pattern", tool.slavePath(), "2", path.toStdString()}),
                 0);
        QVERIFY(!rig.sim.slot(2).empty());
        QVERIFY(rig.sim.slot(2) == tool.slot(2));
        QVERIFY(rig.sim.preview(38) == tool.preview(38));
        if (picture.hasAlphaChannel()) // the first columns are fully transparent
            QVERIFY(std::all_of(rig.sim.slot(2).begin(), rig.sim.slot(2).begin() + 30,
                                [](uint8_t b) { return b == 0; }));
    }
};

QTEST_MAIN(FullPatternTest)
#include "FullPatternTest.moc"
