// A parallel run: one worker process per port, so that each has its own objects and the lower
// layers' trace lines (printed to the process's standard output) stay apart. The parent
// prefixes every line of a worker with its port, draws the progress of all of them and closes
// with a summary table.
#include "cli/Cli.h"
#include "cli/JobPresenter.h"
#include "cli/JobRun.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

namespace kivo {
namespace {

const char* const kSelfExe = "/proc/self/exe";
constexpr int kWorkerRecordFd = 3;
constexpr unsigned kBarWidth = 20;
constexpr int kPollMs = 200;
constexpr unsigned kWideTerminal = 110; // columns from which a row shows more of its text
constexpr int kWideText = 34;
constexpr int kNarrowText = 24;
constexpr auto kRedrawEvery = std::chrono::milliseconds(100);

enum Channel { ChanOut, ChanErr, ChanRecord, ChanCount };

struct Worker {
    std::string label;
    pid_t pid = -1;
    int fd[ChanCount] = {-1, -1, -1};
    std::string pending[ChanCount];
    ProgressState state;
    PortOutcome outcome;
    bool reported = false;
    int exitStatus = ExitFailed;
    std::chrono::steady_clock::time_point started, ended;
};

// Labels: the port as given, numbered when the same word (several "sim") appears again.
std::vector<std::string> labelsOf(const std::vector<PortTarget>& ports) {
    std::vector<std::string> labels;
    for (size_t i = 0; i < ports.size(); ++i) {
        int same = 0, index = 0;
        for (size_t j = 0; j < ports.size(); ++j)
            if (ports[j].given == ports[i].given) {
                ++same;
                if (j <= i) ++index;
            }
        labels.push_back(same > 1 ? ports[i].given + "#" + std::to_string(index) : ports[i].given);
    }
    return labels;
}

std::vector<std::string> workerArgs(const Invocation& inv, const PortTarget& port) {
    std::vector<std::string> a = {inv.self, "--worker-fd=" + std::to_string(kWorkerRecordFd)};
    if (inv.quiet) a.push_back("--quiet");
    if (inv.verbose) a.push_back("--verbose");
    if (inv.verify) a.push_back("--verify");
    if (inv.fit) a.push_back("--fit");
    a.push_back("--");
    a.push_back(inv.command);
    a.push_back(port.given);
    a.insert(a.end(), inv.args.begin() + 1, inv.args.end());
    return a;
}

[[noreturn]] void execWorker(const std::vector<std::string>& args, const int (&child)[ChanCount]) {
    dup2(child[ChanOut], STDOUT_FILENO);
    dup2(child[ChanErr], STDERR_FILENO);
    dup2(child[ChanRecord], kWorkerRecordFd);
    std::vector<char*> argv;
    for (const std::string& s : args) argv.push_back(const_cast<char*>(s.c_str()));
    argv.push_back(nullptr);
    execv(kSelfExe, argv.data());
    _exit(ExitFailed);
}

bool startWorker(Worker& w, const std::vector<std::string>& args) {
    int child[ChanCount];
    for (int c = 0; c < ChanCount; ++c) {
        int p[2];
        if (pipe2(p, O_CLOEXEC) != 0) return false;
        w.fd[c] = p[0];
        child[c] = p[1];
    }
    fflush(nullptr);
    w.started = std::chrono::steady_clock::now();
    blockStopSignals(true);
    w.pid = fork();
    if (w.pid == 0) execWorker(args, child);
    blockStopSignals(false);
    for (int c = 0; c < ChanCount; ++c) close(child[c]);
    return w.pid > 0;
}

class ParallelRun {
public:
    ParallelRun(Console& con, std::vector<Worker>& workers)
        : con(con), workers(workers), bars(con.errIsTerminal()),
          sharedTerminal(bars && isatty(fileno(con.out()))) {}
    void serve();
    void summary();
    int status() const;

private:
    void readFrom(Worker& w, int c);
    void onLine(Worker& w, int c, std::string line);
    void onRecord(Worker& w, const std::string& rec);
    void erase();
    void draw(bool force);
    void forwardStop();

