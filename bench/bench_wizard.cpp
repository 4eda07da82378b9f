// Drives the updater wizard (the code of kivo-updater) through a pattern replacement or a
// firmware update on a generator at PORT, in practice a kivo-sim pty in another process, and
// measures how long the event loop goes without processing events: a 10 ms timer records the
// longest gap between its own ticks, for a pattern once for the erase stage and once for the
// page uploads (bitmap and preview), for firmware over the whole update.
// Usage: bench_wizard PORT WIDTH HEIGHT | bench_wizard PORT firmware BYTES
// (run with QT_QPA_PLATFORM=offscreen without a display)
// Prints "key value" lines on stderr: stall times in ms, whether the job succeeded, peak RSS.
#include "app/Kivo.h"
#include "app/MagicLabel.h"
#include "app/QsPage.h"

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/resource.h>
#include <vector>

namespace {

const char* const kProduct = "Bench Generator";
constexpr int kTickMs = 10;

// Longest gap between two ticks of a timer that wants to run every kTickMs.
class StallMeter : public QObject {
public:
    StallMeter() {
        connect(&timer, &QTimer::timeout, this, [this] { tick(); });
        timer.setTimerType(Qt::PreciseTimer);
    }
    void start() {
        clock.start();
        last = 0;
        timer.start(kTickMs);
    }
    // The longest gap so far, then a new stretch begins; typical gets the median gap.
    qint64 take(qint64* typical = nullptr) {
        tick();
        const qint64 m = longest;
        if (typical && !gaps.empty()) {
            std::nth_element(gaps.begin(), gaps.begin() + gaps.size() / 2, gaps.end());
            *typical = gaps[gaps.size() / 2];
        }
        longest = 0;
        gaps.clear();
        return m;
    }

private:
    void tick() {
        const qint64 now = clock.elapsed();
        longest = std::max(longest, now - last);
        gaps.push_back(now - last);
        last = now;
    }
    QTimer timer;
    QElapsedTimer clock;
    qint64 last = 0, longest = 0;
    std::vector<qint64> gaps;
};

QPushButton* button(Kivo& w, const QString& text) {
    for (QPushButton* b : w.findChildren<QPushButton*>())
        if (b->text() == text) return b;
    return nullptr;
}

bool forward(Kivo& w) {
    const bool commit = w.currentPage() && w.currentPage()->isCommitPage();
    QAbstractButton* b = w.button(commit ? QWizard::CommitButton : QWizard::NextButton);
    if (!b->isEnabled()) return false;
    b->click();
    return true;
}

// Welcome, verified port, picture chosen and committed: the Load Bitmap page is on screen.
bool reachWorkPage(Kivo& w, const QString& picture) {
    if (!forward(w)) return false;
    w.portCombo->setCurrentIndex(w.portCombo->findText(kProduct));
    button(w, "Verify Serial Port")->click();
    if (!w.kivoIo || !forward(w)) return false;
    w.fileChooser = [picture] { return picture; };
    button(w, "Browse")->click();
    return forward(w) && w.currentId() == Kivo::WorkId;
}

// An Intel HEX file of n bytes at the flash base: an extended address record, then 16-byte
// data records.
bool writeHex(const QString& path, int n) {
    auto record = [](int type, int addr, const std::vector<int>& data) {
        std::vector<int> bytes = {int(data.size()), (addr >> 8) & 0xFF, addr & 0xFF, type};
        bytes.insert(bytes.end(), data.begin(), data.end());
        int sum = 0;
        QByteArray line = ":";
        for (int b : bytes) {
            sum += b;
            line += QByteArray::number(b, 16).rightJustified(2, '0').toUpper();
        }
        return line + QByteArray::number((-sum) & 0xFF, 16).rightJustified(2, '0').toUpper() + "\n";
    };
    QByteArray text = record(4, 0, {0x08, 0x00});
    for (int at = 0; at < n; at += 16) {
        std::vector<int> data;
        for (int i = at; i < std::min(n, at + 16); ++i) data.push_back((i * 31 + 7) & 0xFF);
        text += record(0, at & 0xFFFF, data);
        if ((at + 16) % 0x10000 == 0 && at + 16 < n) text += record(4, 0, {0x08, (at + 16) >> 16});
    }
    text += record(1, 0, {});
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(text) == text.size();
}

QImage picture(int width, int height) {
    QImage img(width, height, QImage::Format_RGB32);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) img.setPixel(x, y, qRgb(x * 7, y * 5, (x ^ y) * 3));
    return img;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fputs("usage: bench_wizard PORT WIDTH HEIGHT | bench_wizard PORT firmware BYTES\n",
                   stderr);
        return 2;
    }
    Q_INIT_RESOURCE(Kivo_Updater);
    QApplication app(argc, argv);
    QTemporaryDir dir;
    const bool firmware = std::strcmp(argv[2], "firmware") == 0;
    const QString path = dir.filePath(firmware ? "bench.hex" : "bench.png");
    if (firmware ? !writeHex(path, std::atoi(argv[3]))
                 : !picture(std::atoi(argv[2]), std::atoi(argv[3])).save(path))
        return 1;

    Kivo wizard(nullptr);
    wizard.addExtraPort(argv[1], kProduct);
    wizard.addQsPages();
    wizard.show();

    // A failure shows a modal message box; close it so the run ends and say what it read.
    QTimer closer;
    QObject::connect(&closer, &QTimer::timeout, [] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            std::fprintf(stderr, "bench_wizard: %s\n", qPrintable(box->text()));
            box->done(QMessageBox::Ok);
        }
    });
    closer.start(50);

    StallMeter meter;
    qint64 eraseStall = -1, uploadStall = -1, typical = -1;
    bool ok = false;
    QTimer::singleShot(0, [&] {
        if (!reachWorkPage(wizard, path)) {
            std::fprintf(stderr, "bench_wizard: could not reach the work page\n");
            app.exit(1);
            return;
        }
        auto* status = wizard.workPage->findChild<MagicLabel*>();
        QObject::connect(status, &MagicLabel::ltextChanged, [&](const QString& s) {
            if (!firmware && s.startsWith("Loading ") && eraseStall < 0) eraseStall = meter.take();
            if (s == "KIVO Pattern has been installed." || s.endsWith(" Loaded Successfully"))
                ok = true;
        });
        meter.start();
        button(wizard, "Start")->click(); // runs the whole job, processing events as it goes
        uploadStall = meter.take(&typical);
        app.exit(0);
    });
    const int rc = app.exec();
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    if (firmware)
        std::fprintf(stderr, "firmware_stall_ms %lld\nfirmware_median_gap_ms %lld\n",
                     static_cast<long long>(uploadStall), static_cast<long long>(typical));
    else
        std::fprintf(stderr,
                     "erase_stall_ms %lld\nupload_stall_ms %lld\nupload_median_gap_ms %lld\n",
                     static_cast<long long>(eraseStall), static_cast<long long>(uploadStall),
                     static_cast<long long>(typical));
    std::fprintf(stderr, "job_ok %d\npeak_rss_kib %ld\n", ok ? 1 : 0, u.ru_maxrss);
    return rc == 0 && ok ? 0 : 1;
}
