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

void Kivo::on_RescanSerialPorts_clicked() {
    freePorts();
    enumSerialPorts(ports, portCount);
    appendExtraPorts();
    if (!portCombo) return;
    portCombo->clear();
    portCombo->addItem(kPrompt);
    for (unsigned i = 0; i < portCount; ++i)
        if (ports[i].product) portCombo->addItem(QString::fromUtf8(ports[i].product));
}

void Kivo::on_VerifySerialPort_clicked() {
    closeLink();
    const int index = portCombo->currentIndex();
    const QString text = portCombo->currentText();
    QString message;
    const char* dev = index < 1 ? nullptr : findPortDevice(text);
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