    Console& con;
    std::vector<Worker>& workers;
    const bool bars;           // progress block at the foot of the terminal
    const bool sharedTerminal; // traces and bars share the terminal
    int drawnLines = 0;
    bool stopForwarded = false;
    bool dirty = true; // a record has changed what the block shows
    std::chrono::steady_clock::time_point lastDraw;
};

void ParallelRun::serve() {
    while (true) {
        std::vector<pollfd> fds;
        std::vector<std::pair<Worker*, int>> owners;
        for (Worker& w : workers)
            for (int c = 0; c < ChanCount; ++c)
                if (w.fd[c] >= 0) {
                    fds.push_back({w.fd[c], POLLIN, 0});
                    owners.push_back({&w, c});
                }
        if (fds.empty()) break;
        if (stopRequested() && !stopForwarded) forwardStop();
        if (poll(fds.data(), fds.size(), kPollMs) < 0 && errno != EINTR) break;
        for (size_t i = 0; i < fds.size(); ++i)
            if (fds[i].revents) readFrom(*owners[i].first, owners[i].second);
        draw(false);
    }
    erase();
}

void ParallelRun::readFrom(Worker& w, int c) {
    char buf[4096];
    ssize_t n = read(w.fd[c], buf, sizeof buf);
    if (n < 0 && errno == EINTR) return;
    if (n <= 0) {
        if (!w.pending[c].empty()) onLine(w, c, w.pending[c]);
        w.pending[c].clear();
        close(w.fd[c]);
        w.fd[c] = -1;
        if (w.fd[ChanOut] < 0 && w.fd[ChanErr] < 0 && w.fd[ChanRecord] < 0)
            w.ended = std::chrono::steady_clock::now();
        return;
    }
    w.pending[c].append(buf, static_cast<size_t>(n));
    size_t nl;
    while ((nl = w.pending[c].find('\n')) != std::string::npos) {
        std::string line = w.pending[c].substr(0, nl);
        w.pending[c].erase(0, nl + 1);
        onLine(w, c, line);
    }
}

void ParallelRun::onLine(Worker& w, int c, std::string line) {
    if (c == ChanRecord) {
        onRecord(w, line);
        return;
    }
    // Echoed console commands end in CR LF and come with empty lines around them.
    line.erase(std::remove(line.begin(), line.end(), '\r'), line.end());
    if (line.empty()) return;
    bool toOut = c == ChanOut;
    if (bars && (!toOut || sharedTerminal)) erase();
    // A worker's message keeps the tool's prefix in front, then names its port.
    const size_t prefix = strlen(kMessagePrefix);
    const bool message = !toOut && line.compare(0, prefix, kMessagePrefix) == 0;
    if (message) line.erase(0, prefix);
    fprintf(toOut ? con.out() : con.err(), "%s%s: %s\n", message ? kMessagePrefix : "",
            w.label.c_str(), line.c_str());
    fflush(toOut ? con.out() : con.err());
    draw(true);
}

void ParallelRun::onRecord(Worker& w, const std::string& rec) {
    dirty = true;
    if (rec.size() < 2) return;
    std::string rest = rec.substr(2);
    if (rec[0] == kRecordStatus) {
        char* end = nullptr;
        uint64_t total = strtoull(rest.c_str(), &end, 10);
        unsigned long limit = strtoul(end, &end, 10);
        std::string text = *end == ' ' ? std::string(end + 1) : std::string();
        w.state.start(text, total, static_cast<unsigned>(limit));
        if (!bars) con.info("%s: %s\n", w.label.c_str(), text.c_str());
    } else if (rec[0] == kRecordNote) {
        if (bars)
            w.state.setText(rest); // the row shows the latest text
        else
            con.info("%s: %s\n", w.label.c_str(), rest.c_str());
    } else if (rec[0] == kRecordProgress) {
        if (w.state.update(atof(rest.c_str())) && !bars && w.state.limit() == 0)
            con.info("%s: %s\n", w.label.c_str(), w.state.line().c_str());
    } else if (rec[0] == kRecordResult) {
        size_t tab = rest.find('\t');
        w.outcome.step = rest.substr(0, tab);
        w.outcome.message = tab == std::string::npos ? "" : rest.substr(tab + 1);
        w.reported = true;
    }
}

// A stop sent to this process alone (SIGTERM) reaches the workers too; a terminal's Ctrl-C has
// reached them already, and a second request changes nothing for them.
void ParallelRun::forwardStop() {
    stopForwarded = true;
    for (Worker& w : workers)
        if (w.pid > 0) kill(w.pid, SIGTERM);
}

void ParallelRun::erase() {
    if (drawnLines > 0) con.info("\033[%dA\033[J", drawnLines);
    drawnLines = 0;
}

void ParallelRun::draw(bool force) {
    if (!bars) return;
    auto now = std::chrono::steady_clock::now();
    if (!force && drawnLines > 0 && (!dirty || now - lastDraw < kRedrawEvery)) return;
    lastDraw = now;
    dirty = false;
    erase();
    const unsigned width = con.width();
    const int textWidth = width >= kWideTerminal ? kWideText : kNarrowText;
    for (const Worker& w : workers) {
        char head[96];
        snprintf(head, sizeof head, "%-16.16s %-*.*s ", w.label.c_str(), textWidth, textWidth,
                 w.state.text().c_str());
        std::string row = head + w.state.bar(kBarWidth);
        // Cut, never wrapped: a wrapped row would throw off the count of lines to redraw.
        if (row.size() >= width) row.resize(width - 1);
        con.info("%s\n", row.c_str());
        ++drawnLines;
    }
}

const char* resultWord(int exitStatus) {
    return exitStatus == ExitOk ? "ok" : exitStatus == ExitInterrupted ? "STOPPED" : "FAILED";
}

void ParallelRun::summary() {
    if (con.quiet()) return;
    // On a terminal a message that would run past the edge goes on a line of its own, whole.
    const bool terminal = isatty(fileno(con.out()));
    const unsigned width = terminal ? con.width() : 0;
    con.result("\n%-16s %-7s %8s  %s\n", "PORT", "RESULT", "TIME", "MESSAGE");
    for (const Worker& w : workers) {
        double secs = std::chrono::duration<double>(w.ended - w.started).count();
        bool ok = w.exitStatus == ExitOk;
        std::string message = w.outcome.message;
        if (!ok && !w.outcome.step.empty() && w.outcome.step != "done")
            message += " (" + w.outcome.step + ")";
        char head[64];
        snprintf(head, sizeof head, "%-16s %-7s %7.1fs  ", w.label.c_str(),
                 resultWord(w.exitStatus), secs);
        if (width && strlen(head) + message.size() >= width)
            con.result("%s\n    %s\n", head, message.c_str());
        else
            con.result("%s%s\n", head, message.c_str());
    }
}

int ParallelRun::status() const {
    int status = ExitOk;
    for (const Worker& w : workers)
        if (w.exitStatus != ExitOk)
            status = w.exitStatus == ExitUsage && status == ExitOk ? ExitUsage : ExitFailed;
    return stopRequested() ? ExitInterrupted : status;
}

void reap(Worker& w) {
    int st = 0;
    while (waitpid(w.pid, &st, 0) < 0 && errno == EINTR) {
    }
    w.exitStatus = WIFEXITED(st) ? WEXITSTATUS(st) : ExitFailed;
    if (WIFSIGNALED(st) && !w.reported)
        w.outcome.message = "worker ended by signal " + std::to_string(WTERMSIG(st));
}

} // namespace

int runParallel(const Invocation& inv, const std::vector<PortTarget>& ports, Console& con) {
    std::vector<std::string> labels = labelsOf(ports);
    std::vector<Worker> workers(ports.size());
    for (size_t i = 0; i < ports.size(); ++i) {
        workers[i].label = labels[i];
        if (!startWorker(workers[i], workerArgs(inv, ports[i]))) {
            con.error("Couldn't start a worker for %s: %s\n", labels[i].c_str(), strerror(errno));
            workers[i].outcome.message = "not started";
        }
    }
    ParallelRun run(con, workers);
    run.serve();
    for (Worker& w : workers)
        if (w.pid > 0) reap(w);
    run.summary();
    return run.status();
}

} // namespace kivo
