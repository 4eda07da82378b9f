#pragma once
#include <cstdio>
#include <string>

// Where the tool's own output goes. Results go to out; failures to err. With --quiet the
// process's standard output and error are pointed at /dev/null, so the lower layers' traces
// vanish, while out and err keep writing to the original streams.
namespace kivo {

class Console {
public:
    explicit Console(bool quiet);
    ~Console();
    Console(const Console&) = delete;
    Console& operator=(const Console&) = delete;

    bool quiet() const { return quiet_; }
    FILE* out() const { return out_; }
    FILE* err() const { return err_; }
    // Standard error is a terminal (and the output is not silenced): draw progress bars.
    bool errIsTerminal() const;

    void result(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    // A status or progress text; silent with --quiet.
    void info(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    void error(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    // Prefix for every line of err (the port, in a worker of a parallel run).
    void setErrorPrefix(const std::string& prefix) { prefix_ = prefix; }

private:
    bool quiet_;
    FILE* out_;
    FILE* err_;
    int savedOut_ = -1;
    int savedErr_ = -1;
    std::string prefix_;
};

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
