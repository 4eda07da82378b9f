#include "app/QQSetup.h"

#include "app/QsPage.h"

#include <QVBoxLayout>

QQSetup::QQSetup(const QString& title, const QPixmap& banner, const QPixmap& watermark,
                 const QPixmap& logo, QWidget* parent)
    : QWizard(parent), sideLayout(nullptr), pageCount(0) {
    setWindowTitle(title);
    setWizardStyle(QWizard::ModernStyle);
    setOption(QWizard::NoCancelButton, false);
    sideLayout = new QVBoxLayout;
    setPixmap(QWizard::BannerPixmap, banner);
    setPixmap(QWizard::WatermarkPixmap, watermark);
    setPixmap(QWizard::LogoPixmap, logo);
    auto* side = new QWidget;
    side->setLayout(sideLayout);
    setSideWidget(side);
}

// Each page holds its side entry by value, so the pages must go before the side panel,
// which would otherwise delete the entries as its children.
QQSetup::~QQSetup() {
    const QList<int> ids = pageIds();
    for (int id : ids) {
        QWizardPage* p = page(id);
        removePage(id);
        delete p;
    }
    // The wizard adopts the side panel only once it lays out the watermark.
    QWidget* side = sideWidget();
    if (side && !side->parent()) delete side;
}

void QQSetup::accept() {
    QDialog::accept();
}

void QQSetup::addQsPage(QsPage* page, int id) {
    if (id == -1) id = pageCount + 1;
    setPage(id, page);
    // An id past the entries so far puts the entry at the end.
    const int pos = id < sideLayout->count() ? id : -1;
    sideLayout->insertWidget(pos, &page->sideCheck, 0, Qt::Alignment());
    ++pageCount;
}
