#pragma once
#include <QCheckBox>
#include <QWizardPage>

// A wizard page with a side-panel entry and a completion flag set by the page's own logic.
class QsPage : public QWizardPage {
    Q_OBJECT
public:
    QsPage(const char* title, const char* sideText, QWidget* parent);
    ~QsPage() override;

    void setCompletePred(bool complete);
    bool isComplete() const override;
    bool validatePage() override;

    // Lets page builders outside this class register wizard fields.
    void pRegisterField(const QString& name, QWidget* widget, const char* property = nullptr,
                        const char* changedSignal = nullptr);

    QCheckBox sideCheck;
    bool completePred;

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
};
