#include "cli/Console.h"

#include <cstdarg>
#include <cstdint>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

// The sanitizers' own reports must stay visible while standard error points at /dev/null.
extern "C" void __sanitizer_set_report_fd(void* fd) __attribute__((weak));

namespace kivo {
namespace {

constexpr unsigned kDefaultWidth = 80;

// Points fd at /dev/null and answers a stream on a copy of the original descriptor.
FILE* silence(int fd, int& saved) {
    fflush(fd == STDOUT_FILENO ? stdout : stderr);
    saved = dup(fd);
    int null = open("/dev/null", O_WRONLY);
    if (saved < 0 || null < 0) {
        if (null >= 0) close(null);
        return fd == STDOUT_FILENO ? stdout : stderr;
    }
    dup2(null, fd);
    close(null);
    FILE* f = fdopen(dup(saved), "w");
    return f ? f : (fd == STDOUT_FILENO ? stdout : stderr);
}

void restore(int fd, int saved, FILE* f) {
    if (saved < 0) return;
    fflush(fd == STDOUT_FILENO ? stdout : stderr);
    fclose(f);
    dup2(saved, fd);
    close(saved);
}

} // namespace

Console::Console(Verbosity verbosity) : verbosity_(verbosity), out_(stdout), err_(stderr) {
    if (verbose()) return;
    out_ = silence(STDOUT_FILENO, savedOut_);
    err_ = silence(STDERR_FILENO, savedErr_);
    if (__sanitizer_set_report_fd && err_ != stderr)
        __sanitizer_set_report_fd(reinterpret_cast<void*>(static_cast<intptr_t>(fileno(err_))));
}

Console::~Console() {
    fflush(out_);
    fflush(err_);
    restore(STDOUT_FILENO, savedOut_, out_);
    restore(STDERR_FILENO, savedErr_, err_);
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
