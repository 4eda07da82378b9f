// The Load Bitmap page: the ten pattern positions, Start, progress and status line.
#include "app/FileSelectPage.h"
#include "app/Kivo.h"
#include "app/MagicLabel.h"
#include "jobs/PatternJob.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QGridLayout>
#include <QIcon>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>

namespace {

const char* const kIntroText =
    "Select the pattern you want to replace, the image may not match if you have changed "
    "pattern's, for your convenience the position number is also on the image, the position "
    "corresponds with pressing the \"up\" button to move through the patterns";
const int kColumns = 3;
const int kIconSize = 100;
const int kGridWidth = 6;
const int kFitRow = 9;
const int kStartRow = 10;
const char* const kFitText = "Fit the picture to 1920 x 1080 (black borders)";
const int kIntroWidth = 400;

} // namespace

QsPage* Kivo::psBitmapPage() {
    auto* page = new QsPage("Load Bitmap", nullptr, nullptr);
    auto* intro = new QLabel(QObject::tr(kIntroText));
    intro->setWordWrap(true);
    // The grid does not grow for a wrapped label; reserve the lines it needs at page width.
    intro->setMinimumHeight(intro->heightForWidth(kIntroWidth));
    auto* grid = new QGridLayout;
    grid->setContentsMargins(0, 0, 0, 0);
    grid->addWidget(intro, 0, 0, 1, kGridWidth);

    delete patternGroup;
    patternGroup = new QButtonGroup;
    for (int i = 0; i < static_cast<int>(kPatternSlots); ++i) {
        auto* button = new QRadioButton;
        button->setIcon(QIcon(QString::asprintf(":/Artwork/preview/pattern-%d.png", i)));
        button->setIconSize(QSize(kIconSize, kIconSize));
        button->setChecked(i == 0);
        patternGroup->addButton(button, i);
        grid->addWidget(button, 2 * (i / kColumns) + 1, 2 * (i % kColumns), 2, 2);
    }

    fitCheck = new QCheckBox(QObject::tr(kFitText));
    grid->addWidget(fitCheck, kFitRow, 0, 1, kGridWidth);

    startButton = new QPushButton("Start");
    connect(startButton, SIGNAL(clicked()), this, SLOT(on_loadBitmap_clicked()));
    grid->addWidget(startButton, kStartRow, 0, 1, 1);
    auto* bar = new QProgressBar;
    page->pRegisterField("bmProgress", bar, "value");
    grid->addWidget(bar, kStartRow, 1, 1, kGridWidth - 1);
    auto* status = new MagicLabel(QObject::tr(""));
    status->setWordWrap(true); // a refusal names the picture, its size and the limit
    status->registerField("bmStatus1", page);
    grid->addWidget(status, kStartRow + 1, 0, 1, kGridWidth);

    page->setLayout(grid);
    page->completePred = false;
    return page;
}

void Kivo::on_loadBitmap_clicked() {
    BusyScope scope(*this);
    PatternRequest request;
    request.link = kivoIo;
    request.slot = static_cast<unsigned>(patternGroup->checkedId());
    request.picture = image;
    request.path = fileSelectPage->fileName;
    request.fit = fitCheck->isChecked();
    startButton->setEnabled(false);

    const JobResult result = runPatternJob(request, workCallbacks());
    // Nothing reached the generator's preview yet: the user may start again.
    const bool retry = result.refused || result.step == JobStep::Bitmap;
    if (!result.ok && retry) startButton->setEnabled(true);
    // Nothing was sent after a refusal: Finish would claim an update that did not happen.
    if (!result.refused) workPage->setCompletePred(true);
}
