// The wizard framework and each page through its widgets: files, failures and the guards
// around the uploads. The binary runs under umockdev-wrapper, so a test can mock the
// machine's device tree.
#include <umockdev.h> // before Qt, whose "signals" keyword its headers use as a name

#include "WizardRig.h"
#include "app/QQSetup.h"
#include "app/QsPage.h"
#include "device/KivoIo.h"
#include "serial/SerialIo.h"
#include "serial/SerialPorts.h"
#include "tests/support/RecordedStreams.h"
#include "tests/support/TestPty.h"

#include <cstdlib>

namespace {

class BareSetup : public QQSetup {
public:
    BareSetup() : QQSetup("t", QPixmap(), QPixmap(), QPixmap(), nullptr) {}
    void addQsPages() override {}
};

const char* const kHelpStart = "Click on the \"Select Serial Port\" drop down box above";
// 101 x 100: rows of 303 bytes padded to 304, 30400 bytes, 119 flash pages.
constexpr unsigned kSmallPages = 119;
const QStringList kPatternDone = {"Erasing Flash", "Loading pic.png", "pic.png Loaded Successfully",
                                  "Loading LCD Preview.", "KIVO Pattern has been installed."};

enum Fault { None, Unplugged, IspIgnored, EraseNack, WriteNack, GoNack };

void inject(KivoSim& sim, Fault fault) {
    KivoSim::Faults f;
    f.ignoreIsp = fault == IspIgnored;
    f.nackErase = fault == EraseNack;
    f.nackBootWrite = fault == WriteNack ? 1 : 0;
    f.nackGo = fault == GoNack;
    if (fault == Unplugged)
        sim.dropLine();
    else
        sim.setFaults(f);
}

} // namespace

class WizardTest : public QObject {
    Q_OBJECT
    QTemporaryDir dir;
    QString picture, firmware; // 101 x 100 picture, the HEX file of image
    const QByteArray image = QByteArray::fromStdString(badfiles::garbage(5001)); // part word

private slots:
    void initTestCase() {
        Q_INIT_RESOURCE(Kivo_Updater);
        picture = dir.filePath("pic.png");
        firmware = dir.filePath("fw.hex");
        QVERIFY(testPicture(101, 100).save(picture));
        QVERIFY(writeFile(firmware, hexText(image)));
    }

    // Id -1 takes the page count plus one; the side panel follows id order, not insertion.
    void pagesFieldsAndCompletion() {
        BareSetup w;
        auto* first = new QsPage("a", nullptr, nullptr);
        auto* label = new MagicLabel("first");
        (new QVBoxLayout(first))->addWidget(label);
        label->registerField("note", first);
        first->completePred = false;
        w.addQsPage(first, 0);
        w.addQsPage(new QsPage("b", nullptr, nullptr), 1);
        w.addQsPage(new QsPage("d", nullptr, nullptr), -1);
        w.addQsPage(new QsPage("c", nullptr, nullptr), 2);
        QCOMPARE(w.pageIds(), QList<int>({0, 1, 2, 3}));
        QCOMPARE(sideEntries(w), QStringList({"a", "b", "c", "d"}));

        QSignalSpy changed(label, &MagicLabel::ltextChanged);
        w.setField("note", "second");
        QCOMPARE(label->text(), QString("second"));
        QCOMPARE(w.field("note").toString(), QString("second"));
        QCOMPARE(changed.count(), 1);

        w.show();
        QVERIFY(!w.button(QWizard::NextButton)->isEnabled());
        first->setCompletePred(true); // takes effect at once, no other event needed
        QVERIFY(w.button(QWizard::NextButton)->isEnabled());
    }

