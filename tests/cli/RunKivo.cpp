#include "RunKivo.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <grp.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace kivotest {
namespace {

[[noreturn]] void execChild(const std::string& program, const std::vector<std::string>& args,
                            const RunOptions& o, int out, int err) {
    dup2(out, STDOUT_FILENO);
    dup2(err, STDERR_FILENO);
    int null = open("/dev/null", O_RDONLY);
    dup2(null, STDIN_FILENO);
    for (const std::string& e : o.env) putenv(const_cast<char*>(e.c_str()));
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

bool drain(int& fd, std::string& into) {
    char buf[4096];
    ssize_t n = read(fd, buf, sizeof buf);
    if (n > 0) {
        into.append(buf, size_t(n));
        return true;
    }
    if (n < 0 && errno == EINTR) return true;
    close(fd);
    fd = -1;
    return false;
}

} // namespace

RunResult runProgram(const std::string& program, const std::vector<std::string>& args,
                     const RunOptions& o) {
    RunResult r;
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return r;
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) execChild(program, args, o, out[1], err[1]);
    close(out[1]);
    close(err[1]);
    int fds[2] = {out[0], err[0]};
    std::string* into[2] = {&r.out, &r.err};
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(o.limitSeconds);
    bool killed = false;
    while (fds[0] >= 0 || fds[1] >= 0) {
        if (!killed && std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            killed = true;
        }
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

TempDir::TempDir() {
    char tmpl[] = "/tmp/kivo-cli-XXXXXX";
    dir = mkdtemp(tmpl);
    chmod(dir.c_str(), 0755);
}

TempDir::~TempDir() {
    std::string cmd = "rm -rf '" + dir + "'";
    if (system(cmd.c_str()) != 0) fprintf(stderr, "could not remove %s\n", dir.c_str());
}

std::string TempDir::write(const std::string& name, const std::string& bytes) const {
    std::string p = path(name);
    std::ofstream(p, std::ios::binary) << bytes;
    return p;
}

namespace {

std::string record(unsigned type, unsigned address, const unsigned char* data, unsigned len) {
    char buf[16];
    unsigned sum = len + (address >> 8) + (address & 0xFF) + type;
    snprintf(buf, sizeof buf, ":%02X%04X%02X", len, address & 0xFFFF, type);
    std::string line = buf;
    for (unsigned i = 0; i < len; ++i) {
        snprintf(buf, sizeof buf, "%02X", data[i]);
        line += buf;
        sum += data[i];
    }
    snprintf(buf, sizeof buf, "%02X\r\n", (0x100 - (sum & 0xFF)) & 0xFF);
    return line + buf;
}

} // namespace

std::string hexText(unsigned base, const std::vector<unsigned char>& data) {
    const unsigned char upper[2] = {static_cast<unsigned char>(base >> 24),
                                    static_cast<unsigned char>(base >> 16)};
    std::string text = record(4, 0, upper, 2);
    for (unsigned off = 0; off < data.size(); off += 16) {
        unsigned n = data.size() - off < 16 ? unsigned(data.size() - off) : 16;
        text += record(0, (base + off) & 0xFFFF, data.data() + off, n);
    }
    return text + record(1, 0, nullptr, 0);
}

} // namespace kivotest
