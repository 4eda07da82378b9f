// The file page: choosing a picture or firmware file, its preview and caption, and the commit
// that inserts the matching work page.
#include "app/FileSelectPage.h"

#include "app/Kivo.h"
#include "app/MagicLabel.h"
#include "jobs/Picture.h"

#include <QFileDialog>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>

namespace {

const char* const kIntroText =
    "Select file upload to your Kivo.  Files can either be image files (png,jpg,bmp,bin), or "
    "firmware files (.hex).  Click the Browse button to open a pop-up directory.\n\nClick Next "
    "to continue or Cancel to exit.";
const char* const kChosenText =
    "If the correct file name is shown, click Commit to continue . To select a different file "
    "click the Browse button again or click Cancel to exit.";

MagicLabel* wrappedField(const char* name, QsPage* page) {
    auto* label = new MagicLabel;
    label->setWordWrap(true);
    label->registerField(name, page);
    return label;
}

} // namespace

FileSelectPage::FileSelectPage(Kivo& wizard, const char* title, const char* sideText,
                               QWidget* parent)
    : QsPage(title, sideText, parent), previewLabel(nullptr), wizard(wizard) {
    setCommitPage(true);
}

bool FileSelectPage::validatePage() {
    const int kind = wizard.usableKind(fileName);
    if (!wizard.workPage) {
        if (kind == FileKindPicture) wizard.workPage = wizard.psBitmapPage();
        if (kind == FileKindFirmware) wizard.workPage = wizard.psFirmwarePage();
        if (wizard.workPage) wizard.addQsPage(wizard.workPage, Kivo::WorkId);
    }
    if (kind == FileKindNone) return false;
    return QsPage::validatePage();
}

QsPage* Kivo::psSelectFilePage() {
    auto* page = new FileSelectPage(*this, "Select File", nullptr, nullptr);
    auto* grid = new QGridLayout;
    grid->setContentsMargins(0, 0, 0, 0);
    auto* intro = new QLabel(QObject::tr(kIntroText));
    intro->setWordWrap(true);
    grid->addWidget(intro, 0, 0);
    auto* nameEdit = new QLineEdit;
    page->pRegisterField("dataFilename", nameEdit);
    grid->addWidget(nameEdit, 1, 0);
    auto* browse = new QPushButton("Browse");
    connect(browse, SIGNAL(clicked()), this, SLOT(on_fileSelectButton_clicked()));
    grid->addWidget(browse, 1, 1);
    page->previewLabel = new QLabel;
    grid->addWidget(page->previewLabel, 2, 0, 1, 2);
    grid->addWidget(wrappedField("dataFileCaption", page), 3, 0);
    grid->addWidget(wrappedField("dataFileStatus", page), 4, 0);
    page->setLayout(grid);
    page->completePred = false;
    fileSelectPage = page;
    return page;
}

void Kivo::on_fileSelectButton_clicked() {
    FileSelectPage& page = *fileSelectPage;
    page.fileName = fileChooser
                        ? fileChooser()
                        : QFileDialog::getOpenFileName(
                              this, tr("Open File..."), QString(),
                              tr("firmware or image-Files (*.hex *.png *.jpg *.bin *.bmp)"));
    if (page.fileName.isEmpty()) return;
    const int kind = usableKind(page.fileName);
    if (kind == FileKindNone) {
        showMessage(page.fileName + (fileKind(page.fileName) == FileKindNone
                                         ? " is not a valid file for the Kivo"
                                         : " is not a valid file for a Kivo in bootloader mode. "
                                           "Choose a firmware file (.hex) to recover it."));
    } else {
        setField("dataFilename", page.fileName);
        if (kind == FileKindFirmware) {
            page.previewLabel->setPixmap(QPixmap());
            setField("dataFileCaption", "Firmware update");
        } else {
            const QImage picture = loadPicture(page.fileName);
            image = picture;
            page.previewLabel->setPixmap(QPixmap::fromImage(pictureThumbnail(picture)));
            setField("dataFileCaption", pictureCaption(picture));
        }
        setField("dataFileStatus", QObject::tr(kChosenText));
    }
    page.setCompletePred(true);
}