    // A failed attempt after a success leaves no link, so Next must not stay enabled.
    void serialFailures_data() {
        QTest::addColumn<QString>("product");
        QTest::addColumn<bool>("verifiedBefore");
        QTest::addColumn<QString>("message");
        QTest::newRow("prompt") << QString() << false << "No serial port selected";
        QTest::newRow("prompt after a success") << QString() << true << "No serial port selected";
        QTest::newRow("cannot open")
            << "Broken Adapter" << false << "Couldn't initialize serial port on Broken Adapter";
        QTest::newRow("nothing answers")
            << "Silent Port" << true << "Kivo not found on Silent Port";
    }
    void serialFailures() {
        QFETCH(QString, product);
        QFETCH(bool, verifiedBefore);
        QFETCH(QString, message);
        TestPty silent;
        QVERIFY(silent.ok());
        WizardRig rig;
        rig.wizard->addExtraPort("/nonexistent/ttyBroken", "Broken Adapter");
        rig.wizard->addExtraPort(QByteArray::fromStdString(silent.slavePath), "Silent Port");
        rig.show();
        QVERIFY(rig.next());
        if (verifiedBefore) QVERIFY(rig.verify(kSimulatorProduct) && rig.forwardEnabled());
        QVERIFY(!rig.verify(product));
        QCOMPARE(rig.takeBoxes(), QStringList({message}));
        QVERIFY(!rig.forwardEnabled());
        QVERIFY(!rig.wizard->kivoIo && !rig.wizard->serialIo);
        QVERIFY(rig.field("verifySerial").startsWith(kHelpStart));
    }

    // Two generators behind adapters of one name: each is offered with its path and can be
    // verified, and Verify opens the one chosen.
    void identicalAdapters() {
        KivoSim other;
        QVERIFY(other.start());
        WizardRig rig;
        const QByteArray second = QByteArray::fromStdString(other.slavePath());
        rig.wizard->addExtraPort(second, kSimulatorProduct);
        rig.show();
        QVERIFY(rig.next());
        const QString name = kSimulatorProduct;
        const QString first = QString::fromStdString(rig.sim.slavePath());
        for (const QString& path : {QString(second), first}) {
            QVERIFY(rig.verify(name + " (" + path + ")"));
            QCOMPARE(QString(rig.wizard->serialIo->devName()), path);
        }
        QCOMPARE(rig.wizard->portCombo->findText(name), -1);
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

    // A name the updater cannot use is refused with a box and keeps the wizard on the file page.
    // A file that does not load, or a link gone before Start, never reaches the generator.
    void fileChoices_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("content"); // null: a picture of the caption's size, if any
        QTest::addColumn<QString>("caption");    // empty: refused by name
        QTest::addColumn<QString>("onStart"); // what Start says (%p: the path); empty: not started
        const QByteArray full(kRawPictureBytes, '@'), none;
        const QString raw = "1920 x 1080", unread = "Couldn't read %p", fw = "Firmware update";
        QTest::newRow("4:3 png") << "a.png" << none << "800 x 600" << QString();
        QTest::newRow("16:9 jpg") << "b.jpg" << none << raw << QString();
        QTest::newRow("raw exact") << "c.bin" << full << raw << QString();
        QTest::newRow("raw longer") << "d.bin" << full + "@" << raw << QString();
        QTest::newRow("raw short") << "e.bin" << full.mid(1) << "0 x 0"
                                   << "Couldn't read e.bin";
        QTest::newRow("raw missing") << "f.bin" << none << "0 x 0"
                                     << "Couldn't read f.bin";
        QTest::newRow("not a picture") << "g.png" << QByteArray("?") << "0 x 0"
                                       << "Couldn't read g.png";
        QTest::newRow("link gone") << "h.png" << none << "8 x 8"
                                   << "No verified connection to KIVO. Please verify the serial "
                                      "port again.";
        QTest::newRow("too large") << "n.png" << none << "1921 x 1080"
                                   << "n.png is too large for a pattern slot: 1921 x 1080 needs "
                                      "6225120 bytes, a slot holds 6220800 bytes (1920 x 1080)";
        QTest::newRow("HEX without data") << "i.hex" << QByteArray(":00000001FF\n") << fw << unread;
        QTest::newRow("missing HEX") << "j.hex" << none << fw << unread;
        QTest::newRow("upper-case suffix") << "k.PNG" << none << QString() << QString();
        QTest::newRow("capital H") << "l.Hex" << none << QString() << QString();
        QTest::newRow("other suffix") << "m.txt" << none << QString() << QString();
    }
    void fileChoices() {
        QFETCH(QString, name);
        QFETCH(QByteArray, content);
        QFETCH(QString, caption);
        QFETCH(QString, onStart);
        const QString path = dir.filePath(name);
        const QStringList size = caption.split(" x ");
        const QSize pictureSize =
            size.size() == 2 ? QSize(size[0].toInt(), size[1].toInt()) : QSize();
        if (!content.isNull())
            QVERIFY(writeFile(path, content));
        else if (!pictureSize.isEmpty())
            QVERIFY(testPicture(pictureSize.width(), pictureSize.height()).save(path));
        WizardRig rig;
        rig.show();
        QVERIFY(rig.reachFilePage());
        rig.choose(path);
        const QStringList refusal = {path + " is not a valid file for the Kivo"};
        QCOMPARE(rig.takeBoxes(), caption.isEmpty() ? refusal : QStringList());
        QVERIFY(rig.forwardEnabled());
        if (caption.isEmpty()) {
            QVERIFY(rig.next());
            QCOMPARE(rig.wizard->currentId(), int(Kivo::FileId));
            QVERIFY(!rig.wizard->workPage);
            return;
        }
        QCOMPARE(rig.field("dataFilename"), path);
        QCOMPARE(rig.field("dataFileCaption"), caption);
        QVERIFY(rig.field("dataFileStatus").startsWith("If the correct file name is shown"));
        const QPixmap shown = rig.wizard->fileSelectPage->previewLabel->pixmap(Qt::ReturnByValue);
        const QSize thumbnail = pictureSize.scaled(320, 240, Qt::KeepAspectRatio);
        QCOMPARE(shown.isNull() ? QSize() : shown.size(),
                 pictureSize.isEmpty() ? QSize() : thumbnail);
        if (onStart.isEmpty()) return;
        QVERIFY(rig.next() && rig.wizard->currentId() == Kivo::WorkId);
        const bool dropLink = onStart.startsWith("No verified");
        if (dropLink) {
            delete std::exchange(rig.wizard->kivoIo, nullptr);
            delete std::exchange(rig.wizard->serialIo, nullptr);
        }
        const auto before = rig.sim.counters();
        const size_t lines = rig.sim.consoleLines().size();
        if (rig.wizard->fitCheck)
            QVERIFY(!rig.wizard->fitCheck->isChecked()); // unscaled by default
        rig.start();
        onStart.replace("%p", path);
        QCOMPARE(rig.takeBoxes(), QStringList({onStart}));
        QCOMPARE(rig.field("bmStatus1"), onStart);
        QCOMPARE(rig.sim.counters().bytesIn, before.bytesIn);
        QCOMPARE(rig.sim.counters().slotErases, uint64_t(0));
        QCOMPARE(rig.sim.consoleLines().size(), lines);
        QCOMPARE(rig.wizard->kivoIo != nullptr, !dropLink);
        // Nothing was sent: a refused picture leaves the page incomplete, so Finish cannot
        // claim an update (the firmware page stays complete, as after every run).
        QVERIFY(rig.startEnabled());
        QCOMPARE(rig.forwardEnabled(), name.endsWith(".hex"));
    }

