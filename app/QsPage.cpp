#include "app/QsPage.h"

#include <QWizard>

QsPage::QsPage(const char* title, const char* sideText, QWidget* parent)
    : QWizardPage(parent), completePred(true) {
    setTitle(QObject::tr(title));
    // A non-empty subtitle makes the modern style draw the header with banner and logo.
    setSubTitle(" ");
    sideCheck.setText(QString::fromUtf8(sideText ? sideText : title));
    sideCheck.setChecked(false);
    sideCheck.setEnabled(false);
}

QsPage::~QsPage() = default;

void QsPage::setCompletePred(bool complete) {
    completePred = complete;
    emit completeChanged();
}

bool QsPage::isComplete() const {
    return completePred;
}

bool QsPage::validatePage() {
    sideCheck.setChecked(true);
    return true;
}

void QsPage::pRegisterField(const QString& name, QWidget* widget, const char* property,
                            const char* changedSignal) {
    registerField(name, widget, property, changedSignal);
}

void QsPage::showEvent(QShowEvent* event) {
    QWizardPage::showEvent(event);
    sideCheck.setEnabled(true);
    if (QWizard* w = wizard()) w->setOption(QWizard::NoCancelButton, isFinalPage());
}

void QsPage::hideEvent(QHideEvent* event) {
    QWizardPage::hideEvent(event);
    sideCheck.setEnabled(false);
}
