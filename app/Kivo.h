#pragma once
#include "app/QQSetup.h"
#include "device/KivoProgress.h"

#include <QByteArray>
#include <QImage>
#include <QPixmap>
#include <QSocketNotifier>
#include <QString>

#include <functional>
#include <memory>
#include <utility>
#include <vector>

class FileSelectPage;
class KivoIo;
class QButtonGroup;
class QCheckBox;
class QComboBox;
class QPushButton;
class QsPage;
class SerialIo;
class SerialPortWatch;
class TimeSource;
struct JobCallbacks;
struct SioPort;

class Kivo;

// The GUI's progress sink: shows the value and keeps the window alive; never stops an operation.
class Progress final : public KivoProgress {
public:
    explicit Progress(Kivo* wizard) : wizard(wizard) {}
    bool progress(double percent) override;

    Kivo* wizard;
};

// The updater wizard: Welcome, serial port, file, then the bitmap or firmware page, Finish.
class Kivo : public QQSetup {
    Q_OBJECT
public:
    enum PageId { WelcomeId = 0, SerialId = 1, FileId = 2, WorkId = 3, FinishId = 4 };

    explicit Kivo(QWidget* parent);
    ~Kivo() override;

    void addQsPages() override;

    QsPage* selectSerialPage();
    QsPage* psSelectFilePage();
    QsPage* psBitmapPage();
    QsPage* psFirmwarePage();

    bool onProgress(double percent);

    // The device path of the first scanned port named product; null when none has one.
    const char* findPortDevice(const QString& product) const;
    // The device path of the entry chosen in portCombo; null when it has none.
    const char* chosenPortDevice() const;

    // A port that every scan lists after the machine's own (the in-process simulator).
    void addExtraPort(const QByteArray& dev, const QByteArray& product);

    // The clock and sleeper of the link's pauses; tests hand in a virtual one.
    TimeSource* linkTime;

    // Replaces the open-file dialog (tests choose files through it); empty means cancelled.
    std::function<QString()> fileChooser;

    // True while a device operation runs inside one of the slots.
    bool busy() const { return busyDepth > 0; }

    // A file of this kind may be committed: only firmware while the generator is in its
    // bootloader. Returns a FileKind value.
    int usableKind(const QString& fileName) const;

    // Cancel and the window's close are refused while the firmware is written.
    void reject() override;

public slots:
    void on_fileSelectButton_clicked();
    void on_VerifySerialPort_clicked();
    void on_RescanSerialPorts_clicked();
    void on_loadBitmap_clicked();
    void on_loadFirmware_clicked();

public:
    SerialIo* serialIo;
    SioPort* ports;
    unsigned portCount;
    KivoIo* kivoIo;
    QsPage* serialPage;
    QComboBox* portCombo;
    FileSelectPage* fileSelectPage;
    QsPage* workPage;
    Progress* progressSink;
    QPushButton* startButton;
    QButtonGroup* patternGroup;
    QCheckBox* fitCheck;
    QImage image;
    // The verified port's device path, and whether only its bootloader answered there.
    QByteArray linkDev;
    bool bootloaderMode;

protected:
    bool event(QEvent* e) override;
    void closeEvent(QCloseEvent* e) override;

private slots:
    // An adapter came or went: the list follows, keeping the entry chosen.
    void rescanOnPortChange();

private:
    friend class BusyScope;
    void closeLink();
    void freePorts();
    void appendExtraPorts();
    void showMessage(const QString& text);
    QsPage* textPage(const char* title, const char* text);
    // Status, progress and message boxes of a job, shown on the work page.
    JobCallbacks workCallbacks();
    void endOperation();

    void rescanPorts(const QString& keep);
    QString chosenPortKey() const;

    std::vector<std::pair<QByteArray, QByteArray>> extraPorts;
    std::unique_ptr<SerialPortWatch> portWatch;
    std::unique_ptr<QSocketNotifier> portNotifier; // goes before the watch it listens to
    int busyDepth = 0;
    bool deletePending = false;
    bool firmwareRunning = false;
};

// Marks a device operation in progress; a deletion requested meanwhile waits for its end.
class BusyScope {
public:
    explicit BusyScope(Kivo& k) : kivo(k) { ++kivo.busyDepth; }
    ~BusyScope() {
        if (--kivo.busyDepth == 0) kivo.endOperation();
    }
    BusyScope(const BusyScope&) = delete;
    BusyScope& operator=(const BusyScope&) = delete;

private:
    Kivo& kivo;
};
