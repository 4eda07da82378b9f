// Each failure of the firmware update that the simulated generator can produce, with its text.
#include "WizardRig.h"

#include <QTemporaryDir>
#include <QtTest>

namespace {

enum Fault { Unplugged, IspIgnored, EraseNack, WriteNack, GoNack };

void inject(KivoSim& sim, Fault fault) {
    KivoSim::Faults f;
    switch (fault) {
    case Unplugged:
        sim.dropLine();
        return;
    case IspIgnored:
        f.ignoreIsp = true;
        break;
    case EraseNack:
        f.nackErase = true;
        break;
    case WriteNack:
        f.nackBootWrite = 1;
        break;
    case GoNack:
        f.nackGo = true;
        break;
    }
    sim.setFaults(f);
}

} // namespace

class FirmwareFailureTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { initKivoResources(); }

    void reportsEachFailedStep_data() {
        QTest::addColumn<int>("fault");
        QTest::addColumn<QString>("message");
        QTest::addColumn<bool>("linkKept");
        QTest::addColumn<bool>("inBootloader");
        QTest::newRow("no answer to ping")
            << int(Unplugged) << "Couldn't verify KIVO" << true << false;
        QTest::newRow("bootloader never listens")
            << int(IspIgnored) << "Couldn't Initialize bootloader" << false << false;
        QTest::newRow("erase refused") << int(EraseNack) << "Couldn't erase flash" << false << true;
        QTest::newRow("write refused")
            << int(WriteNack) << "Couldn't load new firmware" << false << true;
        QTest::newRow("go refused") << int(GoNack) << "Couldn't reboot KIVO" << false << true;
    }
    void reportsEachFailedStep() {
        QFETCH(int, fault);
        QFETCH(QString, message);
        QFETCH(bool, linkKept);
        QFETCH(bool, inBootloader);
        QTemporaryDir dir;
        const QString path = dir.filePath("fw.hex");
        QVERIFY(writeFile(path, hexText(0x08000000, QByteArray(700, '\x5A'))));

        WizardRig rig;
        rig.show();
        QVERIFY(rig.reachWorkPage(path));
        inject(rig.sim, Fault(fault));
        rig.start();

        QCOMPARE(rig.closer.take(), QStringList({message}));
        QCOMPARE(rig.field("bmStatus1"), message);
        QCOMPARE(rig.wizard->kivoIo != nullptr, linkKept);
        QCOMPARE(rig.sim.inBootloader(), inBootloader);
        QVERIFY(rig.pushButton("Start")->isEnabled());
        QCOMPARE(rig.progressBar()->value(), 100);
        QVERIFY(rig.forwardEnabled());
    }

    // After a run that reached the bootloader the wizard has no link: Start says so and sends
    // nothing.
    void startWithoutLinkSendsNothing() {
        QTemporaryDir dir;
        const QString path = dir.filePath("fw.hex");
        QVERIFY(writeFile(path, hexText(0x08000000, QByteArray(300, '\x11'))));
        WizardRig rig;
        rig.show();
        QVERIFY(rig.reachWorkPage(path));
        inject(rig.sim, EraseNack);
        rig.start();
        QCOMPARE(rig.closer.take(), QStringList({"Couldn't erase flash"}));
        QVERIFY(!rig.wizard->kivoIo);

        const auto before = rig.sim.counters();
        rig.start();
        QCOMPARE(rig.closer.take(), QStringList({"Couldn't verify KIVO"}));
        QCOMPARE(rig.field("bmStatus1"), QString("Couldn't verify KIVO"));
        QCOMPARE(rig.sim.counters().bytesIn, before.bytesIn);
        QVERIFY(rig.pushButton("Start")->isEnabled());
    }
};

QTEST_MAIN(FirmwareFailureTest)
#include "FirmwareFailureTest.moc"