    // Slot 9 gets the padded rows, preview 45. A lost bitmap page offers Start again; a lost
    // preview page does not, the slot holding the new pattern. Closing and deleting the wizard
    // during the upload waits for its end, even past a failure box.
    void patternOutcomes_data() {
        QTest::addColumn<int>("lostFrame"); // 1: the first page after the erase
        QTest::addColumn<bool>("close");
        QTest::addColumn<QStringList>("boxes");
        QTest::addColumn<QStringList>("statuses");
        QTest::addColumn<bool>("startAgain");
        const QStringList lost = {"Couldn't load pic.png"};
        const QStringList failed = {"Erasing Flash", "Loading pic.png", "Error loading pic.png"};
        QTest::newRow("closed mid-upload") << 0 << true << QStringList() << kPatternDone << false;
        QTest::newRow("bitmap page lost, closed") << 1 << true << lost << failed << true;
        QTest::newRow("preview page lost")
            << int(kSmallPages + 1) << false << QStringList()
            << QStringList(kPatternDone.mid(0, 4) << "Error loading LCD Preview") << false;
    }
    void patternOutcomes() {
        QFETCH(int, lostFrame);
        QFETCH(bool, close);
        WizardRig rig;
        rig.show();
        QVERIFY(rig.reachWorkPage(picture));
        rig.recordStatus();
        QPointer<Kivo> alive(rig.wizard.get());
        if (close)
            connect(rig.wizard->workPage->findChild<MagicLabel*>(), &MagicLabel::ltextChanged,
                    [&](const QString& s) {
                        if (!s.startsWith("Loading ") || !alive->isVisible()) return;
                        alive->reject();
                        alive->deleteLater();
                    });
        KivoSim::Faults f;
        f.noReplyToFrame = unsigned(lostFrame);
        rig.sim.setFaults(f);
        rig.wizard->patternGroup->button(9)->click();
        rig.start();
        QVERIFY(alive);
        QTEST(rig.takeBoxes(), "boxes");
        rig.statuses.removeAll(QString()); // the closing wizard clears its fields
        QTEST(rig.statuses, "statuses");
        QTEST(rig.startEnabled(), "startAgain");
        QCOMPARE(rig.bar()->value(), 100);
        if (lostFrame == 0) {
            std::vector<uint8_t> slot = rig.sim.slot(9);
            QCOMPARE(slot.size(), size_t(kSmallPages * 256));
            const std::vector<uint8_t> want = bytes(patternBitmap(loadPicture(picture)));
            for (int y = 0; y < 100; ++y) // rows of 303 bytes padded to 304; padding is free
                QVERIFY(std::equal(want.begin() + 304 * y, want.begin() + 304 * y + 303,
                                   slot.begin() + 304 * y));
            QCOMPARE(rig.sim.previewIndexes(), std::vector<int>({45}));
        }
        if (lostFrame == 1) QVERIFY(rig.sim.previewIndexes().empty());
        QCOMPARE(rig.forwardEnabled(), !close);
        if (!close) return;
        QVERIFY(!alive->isVisible());
        rig.wizard.release(); // goes by its own deferred delete now
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(!alive);
    }

