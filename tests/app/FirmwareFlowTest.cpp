// The firmware update through the wizard's widgets: success, and the refusals before any traffic.
#include "WizardRig.h"
#include "serial/SerialPorts.h"

#include <QTemporaryDir>
#include <QtTest>

#include <cstdlib>
#include <cstring>

namespace {

constexpr uint32_t kFlashBase = 0x08000000;

QByteArray firmwareBytes(int n) {
    QByteArray data(n, '\0');
    for (int i = 0; i < n; ++i) data[i] = char((i * 31 + 7) & 0xFF);
    return data;
}

bool flashHolds(const KivoSim& sim, const QByteArray& data) {
    const std::vector<uint8_t> flash = sim.flash();
    return flash.size() >= size_t(data.size()) &&
           std::memcmp(flash.data(), data.constData(), size_t(data.size())) == 0;
}

} // namespace

class FirmwareFlowTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { initKivoResources(); }

    void installsImageAndStartsIt() {
        QTemporaryDir dir;
        const QString path = dir.filePath("fw.hex");
        const QByteArray data = firmwareBytes(300); // two chunks
        QVERIFY(writeFile(path, hexText(kFlashBase, data)));

        WizardRig rig;
        rig.show();
        QVERIFY(rig.reachWorkPage(path));
        QCOMPARE(rig.sideEntries(), QStringList({"Welcome", "Select Serial Port", "Select File",
                                                 "Firmware", "Finish"}));
        QVERIFY(rig.forwardEnabled());
        rig.recordStatus();
        QList<int> values;
        connect(rig.progressBar(), &QProgressBar::valueChanged, [&](int v) { values << v; });
        rig.start();

        QVERIFY(rig.closer.take().isEmpty());
        QCOMPARE(rig.statuses,
                 QStringList({"Loading", "Loading fw.hex", "fw.hex Loaded Successfully"}));
        QVERIFY(values.contains(85));
        QCOMPARE(values.last(), 100);
        QVERIFY(flashHolds(rig.sim, data));
        QVERIFY(!rig.sim.inBootloader());
        QVERIFY(!rig.wizard->kivoIo && !rig.wizard->serialIo);
        QVERIFY(!rig.pushButton("Start")->isEnabled());
        QVERIFY(rig.next());
        QCOMPARE(rig.wizard->currentId(), int(Kivo::FinishId));
    }

    // The port is the verified link's own, even when the scan no longer names it.
    void reopensTheVerifiedPortNotALookup() {
        QTemporaryDir dir;
        const QString path = dir.filePath("big.hex");
        const QByteArray data = firmwareBytes(5000);
        QVERIFY(writeFile(path, hexText(kFlashBase, data)));

        WizardRig rig;
        rig.show();
        QVERIFY(rig.reachWorkPage(path));
        // Another adapter of the same name now comes first in the scan.
        Kivo& w = *rig.wizard;
        freeSerialPorts(w.ports, w.portCount);
        w.ports = static_cast<SioPort*>(std::malloc(sizeof(SioPort)));
        w.ports[0] = SioPort{strdup("/nonexistent/ttyKivo"), strdup(kSimulatorProduct)};
        w.portCount = 1;
        rig.start();

        QVERIFY(rig.closer.take().isEmpty());
        QCOMPARE(rig.field("bmStatus1"), QString("big.hex Loaded Successfully"));
        QVERIFY(flashHolds(rig.sim, data));
        QVERIFY(!rig.sim.inBootloader());
    }

    // A file without data, or none at all, never reaches the generator.
    void refusesUnreadableOrEmptyFiles_data() {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<bool>("create");
        QTest::newRow("no data records") << QByteArray(":00000001FF\n") << true;
        QTest::newRow("missing file") << QByteArray() << false;
    }
    void refusesUnreadableOrEmptyFiles() {
        QFETCH(QByteArray, content);
        QFETCH(bool, create);
        QTemporaryDir dir;
        const QString path = dir.filePath("empty.hex");
        if (create) QVERIFY(writeFile(path, content));

        WizardRig rig;
        rig.show();
        QVERIFY(rig.reachWorkPage(path));
        const auto before = rig.sim.counters();
        const size_t lines = rig.sim.consoleLines().size();
        rig.start();

        const QString message = "Couldn't read " + path;
        QCOMPARE(rig.closer.take(), QStringList({message}));
        QCOMPARE(rig.field("bmStatus1"), message);
        QCOMPARE(rig.sim.counters().bytesIn, before.bytesIn);
        QCOMPARE(rig.sim.consoleLines().size(), lines);
        QVERIFY(rig.wizard->kivoIo);
        QVERIFY(rig.pushButton("Start")->isEnabled());
        QCOMPARE(rig.progressBar()->value(), 100);
        QVERIFY(rig.forwardEnabled());
    }
};

QTEST_MAIN(FirmwareFlowTest)
#include "FirmwareFlowTest.moc"
