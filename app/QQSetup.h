#pragma once
#include <QWizard>

class QVBoxLayout;
class QsPage;

// Wizard base: fixed look, and a side panel listing one check box per page in id order.
class QQSetup : public QWizard {
    Q_OBJECT
public:
    QQSetup(const QString& title, const QPixmap& banner, const QPixmap& watermark,
            const QPixmap& logo, QWidget* parent);
    ~QQSetup() override;

    void accept() override;
    // id -1 asks for the next id: the number of pages added so far plus one.
    virtual void addQsPage(QsPage* page, int id);
    virtual void addQsPages() = 0;

    QVBoxLayout* sideLayout;
    int pageCount;
};