    // The port reopened for the bootloader is the verified link's own, even when the scan no
    // longer names it first. While the flash is written the wizard cannot be left. A failure
    // after the bootloader command says how to recover, and Start again does recover.
    void firmwareOutcomes_data() {
        QTest::addColumn<int>("fault");
        QTest::addColumn<QString>("message"); // empty: installed
        QTest::addColumn<bool>("linkKept");
        QTest::addColumn<bool>("inBootloader");
        QTest::newRow("installed") << int(None) << QString() << false << false;
        QTest::newRow("no answer to ping")
            << int(Unplugged) << "Couldn't verify KIVO" << false << false;
        QTest::newRow("bootloader never listens")
            << int(IspIgnored) << "Couldn't Initialize bootloader" << false << false;
        QTest::newRow("erase refused") << int(EraseNack) << "Couldn't erase flash" << false << true;
        QTest::newRow("write refused")
            << int(WriteNack) << "Couldn't load new firmware" << false << true;
        QTest::newRow("go refused") << int(GoNack) << "Couldn't reboot KIVO" << false << true;
    }
    void firmwareOutcomes() {
        QFETCH(int, fault);
        QFETCH(QString, message);
        WizardRig rig{KivoSim::Options()}; // the hardware's timings: about 0.2 s for this image
        recorded::clear();
        rig.show();
        QVERIFY(rig.reachWorkPage(firmware));
        Kivo& w = *rig.wizard;
        QCOMPARE(sideEntries(w), QStringList({"Welcome", "Select Serial Port", "Select File",
                                              "Firmware", "Finish"}));
        QVERIFY(rig.forwardEnabled());
        freeSerialPorts(w.ports, w.portCount);
        w.ports = static_cast<SioPort*>(std::malloc(sizeof(SioPort)));
        w.ports[0] = SioPort{strdup("/nonexistent/ttyKivo"), strdup(kSimulatorProduct)};
        w.portCount = 1;
        inject(rig.sim, Fault(fault));
        rig.recordStatus();
        QList<int> values;
        connect(rig.bar(), &QProgressBar::valueChanged, [&](int v) { values << v; });
        // Mid-run, Next, Cancel and the window's close all fail.
        bool tried = false, stayed = true;
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
        QVERIFY(stayed);
        const QString advice =
            "\n\nKIVO may be left in bootloader mode: run the firmware update again to recover it.";
        const bool advised = !message.isEmpty() && fault != Unplugged;
        QCOMPARE(rig.takeBoxes(), message.isEmpty()
                                      ? QStringList()
                                      : QStringList({message + (advised ? advice : QString())}));
        QTEST(w.kivoIo != nullptr, "linkKept");
        QTEST(rig.sim.inBootloader(), "inBootloader");
        QCOMPARE(rig.bar()->value(), 100);
        // A pty keeps neither parity nor data bits: the framing is checked where it is set.
        const std::vector<std::string> framings = recorded::framings();
        QCOMPARE(framings.front(), std::string("115200 8N1"));
        for (size_t i = 1; i < framings.size(); ++i)
            QCOMPARE(framings[i], std::string("115200 8E1"));
        if (message.isEmpty()) {
            QCOMPARE(rig.statuses,
                     QStringList({"Loading", "Loading fw.hex", "fw.hex Loaded Successfully"}));
            QVERIFY(values.size() > 20 && std::is_sorted(values.begin(), values.end()));
            std::vector<uint8_t> flash = rig.sim.flash();
            flash.resize(size_t(image.size()));
            QVERIFY(flash == bytes(image));
            QVERIFY(!w.serialIo && !rig.startEnabled());
            QCOMPARE(framings.size(), size_t(2)); // the verified link, then the bootloader
            QVERIFY(rig.next());
            QCOMPARE(w.currentId(), int(Kivo::FinishId));
            return;
        }
        QCOMPARE(rig.field("bmStatus1"), message);
        QVERIFY(rig.startEnabled() && rig.forwardEnabled());
        if (fault == Unplugged) return;
        // Without a link the run pings on its own, then finds the bootloader if it is there.
        // A generator that ignored ISP got the sync byte on its console; the empty line before
        // the next command ends it as a line it does not understand.
        if (fault == IspIgnored) rig.expectedViolations = 1;
        rig.sim.setFaults(KivoSim::Faults());
        rig.statuses.clear();
        rig.start();
        QVERIFY(rig.takeBoxes().isEmpty());
        QCOMPARE(rig.statuses.last(),
                 fault == IspIgnored
                     ? QString("fw.hex Loaded Successfully")
                     : QString("fw.hex Loaded Successfully. KIVO has been recovered."));
        QVERIFY(!rig.sim.inBootloader() && !rig.startEnabled());
    }

