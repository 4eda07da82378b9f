// The complete pattern replacement through the wizard's widgets, at full size.
#include "WizardRig.h"

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
};

QTEST_MAIN(FullPatternTest)
#include "FullPatternTest.moc"
