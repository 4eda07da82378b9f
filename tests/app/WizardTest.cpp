// The wizard through its own widgets against the simulated generator: pages, buttons, fields,
// message boxes and where each kind of job outcome shows. The jobs' own rules are tested with
// the jobs. The binary runs under umockdev-wrapper, so a test can mock the device tree.
#include <umockdev.h> // before Qt, whose "signals" keyword its headers use as a name

#include "app/FileSelectPage.h"
#include "app/Kivo.h"
#include "app/MagicLabel.h"
#include "app/QQSetup.h"
#include "app/QsPage.h"
#include "app/SimulatorPort.h"
#include "serial/SerialIo.h"
#include "sim/KivoSim.h"
#include "tests/support/BadFiles.h"
#include "tests/support/QuickSim.h"
#include "tests/support/RecordedStreams.h"
#include "tests/support/TestPty.h"
#include "tests/support/VirtualPeer.h"

#include <QtTest>
#include <QtWidgets>

#include <memory>
#include <utility>

namespace {

QCheckBox* sideEntry(const QQSetup& w, int i) {
    return qobject_cast<QCheckBox*>(w.sideLayout->itemAt(i)->widget());
}
QStringList sideEntries(const QQSetup& w) {
    QStringList names;
    for (int i = 0; i < w.sideLayout->count(); ++i) names << sideEntry(w, i)->text();
    return names;
}

// The wizard against an in-process simulated generator; the link's pauses take virtual time.
class WizardRig {
public:
    explicit WizardRig(const KivoSim::Options& o = quickSim())
        : sim(o), wizard(std::make_unique<Kivo>(nullptr)) {
        attachSimulator(*wizard, sim); // a simulator that did not start fails the first Verify
        wizard->linkTime = &time;
        // Message boxes are modal: a timer keeps each one's text and closes it.
        QObject::connect(&boxTimer, &QTimer::timeout, [this] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                boxes << box->text();
                box->done(QMessageBox::Ok);
            }
        });
        boxTimer.start(10);
    }
    // The link goes before the simulator; any simulator violation fails the test.
    ~WizardRig() {
        wizard.reset();
        recorded::clear();
        if (KivoSim::violationsInProcess() != violationsBefore)
            QTest::qFail(("simulator: " + KivoSim::recentViolations().back()).c_str(), __FILE__,
                         __LINE__);
    }

    // Builds the pages and shows the wizard; extra ports must be added before.
    void show() { wizard->addQsPages(), wizard->show(); }
    QStringList takeBoxes() { return std::exchange(boxes, QStringList()); }
    QAbstractButton* forward() const {
        const bool commit = wizard->currentPage() && wizard->currentPage()->isCommitPage();
        return wizard->button(commit ? QWizard::CommitButton : QWizard::NextButton);
    }
    bool forwardEnabled() const { return forward()->isEnabled(); }
    // Presses Next (or Commit) when it is enabled; false otherwise.
    bool next() { return forwardEnabled() && (forward()->click(), true); }
    bool shown(QWizard::WizardButton which) const { return wizard->button(which)->isVisible(); }
    void click(const QString& text) const {
        for (QPushButton* b : wizard->findChildren<QPushButton*>())
            if (b->text() == text) b->click();
    }
    bool verify(const QString& product) {
        wizard->portCombo->setCurrentIndex(wizard->portCombo->findText(product));
        click("Verify Serial Port");
        return wizard->serialPage->isComplete() && wizard->kivoIo;
    }
    void choose(const QString& path) {
        wizard->fileChooser = [path] { return path; };
        click("Browse");
    }
    // Welcome, verified simulator, file chosen and committed: the work page is on screen.
    bool reachWorkPage(const QString& path) {
        show();
        if (!next() || !verify(kSimulatorProduct) || !next()) return false;
        choose(path);
        return next() && wizard->currentId() == Kivo::WorkId;
    }
    QString field(const char* name) const { return wizard->field(name).toString(); }
    QProgressBar* bar() const { return wizard->workPage->findChild<QProgressBar*>(); }
    bool startEnabled() const { return wizard->startButton->isEnabled(); }
    void start() { wizard->startButton->click(); }

    KivoSim sim;
    VirtualTime time;
    std::unique_ptr<Kivo> wizard;
    const uint64_t violationsBefore = KivoSim::violationsInProcess();