    // A generator left in its bootloader: Verify says so, the file page takes only firmware,
    // and the update goes straight to the bootloader, without ping or bootloader command.
    void bootloaderRecovery() {
        WizardRig rig;
        rig.show();
        QVERIFY(rig.next());
        {
            std::unique_ptr<SerialIo> io(SerialIo::PlatformSIo());
            QVERIFY(io->initialize(rig.sim.slavePath().c_str(), SerialIo::Baud115200, 8,
                                   SerialIo::ParityNone, 1));
            KivoIo(*io).bootloader();
        }
        QTRY_VERIFY_WITH_TIMEOUT(rig.sim.inBootloader(), 5000);
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
        QVERIFY(rig.next()); // the commit is refused
        QCOMPARE(w.currentId(), int(Kivo::FileId));
        QVERIFY(!w.workPage);
        rig.choose(firmware);
        QVERIFY(rig.next() && w.currentId() == Kivo::WorkId);
        rig.recordStatus();
        const auto before = rig.sim.counters();
        rig.start();
        QVERIFY(rig.takeBoxes().isEmpty());
        QCOMPARE(rig.statuses,
                 QStringList(
                     {"Loading", "KIVO is in bootloader mode: installing the firmware recovers it.",
                      "Loading fw.hex", "fw.hex Loaded Successfully. KIVO has been recovered."}));
        QCOMPARE(rig.sim.counters().consoleLines, before.consoleLines);
        std::vector<uint8_t> flash = rig.sim.flash();
        flash.resize(size_t(image.size()));
        QVERIFY(flash == bytes(image));
        QVERIFY(!rig.sim.inBootloader() && rig.next());
    }
};

QTEST_MAIN(WizardTest)
#include "WizardTest.moc"
