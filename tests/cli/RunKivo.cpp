#include "RunKivo.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

namespace kivotest {
namespace {

[[noreturn]] void execChild(const std::string& program, const std::vector<std::string>& args,
                            const RunOptions& o, int out, int err) {
    if (out >= 0) dup2(out, STDOUT_FILENO);
    if (err >= 0) dup2(err, STDERR_FILENO);
    dup2(open("/dev/null", O_RDONLY), STDIN_FILENO);
    if (o.uid != 0) {
        setgroups(0, nullptr);
        if (setgid(o.gid) != 0 || setuid(o.uid) != 0) _exit(126);
    }
    std::vector<char*> argv = {const_cast<char*>(program.c_str())};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
}

// Reads what is there; closes fd at its end (a terminal's master reports EIO then).
void drain(int& fd, std::string& into) {
    char buf[4096];
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n > 0) into.append(buf, size_t(n));
    if (n > 0 || (n < 0 && errno == EINTR)) return;
    close(fd);
    fd = -1;
}

} // namespace

RunResult runProgram(const std::string& program, const std::vector<std::string>& args,
                     const RunOptions& o) {
    RunResult r;
    int out[2] = {-1, -1}, err[2] = {-1, -1};
    fflush(nullptr);
    pid_t pid = -1;
    if (o.terminal) {
        pid = forkpty(&out[0], nullptr, nullptr, nullptr);
        if (pid == 0) execChild(program, args, o, -1, -1);
    } else if (pipe2(out, O_CLOEXEC) == 0 && pipe2(err, O_CLOEXEC) == 0) {
        pid = fork();
        if (pid == 0) execChild(program, args, o, out[1], err[1]);
        close(out[1]);
        close(err[1]);
    }
    if (pid < 0) return r;
    int fds[2] = {out[0], err[0]};
    std::string* into[2] = {&r.out, &r.err};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(o.limitSeconds);
    bool killed = false, signalled = o.signal == 0;
    while (fds[0] >= 0 || fds[1] >= 0) {
        if (!signalled && (contains(r.out, o.signalAfter) || contains(r.err, o.signalAfter)))
            signalled = kill(pid, o.signal) == 0;
        if (!killed && std::chrono::steady_clock::now() > deadline)
            killed = kill(pid, SIGKILL) == 0;
        pollfd p[2] = {{fds[0], POLLIN, 0}, {fds[1], POLLIN, 0}};
        if (poll(p, 2, 200) <= 0) continue;
        for (int i = 0; i < 2; ++i)
            if (fds[i] >= 0 && p[i].revents) drain(fds[i], *into[i]);
    }
    int st = 0;
    waitpid(pid, &st, 0);
    r.status = WIFEXITED(st) && !killed ? WEXITSTATUS(st) : -1;
    return r;
}

RunResult runKivo(const std::vector<std::string>& args, const RunOptions& options) {
    return runProgram(KIVO_BIN, args, options);
}

} // namespace kivotest