private:
    QStringList boxes;
    QTimer boxTimer;
};

QImage testPicture(int width, int height) {
    QImage picture(width, height, QImage::Format_RGB32);
    picture.fill(Qt::darkCyan);
    return picture;
}

} // namespace

class WizardTest : public QObject {
    Q_OBJECT
    QTemporaryDir dir;
    QString picture, firmware; // 101 x 100 picture, HEX file of 5001 bytes (a part word)

private slots:
    void initTestCase() {
        Q_INIT_RESOURCE(Kivo_Updater);
        picture = dir.filePath("pic.png");
        firmware = dir.filePath("fw.hex");
        QVERIFY(testPicture(101, 100).save(picture));
        const std::vector<uint8_t> data(5001, 0x5A);
        QVERIFY(badfiles::put(firmware.toStdString(), badfiles::hexText(0x08000000, data)));
    }

    // Id -1 takes the page count plus one; the side panel follows id order, not insertion.
    void pageIdsAndSidePanel() {
        Kivo w(nullptr); // its own pages are not built
        const std::pair<const char*, int> pages[] = {{"a", 0}, {"b", 1}, {"d", -1}, {"c", 2}};
        for (const auto& page : pages)
            w.addQsPage(new QsPage(page.first, nullptr, nullptr), page.second);
        QCOMPARE(w.pageIds(), QList<int>({0, 1, 2, 3}));
        QCOMPARE(sideEntries(w), QStringList({"a", "b", "c", "d"}));
    }

    // The whole pattern replacement at full size: pages, side panel, buttons and texts.
    void replacesPatternTwoAtFullSize() {
        const QString path = dir.filePath("bars.png");
        QVERIFY(testPicture(1920, 1080).save(path));
        WizardRig rig;
        rig.show();
        Kivo& w = *rig.wizard;
        QCOMPARE(w.windowTitle(), QString("Kivo Updater"));
        QVERIFY(!w.pixmap(QWizard::WatermarkPixmap).isNull());
        QCOMPARE(sideEntries(w),
                 QStringList({"Welcome", "Select Serial Port", "Select File", "Finish"}));
        QVERIFY(sideEntry(w, 0)->isEnabled() && !sideEntry(w, 1)->isEnabled());
        QVERIFY(rig.next());
        QVERIFY(sideEntry(w, 0)->isChecked() && !sideEntry(w, 0)->isEnabled() &&
                sideEntry(w, 1)->isEnabled());
        QVERIFY(!rig.forwardEnabled());
        QCOMPARE(w.portCombo->itemText(0), QString("Select Serial Port"));
        QVERIFY(rig.verify(kSimulatorProduct));
        QVERIFY(rig.verify(kSimulatorProduct)); // the first stream is closed before the second
        QCOMPARE(recorded::framings().front(), std::string("115200 8N1"));
        QCOMPARE(rig.field("verifySerial"),
                 QString("Serial connection to KIVO Ok, click Next to continue."));
        rig.click("Rescan Serial Ports"); // keeps the link
        QCOMPARE(w.portCombo->currentIndex(), 0);
        QVERIFY(w.kivoIo && rig.next());

        QVERIFY(!rig.forwardEnabled()); // nothing chosen yet
        rig.choose(path);
        rig.choose(QString()); // a cancelled dialog forgets the choice: nothing to commit
        QVERIFY(rig.next() && w.currentId() == Kivo::FileId);
        const QString other = dir.filePath("m.txt");
        rig.choose(other); // refused by name: a box, and the commit is refused
        QCOMPARE(rig.takeBoxes(), QStringList({other + " is not a valid file for the Kivo"}));
        QVERIFY(rig.next() && w.currentId() == Kivo::FileId && !w.workPage);
        rig.choose(path);
        QCOMPARE(rig.field("dataFilename"), path);
        QCOMPARE(rig.field("dataFileCaption"), QString("1920 x 1080"));
        QVERIFY(rig.field("dataFileStatus").startsWith("If the correct file name is shown"));
        QCOMPARE(w.fileSelectPage->previewLabel->pixmap(Qt::ReturnByValue).size(), QSize(320, 180));
        QVERIFY(rig.shown(QWizard::CancelButton) && rig.next());
        QCOMPARE(sideEntries(w), QStringList({"Welcome", "Select Serial Port", "Select File",
                                              "Load Bitmap", "Finish"}));
        QVERIFY(rig.shown(QWizard::CancelButton));
        QVERIFY(!w.button(QWizard::BackButton)->isEnabled() && !rig.forwardEnabled());
        QVERIFY(!w.fitCheck->isChecked()); // unscaled by default

        w.patternGroup->button(2)->click();
        rig.start();
        QVERIFY(rig.takeBoxes().isEmpty());
        // The job's statuses reach the status line; their order is the job's own.
        QCOMPARE(rig.field("bmStatus1"), QString("KIVO Pattern has been installed."));
        QVERIFY(rig.bar()->value() == 100 && !rig.startEnabled());
        QCOMPARE(rig.sim.previewIndexes(), std::vector<int>({38}));
        QVERIFY(rig.next() && w.currentId() == Kivo::FinishId);
        QVERIFY(!rig.shown(QWizard::CancelButton));
        w.button(QWizard::FinishButton)->click();
        QVERIFY(!w.isVisible());
        QCOMPARE(w.result(), int(QDialog::Accepted));
    }

