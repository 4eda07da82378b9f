// The wizard framework, the serial page and the file page, driven through their widgets.
#include "WizardRig.h"
#include "app/QQSetup.h"
#include "app/QsPage.h"

#include <QLabel>
#include <QMetaMethod>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

namespace {

class BareSetup : public QQSetup {
public:
    BareSetup() : QQSetup("t", QPixmap(), QPixmap(), QPixmap(), nullptr) {}
    void addQsPages() override {}
};

// A pty whose far end never answers.
class SilentPort {
public:
    SilentPort() {
        fd = posix_openpt(O_RDWR | O_NOCTTY);
        if (fd >= 0 && grantpt(fd) == 0 && unlockpt(fd) == 0) path = ptsname(fd);
    }
    ~SilentPort() {
        if (fd >= 0) ::close(fd);
    }
    int fd;
    QByteArray path;
};

const char* const kHelpStart = "Click on the \"Select Serial Port\" drop down box above";
const char* const kVerified = "Serial connection to KIVO Ok, click Next to continue.";

} // namespace

class WizardTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { initKivoResources(); }

    void defaultIdFollowsPageCount() {
        BareSetup w;
        w.addQsPage(new QsPage("a", nullptr, nullptr), 0);
        w.addQsPage(new QsPage("b", nullptr, nullptr), 1);
        w.addQsPage(new QsPage("c", nullptr, nullptr), -1);
        QCOMPARE(w.pageIds(), QList<int>({0, 1, 3}));
        QCOMPARE(w.pageCount, 3);
    }

    void sideEntriesFollowIdOrder() {
        BareSetup w;
        for (int id : {0, 1, 2, 4, 3}) {
            const QByteArray name = "page" + QByteArray::number(id);
            w.addQsPage(new QsPage(name.constData(), nullptr, nullptr), id);
        }
        QStringList names;
        for (int i = 0; i < w.sideLayout->count(); ++i)
            names << qobject_cast<QCheckBox*>(w.sideLayout->itemAt(i)->widget())->text();
        QCOMPARE(names, QStringList({"page0", "page1", "page2", "page3", "page4"}));
    }

    void magicLabelIsAField() {
        BareSetup w;
        auto* page = new QsPage("a", nullptr, nullptr);
        auto* label = new MagicLabel("first");
        auto* layout = new QVBoxLayout(page);
        layout->addWidget(label);
        label->registerField("note", page);
        w.addQsPage(page, 0);
        QSignalSpy changed(label, &MagicLabel::ltextChanged);
        w.setField("note", "second");
        QCOMPARE(label->text(), QString("second"));
        QCOMPARE(w.field("note").toString(), QString("second"));
        QCOMPARE(changed.count(), 1);

        const QMetaObject* mo = label->metaObject();
        QCOMPARE(mo->method(mo->methodOffset()).name(), QByteArray("ltextChanged"));
        QCOMPARE(mo->method(mo->methodOffset() + 1).name(), QByteArray("setLtext"));
        const QMetaProperty p = mo->property(mo->indexOfProperty("ltext"));
        QVERIFY(p.isReadable() && p.isWritable() && p.isDesignable() && p.isStored());
        QVERIFY(!p.hasNotifySignal());
    }

    void completePredEnablesNextAtOnce() {
        BareSetup w;
        auto* first = new QsPage("a", nullptr, nullptr);
        first->completePred = false;
        w.addQsPage(first, 0);
        w.addQsPage(new QsPage("b", nullptr, nullptr), 1);
        w.show();
        QVERIFY(!w.button(QWizard::NextButton)->isEnabled());
        first->setCompletePred(true);
        QVERIFY(w.button(QWizard::NextButton)->isEnabled());
    }

    void wizardLookAndSlots() {
        Kivo w(nullptr);
        QCOMPARE(w.windowTitle(), QString("Kivo Updater"));
        QCOMPARE(w.wizardStyle(), QWizard::ModernStyle);
        for (auto which : {QWizard::BannerPixmap, QWizard::WatermarkPixmap, QWizard::LogoPixmap})
            QVERIFY(!w.pixmap(which).isNull());
        const QMetaObject* mo = w.metaObject();
        QStringList slotNames;
        for (int i = mo->methodOffset(); i < mo->methodCount(); ++i)
            slotNames << mo->method(i).name();
        QCOMPARE(slotNames,
                 QStringList({"on_fileSelectButton_clicked", "on_VerifySerialPort_clicked",
                              "on_RescanSerialPorts_clicked", "on_loadBitmap_clicked",
                              "on_loadFirmware_clicked"}));
    }

    void cancelHiddenOnlyOnFinishAndSideMarks() {
        QTemporaryDir dir;
        const QString path = dir.filePath("fw.hex");
        QVERIFY(writeFile(path, hexText(0x08000000, QByteArray(16, '\1'))));
        WizardRig rig;
        rig.show();
        Kivo& w = *rig.wizard;
        auto cancelShown = [&] { return w.button(QWizard::CancelButton)->isVisible(); };
        auto side = [&](int i) {
            return qobject_cast<QCheckBox*>(w.sideLayout->itemAt(i)->widget());
        };
        QVERIFY(cancelShown());
        QVERIFY(side(0)->isEnabled() && !side(1)->isEnabled() && !side(0)->isChecked());
        QVERIFY(rig.next());
        QVERIFY(side(0)->isChecked() && !side(0)->isEnabled() && side(1)->isEnabled());
        QVERIFY(!rig.forwardEnabled());
        QVERIFY(rig.verify(kSimulatorProduct));
        QCOMPARE(rig.field("verifySerial"), QString(kVerified));
        QVERIFY(rig.next());
        QVERIFY(cancelShown());
        QVERIFY(!rig.forwardEnabled()); // nothing chosen yet
        rig.choose(path);
        QVERIFY(rig.next());
        QCOMPARE(w.currentId(), int(Kivo::WorkId));
        QVERIFY(cancelShown());
        QVERIFY(!w.button(QWizard::BackButton)->isEnabled());
        QVERIFY(rig.next());
        QCOMPARE(w.currentId(), int(Kivo::FinishId));
        QVERIFY(!cancelShown());
        QVERIFY(w.button(QWizard::FinishButton)->isVisible());
    }

    void serialFailuresKeepNextDisabled_data() {
        QTest::addColumn<QString>("product");
        QTest::addColumn<QString>("message");
        QTest::newRow("prompt") << QString() << "No serial port selected";
        QTest::newRow("cannot open") << "Broken Adapter"
                                     << "Couldn't initialize serial port on Broken Adapter";
        QTest::newRow("nothing answers") << "Silent Port"
                                         << "Kivo not found on Silent Port";
    }
    void serialFailuresKeepNextDisabled() {
        QFETCH(QString, product);
        QFETCH(QString, message);
        SilentPort silent;
        QVERIFY(!silent.path.isEmpty());
        WizardRig rig;
        rig.wizard->addExtraPort("/nonexistent/ttyBroken", "Broken Adapter");
        rig.wizard->addExtraPort(silent.path, "Silent Port");
        rig.show();
        QVERIFY(rig.next());
        QVERIFY(!rig.verify(product));
        QCOMPARE(rig.closer.take(), QStringList({message}));
        QVERIFY(!rig.forwardEnabled());
        QVERIFY(!rig.wizard->kivoIo && !rig.wizard->serialIo);
        QVERIFY(rig.field("verifySerial").startsWith(kHelpStart));
    }

    // A failed attempt after a success leaves no link, so Next must not stay enabled.
    void failedReverifyClearsCompletion() {
        WizardRig rig;
        rig.show();
        QVERIFY(rig.next());
        QVERIFY(rig.verify(kSimulatorProduct));
        QVERIFY(rig.forwardEnabled());
        QVERIFY(!rig.verify(QString()));
        QCOMPARE(rig.closer.take(), QStringList({"No serial port selected"}));
        QVERIFY(!rig.forwardEnabled());
        QVERIFY(!rig.wizard->kivoIo && !rig.wizard->serialIo);
        QVERIFY(rig.field("verifySerial").startsWith(kHelpStart));
    }

    void rescanAndReverifyKeepOneLink() {
        WizardRig rig;
        rig.show();
        QVERIFY(rig.next());
        QCOMPARE(rig.wizard->portCombo->itemText(0), QString("Select Serial Port"));
        QVERIFY(rig.verify(kSimulatorProduct));
        QVERIFY(rig.verify(kSimulatorProduct)); // the first stream is closed before the second
        QVERIFY(rig.closer.take().isEmpty());
        rig.pushButton("Rescan Serial Ports")->click();
        QCOMPARE(rig.wizard->portCombo->currentIndex(), 0);
        QVERIFY(rig.wizard->portCombo->findText(kSimulatorProduct) > 0);
        QVERIFY(rig.wizard->kivoIo);
        QVERIFY(rig.forwardEnabled());
    }

    void fileChoicesShowCaptionAndPreview_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("bytes"); // raw file size; -1: a picture, -2: no file
        QTest::addColumn<QString>("caption");
        QTest::addColumn<QSize>("preview");
        QTest::newRow("4:3 png") << "a.png" << -1 << "800 x 600" << QSize(320, 240);
        QTest::newRow("16:9 jpg") << "b.jpg" << -1 << "1920 x 1080" << QSize(320, 180);
        QTest::newRow("raw exact") << "c.bin" << 6220800 << "1920 x 1080" << QSize(320, 180);
        QTest::newRow("raw longer") << "d.bin" << 6220900 << "1920 x 1080" << QSize(320, 180);
        QTest::newRow("raw short") << "e.bin" << 6220799 << "0 x 0" << QSize();
        QTest::newRow("raw missing") << "f.bin" << -2 << "0 x 0" << QSize();
        QTest::newRow("firmware") << "g.hex" << 0 << "Firmware update" << QSize();
    }
    void fileChoicesShowCaptionAndPreview() {
        QFETCH(QString, name);
        QFETCH(int, bytes);
        QFETCH(QString, caption);
        QFETCH(QSize, preview);
        QTemporaryDir dir;
        const QString path = dir.filePath(name);
        if (bytes == -1) {
            const QSize size = caption == "800 x 600" ? QSize(800, 600) : QSize(1920, 1080);
            QVERIFY(testPicture(size.width(), size.height()).save(path));
        } else if (bytes >= 0) {
            QVERIFY(writeFile(path, QByteArray(bytes, '\x40')));
        }
        WizardRig rig;
        rig.show();
        rig.choose(path);
        QVERIFY(rig.closer.take().isEmpty());
        QCOMPARE(rig.field("dataFilename"), path);
        QCOMPARE(rig.field("dataFileCaption"), caption);
        QVERIFY(rig.field("dataFileStatus").startsWith("If the correct file name is shown"));
        const QPixmap shown = rig.wizard->fileSelectPage->previewLabel->pixmap(Qt::ReturnByValue);
        QCOMPARE(shown.isNull() ? QSize() : shown.size(), preview);
        QVERIFY(rig.wizard->fileSelectPage->isComplete());
    }

    void unusableNamesAreRefused_data() {
        QTest::addColumn<QString>("name");
        QTest::newRow("upper-case suffix") << "pic.PNG";
        QTest::newRow("capital H") << "fw.Hex";
        QTest::newRow("other suffix") << "notes.txt";
    }
    void unusableNamesAreRefused() {
        QFETCH(QString, name);
        WizardRig rig;
        rig.show();
        QVERIFY(rig.next() && rig.verify(kSimulatorProduct) && rig.next());
        const QString path = "/tmp/" + name;
        rig.choose(path);
        QCOMPARE(rig.closer.take(), QStringList({path + " is not a valid file for the Kivo"}));
        QVERIFY(rig.forwardEnabled());
        QVERIFY(rig.next());
        QCOMPARE(rig.wizard->currentId(), int(Kivo::FileId));
        QVERIFY(!rig.wizard->workPage);
    }

    void cancelledDialog() {
        QTemporaryDir dir;
        const QString path = dir.filePath("fw.hex");
        QVERIFY(writeFile(path, hexText(0x08000000, QByteArray(16, '\1'))));
        WizardRig rig;
        rig.show();
        QVERIFY(rig.next() && rig.verify(kSimulatorProduct) && rig.next());
        rig.choose(QString());
        QVERIFY(!rig.forwardEnabled());
        rig.choose(path);
        rig.choose(QString());
        QVERIFY(rig.forwardEnabled());
        QCOMPARE(rig.field("dataFileCaption"), QString("Firmware update"));
        QVERIFY(rig.next());
        QCOMPARE(rig.wizard->currentId(), int(Kivo::FileId));
        QVERIFY(rig.closer.take().isEmpty());
    }
};

QTEST_MAIN(WizardTest)
#include "WizardTest.moc"
