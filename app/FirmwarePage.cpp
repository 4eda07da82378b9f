// The Firmware page and its update through the generator's bootloader.
#include "app/FileSelectPage.h"
#include "app/Kivo.h"
#include "app/MagicLabel.h"
#include "jobs/FirmwareJob.h"

#include <QGridLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>

QsPage* Kivo::psFirmwarePage() {
    auto* page = new QsPage("Firmware", nullptr, nullptr);
    auto* grid = new QGridLayout;
    grid->setContentsMargins(0, 0, 0, 0);
    auto* intro = new QLabel(QObject::tr("Click \"Start\" to begin firmware update."));
    intro->setWordWrap(true);
    grid->addWidget(intro, 0, 0, 1, 3);
    startButton = new QPushButton("Start");
    connect(startButton, SIGNAL(clicked()), this, SLOT(on_loadFirmware_clicked()));
    grid->addWidget(startButton, 2, 0, 1, 1);
    auto* bar = new QProgressBar;
    page->pRegisterField("bmProgress", bar, "value");
    grid->addWidget(bar, 2, 1, 1, 4);
    auto* status = new MagicLabel("");
    status->setWordWrap(true);
    status->registerField("bmStatus1", page);
    grid->addWidget(status, 3, 0, 1, 3);
    page->setLayout(grid);
    return page;
}

void Kivo::on_loadFirmware_clicked() {
    BusyScope scope(*this);
    FirmwareRequest request;
    request.hexPath = fileSelectPage->fileName;
    request.link = kivoIo;
    request.stream = serialIo;
    request.port = linkDev.toStdString();
    request.inBootloader = bootloaderMode;
    request.releaseLink = [this] { closeLink(); };
    startButton->setEnabled(false);
    // Next and Finish stay off, Cancel and close are refused, until the job has ended.
    workPage->setCompletePred(false);
    firmwareRunning = true;

    const JobResult result = runFirmwareJob(request, workCallbacks());
    firmwareRunning = false;
    if (result.ok) bootloaderMode = false;
    if (!result.ok) startButton->setEnabled(true);
    workPage->setCompletePred(true);
}
