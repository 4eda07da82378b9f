#pragma once
// Drives the wizard through its own widgets against an in-process simulated generator.
#include "app/FileSelectPage.h"
#include "app/Kivo.h"
#include "app/MagicLabel.h"
#include "app/SimulatorPort.h"
#include "jobs/Picture.h"
#include "sim/KivoSim.h"
#include "tests/support/BadFiles.h"
#include "tests/support/QuickSim.h"

#include <QtTest>
#include <QtWidgets>

#include <memory>
#include <utility>

inline QCheckBox* sideEntry(const QQSetup& w, int i) {
    return qobject_cast<QCheckBox*>(w.sideLayout->itemAt(i)->widget());
}
inline QStringList sideEntries(const QQSetup& w) {
    QStringList names;
    for (int i = 0; i < w.sideLayout->count(); ++i) names << sideEntry(w, i)->text();
    return names;
}

class WizardRig {
public:
    explicit WizardRig(const KivoSim::Options& o = quickSim())
        : sim(o), wizard(std::make_unique<Kivo>(nullptr)) {
        simStarted = attachSimulator(*wizard, sim);
        // Message boxes are modal: a timer keeps each one's text and closes it.
        QObject::connect(&boxTimer, &QTimer::timeout, [this] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                boxes << box->text();
                box->done(QMessageBox::Ok);
            }
        });
        boxTimer.start(10);
    }
    // The link goes before the simulator. A violation of any simulator during the rig's life
    // that the test did not expect fails it.
    ~WizardRig() {
        wizard.reset();
        const uint64_t seen = KivoSim::violationsInProcess() - violationsBefore;
        if (seen != expectedViolations)
            QTest::qFail(qPrintable(QString("%1 simulator violations, the last: %2")
                                        .arg(seen)
                                        .arg(QString::fromStdString(
                                            KivoSim::recentViolations().empty()
                                                ? std::string()
                                                : KivoSim::recentViolations().back()))),
                         __FILE__, __LINE__);
    }

    // Builds the pages and shows the wizard; extra ports must be added before.
    void show() {
        wizard->addQsPages();
        wizard->show();
    }
    QStringList takeBoxes() { return std::exchange(boxes, QStringList()); }
    QAbstractButton* forward() const {
        const bool commit = wizard->currentPage() && wizard->currentPage()->isCommitPage();
        return wizard->button(commit ? QWizard::CommitButton : QWizard::NextButton);
    }
    bool forwardEnabled() const { return forward()->isEnabled(); }
    // Presses Next (or Commit) when it is enabled; false otherwise.
    bool next() { return forwardEnabled() && (forward()->click(), true); }
    bool shown(QWizard::WizardButton which) const { return wizard->button(which)->isVisible(); }
    void click(const QString& text) const {
        for (QPushButton* b : wizard->findChildren<QPushButton*>())
            if (b->text() == text) b->click();
    }
    bool verify(const QString& product) {
        wizard->portCombo->setCurrentIndex(wizard->portCombo->findText(product));
        click("Verify Serial Port");
        return wizard->serialPage->isComplete() && wizard->kivoIo;
    }
    void choose(const QString& path) {
        wizard->fileChooser = [path] { return path; };
        click("Browse");
    }
    bool reachFilePage() { return next() && verify(kSimulatorProduct) && next(); }
    // Welcome, verified simulator, file chosen and committed: the work page is on screen.
    bool reachWorkPage(const QString& path) {
        if (!reachFilePage()) return false;
        choose(path);
        return next() && wizard->currentId() == Kivo::WorkId;
    }
    QString field(const char* name) const { return wizard->field(name).toString(); }
    // Every text the work page's status line shows from now on.
    void recordStatus() {
        QObject::connect(wizard->workPage->findChild<MagicLabel*>(), &MagicLabel::ltextChanged,
                         [this](const QString& s) { statuses << s; });
    }
    QProgressBar* bar() const { return wizard->workPage->findChild<QProgressBar*>(); }
    bool startEnabled() const { return wizard->startButton->isEnabled(); }
    void start() { wizard->startButton->click(); }

    KivoSim sim;
    std::unique_ptr<Kivo> wizard;
    QStringList statuses;
    bool simStarted = false;
    uint64_t expectedViolations = 0;
    const uint64_t violationsBefore = KivoSim::violationsInProcess();

private:
    QStringList boxes;
    QTimer boxTimer;
};

// A picture of pseudo-random pixels, so misplaced bytes show.
inline QImage testPicture(int width, int height) {
    const std::string pixels = badfiles::garbage(size_t(width) * height * 3);
    const auto* bits = reinterpret_cast<const uchar*>(pixels.data());
    return QImage(bits, width, height, width * 3, QImage::Format_RGB888).copy();
}

// Intel HEX text of data at the flash base, in 16-byte records.
inline QByteArray hexText(const QByteArray& data, uint32_t base = 0x08000000) {
    std::string text = badfiles::record(4, 0, {uint8_t(base >> 24), uint8_t(base >> 16)});
    for (int at = 0; at < data.size(); at += 16) {
        const QByteArray part = data.mid(at, 16);
        text += badfiles::record(0, (base + at) & 0xFFFF, {part.begin(), part.end()});
    }
    return QByteArray::fromStdString(text + badfiles::record(1, 0, {}));
}

inline bool writeFile(const QString& path, const QByteArray& bytes) {
    return badfiles::put(path.toStdString(), bytes.toStdString());
}

inline std::vector<uint8_t> bytes(const QByteArray& a) {
    return {a.begin(), a.end()};
}
