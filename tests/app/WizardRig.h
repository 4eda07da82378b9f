#pragma once
// Drives the wizard through its own widgets against an in-process simulated generator.
#include "app/FileSelectPage.h"
#include "app/Kivo.h"
#include "app/MagicLabel.h"
#include "app/SimulatorPort.h"
#include "sim/KivoSim.h"

#include <QAbstractButton>
#include <QApplication>
#include <QButtonGroup>
#include <QComboBox>
#include <QFile>
#include <QImage>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

#include <functional>
#include <memory>

inline void initKivoResources() {
    Q_INIT_RESOURCE(Kivo_Updater);
}

// Closes every modal message box from a timer and keeps its text.
class ModalCloser : public QObject {
public:
    ModalCloser() {
        connect(&timer, &QTimer::timeout, this, [this] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!box) return;
            texts << box->text();
            if (onBox) onBox(box);
            box->done(QMessageBox::Ok);
        });
        timer.start(10);
    }
    QStringList take() {
        QStringList t = texts;
        texts.clear();
        return t;
    }
    QStringList texts;
    std::function<void(QMessageBox*)> onBox; // sees each box before it is closed

private:
    QTimer timer;
};

class WizardRig {
public:
    explicit WizardRig(const KivoSim::Options& options = KivoSim::Options()) : sim(options) {
        wizard = std::make_unique<Kivo>(nullptr);
        simStarted = attachSimulator(*wizard, sim);
    }
    ~WizardRig() { wizard.reset(); } // the link goes before the simulator

    // Builds the pages and shows the wizard; extra ports must be added before.
    void show() {
        wizard->addQsPages();
        wizard->show();
    }

    QPushButton* pushButton(const QString& text) const {
        for (QPushButton* b : wizard->findChildren<QPushButton*>())
            if (b->text() == text) return b;
        return nullptr;
    }
    QAbstractButton* forwardButton() const {
        const bool commit = wizard->currentPage() && wizard->currentPage()->isCommitPage();
        return wizard->button(commit ? QWizard::CommitButton : QWizard::NextButton);
    }
    bool forwardEnabled() const { return forwardButton()->isEnabled(); }
    // Presses Next (or Commit) when it is enabled; false otherwise.
    bool next() {
        if (!forwardEnabled()) return false;
        forwardButton()->click();
        return true;
    }

    bool verify(const QString& product) {
        wizard->portCombo->setCurrentIndex(wizard->portCombo->findText(product));
        pushButton("Verify Serial Port")->click();
        return wizard->serialPage->isComplete() && wizard->kivoIo;
    }
    void choose(const QString& path) {
        wizard->fileChooser = [path] { return path; };
        pushButton("Browse")->click();
    }
    // Welcome, verified simulator, file chosen and committed: the work page is on screen.
    bool reachWorkPage(const QString& path) {
        if (!next() || !verify(kSimulatorProduct) || !next()) return false;
        choose(path);
        return next() && wizard->currentId() == Kivo::WorkId;
    }

    QString field(const char* name) const { return wizard->field(name).toString(); }
    QStringList sideEntries() const {
        QStringList names;
        for (int i = 0; i < wizard->sideLayout->count(); ++i)
            if (auto* b = qobject_cast<QAbstractButton*>(wizard->sideLayout->itemAt(i)->widget()))
                names << b->text();
        return names;
    }
    // Every text the work page's status line shows from now on.
    void recordStatus() {
        auto* label = wizard->workPage->findChild<MagicLabel*>();
        QObject::connect(label, &MagicLabel::ltextChanged,
                         [this](const QString& s) { statuses << s; });
    }
    QProgressBar* progressBar() const { return wizard->workPage->findChild<QProgressBar*>(); }
    void start() { pushButton("Start")->click(); }

    KivoSim sim;
    std::unique_ptr<Kivo> wizard;
    ModalCloser closer;
    QStringList statuses;
    bool simStarted = false;
};

// A picture with distinct colours per block, so misplaced bytes show.
inline QImage testPicture(int width, int height) {
    QImage img(width, height, QImage::Format_RGB32);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            img.setPixel(x, y,
                         qRgb((x * 7) & 0xFF, (y * 5) & 0xFF, ((x / 16 + y / 16) * 29) & 0xFF));
    return img;
}

// Intel HEX text of data at base: one extended linear address record, 16-byte data records.
inline QByteArray hexText(uint32_t base, const QByteArray& data) {
    auto record = [](unsigned type, unsigned addr, const QByteArray& bytes) {
        QByteArray raw;
        raw.append(char(bytes.size()));
        raw.append(char(addr >> 8));
        raw.append(char(addr & 0xFF));
        raw.append(char(type));
        raw.append(bytes);
        unsigned sum = 0;
        for (char c : raw) sum += static_cast<unsigned char>(c);
        raw.append(char((0x100 - (sum & 0xFF)) & 0xFF));
        return ":" + raw.toHex().toUpper() + "\n";
    };
    QByteArray upper;
    upper.append(char(base >> 24));
    upper.append(char((base >> 16) & 0xFF));
    QByteArray text = record(4, 0, upper);
    for (int at = 0; at < data.size(); at += 16)
        text += record(0, (base + at) & 0xFFFF, data.mid(at, 16));
    return text + record(1, 0, QByteArray());
}

inline bool writeFile(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}
