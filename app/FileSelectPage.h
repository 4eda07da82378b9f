#pragma once
#include "app/QsPage.h"

#include <QString>

class Kivo;
class QLabel;

// The commit page where the user picks a picture or a firmware file.
class FileSelectPage : public QsPage {
    Q_OBJECT
public:
    FileSelectPage(Kivo& wizard, const char* title, const char* sideText, QWidget* parent);

    // Creates the work page for the chosen file's kind and inserts it under id 3.
    bool validatePage() override;

    QString fileName;
    QLabel* previewLabel;
    Kivo& wizard;
};
