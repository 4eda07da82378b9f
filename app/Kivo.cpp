#include "app/Kivo.h"

#include "app/FileSelectPage.h"
#include "app/QsPage.h"
#include "device/KivoIo.h"
#include "jobs/JobTypes.h"
#include "jobs/Picture.h"
#include "serial/SerialIo.h"
#include "serial/SerialPorts.h"
#include "serial/TimeSource.h"

#include <QApplication>
#include <QButtonGroup>
#include <QCloseEvent>
#include <QEvent>
#include <QLabel>
#include <QMessageBox>
#include <QVBoxLayout>

#include <cstdlib>
#include <cstring>

namespace {

const char* const kTitle = "Kivo Updater";
const char* const kWelcomeText =
    "Welcome to the Kivo updater utility.  This program will install new firmware or bitmap "
    "patterns on your Kivo generator.\n\nPlease make sure your Kivo is \n  * Connected to a "
    "power source\n  * DISCONNECTED from any video device\n  * Connected to your "
    "computer.\n\nClick \"Next\" when you are ready.";
const char* const kFinishText = "Your Kivo generator is now updated.  Please cycle the power "
                                "button for the changes to take effect.";

} // namespace

bool Progress::progress(double percent) {
    wizard->onProgress(percent);
    return true;
}

Kivo::Kivo(QWidget* parent)
    : QQSetup(QObject::tr(kTitle), QPixmap(":/Artwork/banner.png"),
              QPixmap(":/Artwork/watermark.png"), QPixmap(":/Artwork/Kivo-logo.png"), parent),
      linkTime(&TimeSource::real()), serialIo(nullptr), ports(nullptr), portCount(0),
      kivoIo(nullptr), serialPage(nullptr), portCombo(nullptr), fileSelectPage(nullptr),
      workPage(nullptr), progressSink(new Progress(this)), startButton(nullptr),
      patternGroup(nullptr), fitCheck(nullptr), bootloaderMode(false) {}

Kivo::~Kivo() {
    closeLink();
    freePorts();
    delete progressSink;
    delete patternGroup;
}

QsPage* Kivo::textPage(const char* title, const char* text) {
    auto* page = new QsPage(title, nullptr, nullptr);
    auto* label = new QLabel(QObject::tr(text));
    label->setWordWrap(true);
    auto* layout = new QVBoxLayout;
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(label);
    page->setLayout(layout);
    return page;
}

void Kivo::addQsPages() {
    addQsPage(textPage("Welcome", kWelcomeText), WelcomeId);
    addQsPage(selectSerialPage(), SerialId);
    psSelectFilePage();
    addQsPage(fileSelectPage, FileId);
    addQsPage(textPage("Finish", kFinishText), FinishId);
}

bool Kivo::onProgress(double percent) {
    setField("bmProgress", percent);
    QCoreApplication::processEvents();
    return true;
}

void Kivo::closeLink() {
    delete kivoIo;
    kivoIo = nullptr;
    delete serialIo;
    serialIo = nullptr;
}

void Kivo::freePorts() {
    freeSerialPorts(ports, portCount);
}

void Kivo::addExtraPort(const QByteArray& dev, const QByteArray& product) {
    extraPorts.emplace_back(dev, product);
}

void Kivo::appendExtraPorts() {
    if (extraPorts.empty()) return;
    const size_t total = portCount + extraPorts.size();
    auto* grown = static_cast<SioPort*>(std::realloc(ports, total * sizeof(SioPort)));
    if (!grown) return;
    ports = grown;
    for (const auto& extra : extraPorts) {
        ports[portCount].dev = strdup(extra.first.constData());
        ports[portCount].product = strdup(extra.second.constData());
        ++portCount;
    }
}

void Kivo::showMessage(const QString& text) {
    QMessageBox box;
    box.setText(text);
    box.exec();
}

JobCallbacks Kivo::workCallbacks() {
    JobCallbacks cb;
    cb.status = [this](const QString& text, JobStep) {
        setField("bmStatus1", text);
        QCoreApplication::processEvents();
    };
    cb.progress = [this](double percent) { return progressSink->progress(percent); };
    cb.failure = [this](const QString& message, JobStep) { showMessage(message); };
    return cb;
}

int Kivo::usableKind(const QString& fileName) const {
    const int kind = fileKind(fileName);
    return bootloaderMode && kind == FileKindPicture ? FileKindNone : kind;
}

// A half-written flash leaves the generator in its bootloader: the wizard stays until the end.
void Kivo::reject() {
    if (!firmwareRunning) QQSetup::reject();
}

void Kivo::closeEvent(QCloseEvent* e) {
    if (firmwareRunning)
        e->ignore();
    else
        QQSetup::closeEvent(e);
}

// A deletion asked for while a device operation runs would pull the link and the pages from
// under it; it is carried out once the operation has returned.
bool Kivo::event(QEvent* e) {
    if (e->type() == QEvent::DeferredDelete && busy()) {
        deletePending = true;
        return true;
    }
    return QQSetup::event(e);
}

void Kivo::endOperation() {
    if (!deletePending) return;
    deletePending = false;
    deleteLater();
}
