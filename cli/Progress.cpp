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
constexpr auto kRedrawEvery = std::chrono::milliseconds(100);

std::string format(const char* fmt, double a, double b = 0, double c = 0) {
    char buf[64];
    snprintf(buf, sizeof buf, fmt, a, b, c);
    return buf;
}

std::string duration(double seconds) {
    long s = std::lround(seconds);
    char buf[32];
    snprintf(buf, sizeof buf, "%ld:%02ld", s / 60, s % 60);
    return buf;
}

// "done of total" in the unit that suits the total.
std::string amounts(double done, double total) {
    if (total < 10 * kKilo) return format("  %.0f of %.0f bytes", done, total);
    if (total < kMega) return format("  %.1f of %.1f kB", done / kKilo, total / kKilo);
    return format("  %.1f of %.1f MB", done / kMega, total / kMega);
}

class QuietView : public ProgressView {
public:
    void status(const std::string&, uint64_t) override {}
    void note(const std::string&) override {}
    void progress(double) override {}
    void finish() override {}
};

class LineView : public ProgressView {
public:
    explicit LineView(Console& con) : con(con) {}
    void status(const std::string& text, uint64_t total) override {
        state.start(text, total);
        con.info("%s\n", text.c_str());
    }
    void note(const std::string& text) override { con.info("%s\n", text.c_str()); }
    void progress(double percent) override {
        if (state.update(percent)) con.info("%s\n", state.line().c_str());
    }
    void finish() override {}

private:
    Console& con;
    ProgressState state;
};

class BarView : public ProgressView {
public:
    explicit BarView(Console& con) : con(con) {}
    ~BarView() override { finish(); }
    void status(const std::string& text, uint64_t total) override {
        finish();
        state.start(text, total);
        con.info("%s\n", text.c_str());
    }
    void note(const std::string& text) override {
        finish();
        con.info("%s\n", text.c_str());
    }
    void progress(double percent) override {
        state.update(percent);
        auto now = std::chrono::steady_clock::now();
        if (drawn && now - lastDraw < kRedrawEvery && percent < 100.0) return;
        lastDraw = now;
        drawn = true;
        con.info("\r\033[K%s", state.bar(kBarWidth).c_str());
    }
    void finish() override {
        if (drawn) con.info("\n");
        drawn = false;
    }

private:
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
    void status(const std::string& text, uint64_t total) override {
        record("%c %" PRIu64 " %s\n", kRecordStatus, total, text.c_str());
    }
    void note(const std::string& text) override { record("%c %s\n", kRecordNote, text.c_str()); }
    void progress(double percent) override { record("%c %.2f\n", kRecordProgress, percent); }
    void finish() override {}

private:
    template <typename... A> void record(const char* fmt, A... a) {
        if (!out) return;
        fprintf(out, fmt, a...);
        fflush(out);
    }
    FILE* out;
};

} // namespace

void ProgressState::start(const std::string& text, uint64_t totalBytes) {
    text_ = text;
    total_ = totalBytes;
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
    unsigned filled = static_cast<unsigned>(percent_ / 100.0 * width);
    std::string s = "[" + std::string(filled, '#') + std::string(width - filled, '.') + "] ";
    s += format("%3.0f%%", percent_);
    if (total_ == 0) return s;
    double done = total_ * percent_ / 100.0;
    double secs =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
    s += amounts(done, double(total_));
    if (secs > 0 && done > 0) {
        double rate = done / secs;
        s += format("  %.0f kB/s", rate / kKilo);
        s += "  " + duration((total_ - done) / rate) + " left";
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
    if (con.errIsTerminal()) return std::unique_ptr<ProgressView>(new BarView(con));
    return std::unique_ptr<ProgressView>(new LineView(con));
}

std::unique_ptr<ProgressView> makeWorkerView(int fd) {
    return std::unique_ptr<ProgressView>(new WorkerView(fd));
}

} // namespace kivo