    // A failed attempt after a success leaves no link, so Next must not stay enabled.
    void serialFailures_data() {
        QTest::addColumn<QString>("product");
        QTest::addColumn<QString>("message");
        QTest::newRow("prompt") << QString() << "No serial port selected";
        QTest::newRow("cannot open") << "Broken Adapter"
                                     << "Couldn't initialize serial port on Broken Adapter";
        QTest::newRow("nothing answers") << "Silent Port"
                                         << "Kivo not found on Silent Port";
    }
    void serialFailures() {
        QFETCH(QString, product);
        QFETCH(QString, message);
        TestPty silent;
        QVERIFY(silent.ok());
        recorded::mute(silent.slavePath);
        WizardRig rig;
        rig.wizard->addExtraPort("/nonexistent/ttyBroken", "Broken Adapter");
        rig.wizard->addExtraPort(QByteArray::fromStdString(silent.slavePath), "Silent Port");
        rig.show();
        QVERIFY(rig.next());
        QVERIFY(rig.verify(kSimulatorProduct) && rig.forwardEnabled());
        QVERIFY(!rig.verify(product));
        QCOMPARE(rig.takeBoxes(), QStringList({message}));
        QVERIFY(!rig.forwardEnabled());
        QVERIFY(!rig.wizard->kivoIo && !rig.wizard->serialIo);
        QVERIFY(
            rig.field("verifySerial").startsWith("Click on the \"Select Serial Port\" drop down"));
    }

    // Two generators behind adapters of one name: each is offered with its path and can be
    // verified, and Verify opens the one chosen.
    void identicalAdapters() {
        KivoSim other;
        QVERIFY(other.start());
        WizardRig rig;
        rig.wizard->addExtraPort(QByteArray::fromStdString(other.slavePath()), kSimulatorProduct);
        rig.show();
        QVERIFY(rig.next());
        for (const std::string& path : {other.slavePath(), rig.sim.slavePath()}) {
            QVERIFY(rig.verify(QString("%1 (%2)").arg(kSimulatorProduct, path.c_str())));
            QCOMPARE(rig.wizard->serialIo->devName(), path.c_str());
        }
        QCOMPARE(rig.wizard->portCombo->findText(kSimulatorProduct), -1);
    }

