#pragma once
#include <cstdio>
#include <string>

// Where the tool's own output goes. Results go to out; failures to err. Unless --verbose is
// given, the process's stdout and stderr streams are pointed at /dev/null, so the lower layers'
// trace lines vanish, while out and err keep writing to the original descriptors (where
// sanitizer reports go too).
namespace kivo {

enum class Verbosity { Quiet, Normal, Verbose };

class Console {
public:
    explicit Console(Verbosity verbosity);
    ~Console();
    Console(const Console&) = delete;
    Console& operator=(const Console&) = delete;

    bool quiet() const { return verbosity_ == Verbosity::Quiet; }
    bool verbose() const { return verbosity_ == Verbosity::Verbose; }
    FILE* out() const { return out_; }
    FILE* err() const { return err_; }
    // Standard error is a terminal (and the output is not silenced): draw progress bars.
    bool errIsTerminal() const;
    // Columns of the terminal on standard error; 80 when unknown.
    unsigned width() const;

    void result(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    // A status or progress text; silent with --quiet.
    void info(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    // A failure: "kivo: " and the text.
    void error(const char* fmt, ...) __attribute__((format(printf, 2, 3)));

private:
    Verbosity verbosity_;
    FILE* out_;
    FILE* err_;
};

// Every failure line of the tool starts with this.
constexpr const char* kMessagePrefix = "kivo: ";

// Silences the process's standard output for a scope: the traces of a check that the run
// repeats anyway.
class StdoutMute {
public:
    StdoutMute();
    ~StdoutMute();
    StdoutMute(const StdoutMute&) = delete;
    StdoutMute& operator=(const StdoutMute&) = delete;

private:
    int saved_ = -1;
};

} // namespace kivo
