#include "cli/Console.h"

#include <cstdarg>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace kivo {
namespace {

constexpr unsigned kDefaultWidth = 80;

// The lower layers print their traces through the stdout and stderr streams; pointing those
// at /dev/null hides the traces while the tool keeps writing to the original streams, and
// anything written to the descriptors themselves (sanitizer reports) stays visible.
FILE* nullStream() {
    return fopen("/dev/null", "w");
}

} // namespace

Console::Console(Verbosity verbosity) : verbosity_(verbosity), out_(stdout), err_(stderr) {
    if (verbose()) return;
    FILE* nullOut = nullStream();
    FILE* nullErr = nullStream();
    if (!nullOut || !nullErr) {
        if (nullOut) fclose(nullOut);
        if (nullErr) fclose(nullErr);
        return;
    }
    fflush(stdout);
    stdout = nullOut;
    stderr = nullErr;
}

Console::~Console() {
    fflush(out_);
    fflush(err_);
    if (stdout != out_) {
        fclose(stdout);
        stdout = out_;
    }
    if (stderr != err_) {
        fclose(stderr);
        stderr = err_;
    }
}

bool Console::errIsTerminal() const {
    return !quiet() && isatty(fileno(err_));
}

unsigned Console::width() const {
    struct winsize ws;
    if (ioctl(fileno(err_), TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
    return kDefaultWidth;
}

void Console::result(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vfprintf(out_, fmt, ap);
    va_end(ap);
    fflush(out_);
}

void Console::info(const char* fmt, ...) {
    if (quiet()) return;
    fflush(stdout);
    va_list ap;
    va_start(ap, fmt);
    vfprintf(err_, fmt, ap);
    va_end(ap);
    fflush(err_);
}

void Console::error(const char* fmt, ...) {
    fflush(stdout);
    fputs(kMessagePrefix, err_);
    va_list ap;
    va_start(ap, fmt);
    vfprintf(err_, fmt, ap);
    va_end(ap);
    fflush(err_);
}

StdoutMute::StdoutMute() {
    fflush(stdout);
    saved_ = dup(STDOUT_FILENO);
    int null = open("/dev/null", O_WRONLY);
    if (null >= 0) {
        dup2(null, STDOUT_FILENO);
        close(null);
    }
}

StdoutMute::~StdoutMute() {
    fflush(stdout);
    if (saved_ >= 0) {
        dup2(saved_, STDOUT_FILENO);
        close(saved_);
    }
}

} // namespace kivo
