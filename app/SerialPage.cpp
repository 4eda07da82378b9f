// The serial page: port list, rescan and verification of the generator on the chosen port.
#include "app/Kivo.h"
#include "app/MagicLabel.h"
#include "app/QsPage.h"
#include "device/KivoIo.h"
#include "jobs/LinkCheck.h"
#include "serial/SerialIo.h"
#include "serial/SerialPorts.h"

#include <QComboBox>
#include <QGridLayout>
#include <QLabel>
#include <QPushButton>
#include <QSocketNotifier>

#include <cstring>

namespace {

const char* const kPrompt = "Select Serial Port";
const char* const kHelpText =
    "Click on the \"Select Serial Port\" drop down box above and select the Serial Port that is "
    "connected to the Kivo.\n\nOnce the port selected, click the \"Verify Port\" button. The "
    "system will verify the connection to the Kivo and automatically move to the next "
    "screen.\n\nIf you select the incorrect port an error message will pop up and you can select "
    "a different port.\n\nWhen you see the \"Verified\" message, click \"Next\" to continue.";
const char* const kVerifiedText = "Serial connection to KIVO Ok, click Next to continue.";
const char* const kBootloaderText =
    "KIVO is in bootloader mode. Choose a firmware file (.hex) to recover it.";

// How many records that can be opened carry this product name.
unsigned openableNamed(const SioPort* ports, unsigned count, const char* product) {
    unsigned n = 0;
    for (unsigned i = 0; i < count; ++i)
        n += ports[i].dev && ports[i].product && std::strcmp(ports[i].product, product) == 0;
    return n;
}

// The record of the entry chosen in combo; null for the prompt or no entry.
const SioPort* chosenRecord(const QComboBox* combo, const SioPort* ports, unsigned count) {
    bool ok = false;
    const unsigned i = combo ? combo->currentData().toUInt(&ok) : 0;
    return ok && i < count ? &ports[i] : nullptr;
}

} // namespace

QsPage* Kivo::selectSerialPage() {
    auto* page = new QsPage("Select Serial Port", nullptr, nullptr);
    auto* grid = new QGridLayout;
    grid->setContentsMargins(0, 0, 0, 0);
    auto* spacer = new QLabel(QObject::tr(""));
    spacer->setWordWrap(true);
    grid->addWidget(spacer, 0, 0, 1, 3);

    portCombo = new QComboBox;
    portCombo->setEditable(false);
    grid->addWidget(portCombo, 1, 0, 1, 1);
    on_RescanSerialPorts_clicked();
    portWatch.reset(platformPortWatch());
    if (portWatch->fd() >= 0) {
        portNotifier.reset(new QSocketNotifier(portWatch->fd(), QSocketNotifier::Read));
        connect(portNotifier.get(), SIGNAL(activated(int)), this, SLOT(rescanOnPortChange()));
    }

    auto* verify = new QPushButton("Verify Serial Port");
    connect(verify, SIGNAL(clicked()), this, SLOT(on_VerifySerialPort_clicked()));
    grid->addWidget(verify, 1, 1, 1, 1);
    auto* rescan = new QPushButton("Rescan Serial Ports");
    connect(rescan, SIGNAL(clicked()), this, SLOT(on_RescanSerialPorts_clicked()));
    grid->addWidget(rescan, 2, 0, 1, 1);

    auto* help = new MagicLabel(QObject::tr(kHelpText));
    help->setWordWrap(true);
    help->registerField("verifySerial", page);
    grid->addWidget(help, 3, 0, 1, 3);

    page->setLayout(grid);
    page->completePred = false;
    serialPage = page;
    return page;
}

const char* Kivo::findPortDevice(const QString& product) const {
    const QByteArray name = product.toLocal8Bit();
    for (unsigned i = 0; i < portCount; ++i) {
        const SioPort& port = ports[i];
        if (port.product && port.dev && std::strcmp(port.product, name.constData()) == 0)
            return port.dev;
    }
    return nullptr;
}

// Each entry carries the index of its record. Two adapters of the same name are told apart
// by their device paths; a record without one would stand for either and is left out then.
void Kivo::rescanPorts(const QString& keep) {
    freePorts();
    enumSerialPorts(ports, portCount);
    appendExtraPorts();
    if (!portCombo) return;
    portCombo->clear();
    portCombo->addItem(kPrompt);
    for (unsigned i = 0; i < portCount; ++i) {
        const SioPort& port = ports[i];
        if (!port.product) continue;
        QString text = QString::fromUtf8(port.product);
        if (openableNamed(ports, portCount, port.product) > 1) {
            if (!port.dev) continue;
            text += " (" + QString::fromLocal8Bit(port.dev) + ")";
        }
        portCombo->addItem(text, i);
        if (!keep.isEmpty() && (port.dev ? QString::fromLocal8Bit(port.dev) : text) == keep)
            portCombo->setCurrentIndex(portCombo->count() - 1);
    }
}

// What names the chosen entry across scans: its device path, or its text without one.
QString Kivo::chosenPortKey() const {
    const SioPort* port = chosenRecord(portCombo, ports, portCount);
    if (!port) return QString();
    return port->dev ? QString::fromLocal8Bit(port->dev) : portCombo->currentText();
}

const char* Kivo::chosenPortDevice() const {
    const SioPort* port = chosenRecord(portCombo, ports, portCount);
    if (!port) return nullptr;
    return port->dev ? port->dev : findPortDevice(QString::fromUtf8(port->product));
}

void Kivo::on_RescanSerialPorts_clicked() {
    rescanPorts(QString());
}

void Kivo::rescanOnPortChange() {
    if (portWatch->changed()) rescanPorts(chosenPortKey());
}

void Kivo::on_VerifySerialPort_clicked() {
    closeLink();
    const int index = portCombo->currentIndex();
    const QString text = portCombo->currentText();
    QString message;
    const char* dev = index < 1 ? nullptr : chosenPortDevice();
    PortState state = PortState::Silent;
    if (index < 1) {
        message = "No serial port selected";
    } else if (!dev) {
        message = "No device path known for " + text;
    } else {
        serialIo = SerialIo::PlatformSIo();
        if (!serialIo->initialize(dev, SerialIo::Baud115200, 8, SerialIo::ParityNone, 1)) {
            message = "Couldn't initialize serial port on " + text;
        } else {
            kivoIo = new KivoIo(*serialIo);
            kivoIo->setTimeSource(*linkTime);
            // A generator left in its bootloader answers only there; firmware brings it back.
            state = checkPort(*kivoIo, dev, [this] { closeLink(); });
            if (state == PortState::Silent) message = "Kivo not found on " + text;
        }
    }
    bootloaderMode = state == PortState::Bootloader;
    linkDev = message.isEmpty() ? QByteArray(dev) : QByteArray();
    if (!message.isEmpty()) {
        showMessage(message);
        closeLink();
        // Without a link the wizard must not move on to a work page.
        serialPage->setCompletePred(false);
        setField("verifySerial", QObject::tr(kHelpText));
        return;
    }
    serialPage->setCompletePred(true);
    setField("verifySerial", QObject::tr(bootloaderMode ? kBootloaderText : kVerifiedText));
}
