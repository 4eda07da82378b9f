#include "cli/Progress.h"

#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <unistd.h>

namespace kivo {
namespace {

constexpr unsigned kBarWidth = 24;
constexpr int kTenths = 10;
constexpr double kMega = 1e6;
constexpr double kKilo = 1e3;
constexpr double kBelowDone = 99.9; // the most a running stage shows
constexpr auto kRedrawEvery = std::chrono::milliseconds(100);

std::string format(const char* fmt, double a, double b = 0, double c = 0) {
    char buf[64];
    snprintf(buf, sizeof buf, fmt, a, b, c);
    return buf;
}

// "done of total" in the unit that suits the total.
std::string amounts(double done, double total) {
    if (total < 10 * kKilo) return format("  %.0f of %.0f bytes", done, total);
    if (total < kMega) return format("  %.1f of %.1f kB", done / kKilo, total / kKilo);
    return format("  %.1f of %.1f MB", done / kMega, total / kMega);
}

double secondsSince(std::chrono::steady_clock::time_point t) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

double runningPercent(double percent) {
    return percent < kBelowDone ? percent : kBelowDone;
}

class QuietView : public ProgressView {
public:
    void status(const std::string&, uint64_t, unsigned) override {}
    void note(const std::string&) override {}
    void progress(double) override {}
    void finish(bool) override {}
};

class LineView : public ProgressView {
public:
    explicit LineView(Console& con) : con(con) {}
    void status(const std::string& text, uint64_t total, unsigned limit) override {
        finish(true);
        state.start(text, total, limit);
        moved = false;
        con.info("%s\n", text.c_str());
    }
    void note(const std::string& text) override { con.info("%s\n", text.c_str()); }
    void progress(double percent) override {
        moved = true;
        if (state.limit() == 0 && state.update(runningPercent(percent)))
            con.info("%s\n", state.line().c_str());
    }
    // A stage that never reported progress has no end to show.
    void finish(bool done) override {
        if (!done || !moved || !state.update(100.0)) return;
        if (state.limit() == 0)
            con.info("%s\n", state.line().c_str());
        else
            con.info("%s: %s\n", state.text().c_str(), state.bar(0).c_str()); // "done in 0:04"
    }

private:
    Console& con;
    ProgressState state;
    bool moved = false;
};

// One bar under the status lines; a line printed while it shows goes above it.
class BarView : public ProgressView {
public:
    explicit BarView(Console& con) : con(con) {}
    ~BarView() override { finish(false); }
    void status(const std::string& text, uint64_t total, unsigned limit) override {
        finish(true);
        state.start(text, total, limit);
        con.info("%s\n", text.c_str());
    }
    void note(const std::string& text) override {
        if (drawn) con.info("\r\033[K");
        con.info("%s\n", text.c_str());
        shown.clear();
        if (drawn) draw();
    }
    void progress(double percent) override {
        state.update(runningPercent(percent));
        auto now = std::chrono::steady_clock::now();
        if (drawn && now - lastDraw < kRedrawEvery) return;
        lastDraw = now;
        drawn = true;
        draw();
    }
    void finish(bool done) override {
        if (!drawn) return;
        if (done) {
            state.update(100.0);
            draw();
        }
        con.info("\n");
        drawn = false;
        shown.clear();
    }

private:
    void draw() {
        std::string bar = state.bar(kBarWidth);
        unsigned width = con.width();
        if (bar.size() >= width) bar.resize(width - 1); // a wrapped bar could not be redrawn
        if (bar == shown) return;
        shown = bar;
        con.info("\r\033[K%s", bar.c_str());
    }
    std::string shown;
    Console& con;
    ProgressState state;
    bool drawn = false;
    std::chrono::steady_clock::time_point lastDraw;
};

class WorkerView : public ProgressView {
public:
    explicit WorkerView(int fd) : out(fdopen(dup(fd), "w")) {}
    ~WorkerView() override {
        if (out) fclose(out);
    }
    void status(const std::string& text, uint64_t total, unsigned limit) override {
        record("%c %" PRIu64 " %u %s\n", kRecordStatus, total, limit, text.c_str());
    }
    void note(const std::string& text) override { record("%c %s\n", kRecordNote, text.c_str()); }
    void progress(double percent) override {
        record("%c %.2f\n", kRecordProgress, runningPercent(percent));
    }
    void finish(bool done) override {
        if (done)
            record("%c %.2f\n", kRecordProgress, 100.0);
        else
            record("%c\n", kRecordFinish);
    }

private:
    template <typename... A> void record(const char* fmt, A... a) {
        if (!out) return;
        fprintf(out, fmt, a...);
        fflush(out);
    }
    FILE* out;
};

} // namespace

std::string clockText(double seconds) {
    long s = std::lround(seconds);
    char buf[32];
    if (s >= 3600)
        snprintf(buf, sizeof buf, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
    else
        snprintf(buf, sizeof buf, "%ld:%02ld", s / 60, s % 60);
    return buf;
}

std::string byteText(uint64_t bytes) {
    if (bytes < 10 * kKilo) return format("%.0f bytes", double(bytes));
    if (bytes < kMega) return format("%.1f kB", bytes / kKilo);
    return format("%.1f MB", bytes / kMega);
}

void ProgressState::start(const std::string& text, uint64_t totalBytes, unsigned limitSeconds) {
    text_ = text;
    total_ = totalBytes;
    limit_ = limitSeconds;
    percent_ = 0;
    tenth_ = 0;
    started_ = std::chrono::steady_clock::now();
}

bool ProgressState::update(double percent) {
    percent_ = percent < 0 ? 0 : percent > 100 ? 100 : percent;
    int tenth = static_cast<int>(percent_ / kTenths);
    if (tenth <= tenth_) return false;
    tenth_ = tenth;
    return true;
}

std::string ProgressState::bar(unsigned width) const {
    double secs = secondsSince(started_);
    if (limit_ > 0) {
        if (percent_ >= 100) return "done in " + clockText(secs);
        return clockText(secs) + " elapsed (may take up to " + clockText(limit_) + ")";
    }
    unsigned filled = static_cast<unsigned>(percent_ / 100.0 * width);
    std::string s = "[" + std::string(filled, '#') + std::string(width - filled, '.') + "] ";
    s += format("%3.0f%%", std::floor(percent_));
    if (total_ == 0) return s;
    double done = total_ * percent_ / 100.0;
    s += amounts(done, double(total_));
    if (secs > 0 && done > 0) {
        double rate = done / secs;
        s += format("  %.1f kB/s", rate / kKilo);
        if (percent_ < 100) s += "  " + clockText((total_ - done) / rate) + " left";
    }
    return s;
}

std::string ProgressState::line() const {
    std::string s = text_ + ": " + format("%.0f%%", tenth_ * 10.0);
    if (total_ > 0) s += format(" (%.0f of %.0f bytes)", total_ * tenth_ / 10.0, double(total_));
    return s;
}

std::unique_ptr<ProgressView> makeConsoleView(Console& con) {
    if (con.quiet()) return std::unique_ptr<ProgressView>(new QuietView());
    // With the traces on, lines: a bar would be torn by every trace line.
    if (con.errIsTerminal() && !con.verbose())
        return std::unique_ptr<ProgressView>(new BarView(con));
    return std::unique_ptr<ProgressView>(new LineView(con));
}

std::unique_ptr<ProgressView> makeWorkerView(int fd) {
    return std::unique_ptr<ProgressView>(new WorkerView(fd));
}

} // namespace kivo