    // An adapter plugged in while the serial page is shown is offered without a rescan, and
    // leaves with its removal; the entry chosen stays chosen.
    void followsPluggedAdapters() {
        const char* const tty =
            "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-6/1-6:1.0/ttyUSB0/tty/ttyUSB0";
        UMockdevTestbed* bed = umockdev_testbed_new();
        WizardRig rig;
        rig.show();
        QVERIFY(rig.next());
        QComboBox* combo = rig.wizard->portCombo;
        combo->setCurrentIndex(combo->findText(kSimulatorProduct));
        GError* error = nullptr;
        QVERIFY(umockdev_testbed_add_from_file(bed, KIVO_TESTBEDS "/cp2102.umockdev", &error));
        umockdev_testbed_uevent(bed, tty, "add");
        const QString adapter = "CP2102 USB to UART Bridge Controller";
        QTRY_VERIFY_WITH_TIMEOUT(combo->findText(adapter) > 0, 10000);
        QCOMPARE(combo->currentText(), QString(kSimulatorProduct));
        umockdev_testbed_uevent(bed, tty, "remove");
        umockdev_testbed_remove_device(bed, tty);
        QTRY_VERIFY_WITH_TIMEOUT(combo->findText(adapter) < 0, 10000);
        QCOMPARE(combo->currentText(), QString(kSimulatorProduct));
        g_object_unref(bed);
    }

    // A file refused at Start: a box, the status line, nothing sent, Start offered again, and
    // Finish only after a firmware attempt.
    void refusedAtStart_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("caption");
        QTest::addColumn<QString>("message"); // %p: the path
        QTest::newRow("not a picture") << "g.png" << QByteArray("?") << "0 x 0"
                                       << "Couldn't read g.png";
        QTest::newRow("HEX without data")
            << "i.hex" << QByteArray(":00000001FF\n") << "Firmware update"
            << "Couldn't read %p";
    }
    void refusedAtStart() {
        QFETCH(QString, name);
        QFETCH(QByteArray, content);
        QFETCH(QString, message);
        const QString path = dir.filePath(name);
        QVERIFY(badfiles::put(path.toStdString(), content.toStdString()));
        WizardRig rig;
        QVERIFY(rig.reachWorkPage(path));
        QTEST(rig.field("dataFileCaption"), "caption");
        QVERIFY(rig.wizard->fileSelectPage->previewLabel->pixmap(Qt::ReturnByValue).isNull());
        const auto before = rig.sim.counters();
        rig.start();
        message.replace("%p", path);
        QCOMPARE(rig.takeBoxes(), QStringList({message}));
        QCOMPARE(rig.field("bmStatus1"), message);
        QCOMPARE(rig.sim.counters().bytesIn, before.bytesIn);
        QVERIFY(rig.wizard->kivoIo && rig.startEnabled());
        QCOMPARE(rig.forwardEnabled(), name.endsWith(".hex"));
    }

    // A bitmap page that fails offers Start again; a preview page does not, the slot holding the
    // new pattern. Closing and deleting the wizard during the upload waits for its end, even
    // past a failure box.
    void patternOutcomes_data() {
        QTest::addColumn<int>("badFrame"); // 1: the first page after the erase; 119 pages
        QTest::addColumn<bool>("close");
        QTest::addColumn<QStringList>("boxes");
        QTest::addColumn<QString>("status");
        QTest::addColumn<bool>("startAgain");
        QTest::newRow("bitmap page fails, closed")
            << 1 << true << QStringList({"Couldn't load pic.png"}) << "Error loading pic.png"
            << true;
        QTest::newRow("preview page fails")
            << 119 + 1 << false << QStringList() << "Error loading LCD Preview" << false;
    }
    void patternOutcomes() {
        QFETCH(int, badFrame);
        QFETCH(bool, close);
        WizardRig rig;
        QVERIFY(rig.reachWorkPage(picture));
        QPointer<Kivo> alive(rig.wizard.get());
        if (close)
            connect(rig.wizard->workPage->findChild<MagicLabel*>(), &MagicLabel::ltextChanged,
                    [&](const QString& s) {
                        if (!s.startsWith("Loading ") || !alive->isVisible()) return;
                        alive->reject();
                        alive->deleteLater();
                    });
        KivoSim::Faults f;
        f.badChecksumReply = unsigned(badFrame);
        rig.sim.setFaults(f);
        rig.wizard->patternGroup->button(9)->click();
        rig.start();
        QVERIFY(alive);
        QTEST(rig.takeBoxes(), "boxes");
        QTEST(rig.field("bmStatus1"), "status");
        QTEST(rig.startEnabled(), "startAgain");
        QCOMPARE(rig.bar()->value(), 100);
        QCOMPARE(rig.forwardEnabled(), !close);
        if (!close) return;
        QVERIFY(!alive->isVisible());
        rig.wizard.release(); // goes by its own deferred delete now
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(!alive);
    }

    // The whole firmware update; while the flash is written the wizard cannot be left.
    void installsFirmware() {
        WizardRig rig;
        QVERIFY(rig.reachWorkPage(firmware));
        Kivo& w = *rig.wizard;
        QCOMPARE(sideEntries(w), QStringList({"Welcome", "Select Serial Port", "Select File",
                                              "Firmware", "Finish"}));
        QVERIFY(rig.forwardEnabled());
        bool tried = false, stayed = true; // mid-run, Next, Cancel and the window's close fail
        connect(w.workPage->findChild<MagicLabel*>(), &MagicLabel::ltextChanged,
                [&](const QString& s) {
                    if (s != "Loading fw.hex" || tried) return;
                    tried = true;
                    stayed = !rig.forwardEnabled() && !rig.next();
                    w.reject();
                    w.close();
                    stayed = stayed && w.isVisible() && w.currentId() == Kivo::WorkId;
                });
        rig.start();
        QVERIFY(tried && stayed);
        QVERIFY(rig.takeBoxes().isEmpty());
        QCOMPARE(rig.field("bmStatus1"), QString("fw.hex Loaded Successfully"));
        QVERIFY(rig.bar()->value() == 100 && !rig.startEnabled());
        QVERIFY(!w.serialIo && !w.kivoIo);
        QVERIFY(rig.next() && w.currentId() == Kivo::FinishId);
    }

    // A generator left in its bootloader: Verify says so, the file page takes only firmware,
    // and the update goes straight to the bootloader, without ping or bootloader command.
    void bootloaderRecovery() {
        KivoSim::Options o = quickSim();
        o.bootloader = true;
        WizardRig rig(o);
        recorded::mute(rig.sim.slavePath(), "115200 8N1");
        rig.show();
        QVERIFY(rig.next());
        rig.verify(kSimulatorProduct);
        Kivo& w = *rig.wizard;
        QVERIFY(rig.takeBoxes().isEmpty());
        QCOMPARE(
            rig.field("verifySerial"),
            QString("KIVO is in bootloader mode. Choose a firmware file (.hex) to recover it."));
        QVERIFY(rig.next());
        rig.choose(picture);
        QCOMPARE(rig.takeBoxes(), QStringList({picture + " is not a valid file for a Kivo in "
                                                         "bootloader mode. Choose a firmware file "
                                                         "(.hex) to recover it."}));
        QVERIFY(rig.next() && w.currentId() == Kivo::FileId && !w.workPage); // commit refused
        rig.choose(firmware);
        QVERIFY(rig.next() && w.currentId() == Kivo::WorkId);
        rig.start();
        QVERIFY(rig.takeBoxes().isEmpty());
        QCOMPARE(rig.field("bmStatus1"),
                 QString("fw.hex Loaded Successfully. KIVO has been recovered."));
        QVERIFY(!rig.sim.inBootloader() && rig.next());
    }
};

QTEST_MAIN(WizardTest)
#include "WizardTest.moc"
