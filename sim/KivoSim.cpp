#include "sim/KivoSim.h"

#include "sim/SimEngine.h"
#include "sim/SimReport.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <sys/prctl.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

using namespace kivosim;

namespace {
constexpr auto kMaxWait = std::chrono::milliseconds(50); // bounds how long stop() can take
constexpr size_t kRxBacklog = 4096; // beyond this the line "stalls" and the host's writes block
constexpr size_t kReadChunk = 4096;

// Bytes travelling over the simulated line, each finishing at start + (k + 1) * byteTime.
struct LineChunk {
    Bytes bytes;
    size_t pos = 0;
    Clock::time_point start;
    Clock::duration byteTime{};
    Clock::time_point notBefore;
    bool started = false;

    Clock::time_point due(size_t k) const { return start + byteTime * long(k + 1); }
    size_t doneBy(Clock::time_point now) const {
        if (byteTime.count() == 0) return bytes.size();
        if (now < start) return 0;
        return std::min(bytes.size(), size_t((now - start) / byteTime));
    }
};

const struct {
    speed_t code;
    unsigned baud;
} kSpeeds[] = {{B1200, 1200},     {B2400, 2400},     {B4800, 4800},    {B9600, 9600},
               {B19200, 19200},   {B38400, 38400},   {B57600, 57600},  {B115200, 115200},
               {B230400, 230400}, {B460800, 460800}, {B921600, 921600}};

const struct {
    KivoSim::Rule rule;
    const char* name;
} kRules[] = {{KivoSim::LineSpeed, "line-speed"},     {KivoSim::WordWrites, "word-writes"},
              {KivoSim::ErasedFlash, "erased-flash"}, {KivoSim::EraseVersion, "erase-version"},
              {KivoSim::Registers, "registers"},      {KivoSim::Geometry, "geometry"},
              {KivoSim::Console, "console"}};

// The speed the host's end of the line is set to; 0 when unknown.
unsigned lineSpeed(int fd) {
    termios t{};
    if (fd < 0 || tcgetattr(fd, &t) != 0) return 0;
    for (const auto& s : kSpeeds)
        if (s.code == cfgetospeed(&t)) return s.baud;
    return 0;
}

Clock::duration byteTime(unsigned baud, unsigned bits) {
    if (baud == 0) return Clock::duration::zero();
    return std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(double(bits) / baud));
}
} // namespace

struct KivoSim::Impl {
    explicit Impl(const Options& o) : engine(o), baud(o.baud) {}

    mutable std::mutex mu;
    Engine engine;
    const unsigned baud;
    int master = -1;
    int slave = -1; // held open so the master never sees a hang-up between host sessions
    std::string path;
    std::thread thread;
    std::atomic<bool> stopping{false};
    std::atomic<bool> dropped{false};
    std::atomic<uint64_t> bytesOut{0};
    unsigned lastSpeed = 0; // sampled on every round: the host may close (and reset) quickly

    std::deque<LineChunk> rx, tx;
    size_t rxBacklog = 0;
    Clock::time_point rxFree, txFree;

    bool openPty();
    void closeFds();
    void run();
    void receive(Clock::time_point now);
    void process(Clock::time_point now, Clock::time_point& wake);
    bool transmit(Clock::time_point now, Clock::time_point& wake);
};

bool KivoSim::Impl::openPty() {
    master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0) {
        perror("posix_openpt");
        return false;
    }
    char name[128];
    if (grantpt(master) != 0 || unlockpt(master) != 0 ||
        ptsname_r(master, name, sizeof name) != 0) {
        perror("ptsname");
        closeFds();
        return false;
    }
    path = name;
    slave = open(name, O_RDWR | O_NOCTTY);
    termios t{};
    if (slave < 0 || tcgetattr(slave, &t) != 0) {
        perror(name);
        closeFds();
        return false;
    }
    cfmakeraw(&t); // a test may talk to the slave with plain read and write
    tcsetattr(slave, TCSANOW, &t);
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    return true;
}

void KivoSim::Impl::closeFds() {
    if (master >= 0) close(master);
    if (slave >= 0) close(slave);
    master = slave = -1;
}

void KivoSim::Impl::receive(Clock::time_point now) {
    LineChunk c;
    c.bytes.resize(kReadChunk);
    ssize_t n = read(master, c.bytes.data(), c.bytes.size());
    if (n <= 0) return;
    c.bytes.resize(size_t(n));
    const unsigned want = engine.opt.lineSpeed, speed = lineSpeed(slave);
    if (engine.opt.strict(KivoSim::LineSpeed) && speed != want && lastSpeed != want) {
        std::lock_guard<std::mutex> lock(mu);
        engine.noise(c.bytes.size(), speed);
        return;
    }
    const bool boot = engine.inBootloader(); // only the thread changes the mode
    c.byteTime = byteTime(baud, boot ? kBootBits : kGeneratorBits);
    c.start = std::max(rxFree, now);
    rxFree = c.start + c.byteTime * long(n);
    rxBacklog += size_t(n);
    rx.push_back(std::move(c));
}

void KivoSim::Impl::process(Clock::time_point now, Clock::time_point& wake) {
    std::lock_guard<std::mutex> lock(mu);
    while (!rx.empty()) {
        LineChunk& c = rx.front();
        const size_t done = c.doneBy(now);
        for (; c.pos < done; ++c.pos)
            engine.feed(c.bytes[c.pos], c.byteTime.count() ? c.due(c.pos) : now);
        if (c.pos < c.bytes.size()) {
            wake = std::min(wake, c.due(c.pos));
            break;
        }
        rxBacklog -= c.bytes.size();
        rx.pop_front();
    }
    engine.tick(now);
    Clock::time_point t;
    if (engine.nextTimer(t)) wake = std::min(wake, t);
    for (Segment s; engine.takeOutput(s);) {
        LineChunk c;
        c.bytes = std::move(s.bytes);
        c.notBefore = s.notBefore;
        c.byteTime = byteTime(baud, s.bitsPerByte);
        tx.push_back(std::move(c));
    }
}

// Writes what the line has carried by now; false when the pty is full.
bool KivoSim::Impl::transmit(Clock::time_point now, Clock::time_point& wake) {
    while (!tx.empty()) {
        LineChunk& c = tx.front();
        if (!c.started) {
            if (now < c.notBefore) {
                wake = std::min(wake, c.notBefore);
                return true;
            }
            c.start = std::max(c.notBefore, txFree);
            c.started = true;
        }
        const size_t done = c.doneBy(now);
        if (done > c.pos) {
            ssize_t n = write(master, c.bytes.data() + c.pos, done - c.pos);
            if (n < 0) return errno != EAGAIN && errno != EWOULDBLOCK;
            c.pos += size_t(n);
            bytesOut += uint64_t(n);
            if (c.pos < done) return false;
        }
        if (c.pos < c.bytes.size()) {
            wake = std::min(wake, c.due(c.pos));
            return true;
        }
        txFree = c.start + c.byteTime * long(c.bytes.size());
        tx.pop_front();
    }
    return true;
}

void KivoSim::Impl::run() {
    prctl(PR_SET_TIMERSLACK, 1UL); // line pacing needs wake-ups close to the byte times
    bool writable = true;
    while (!stopping) {
        Clock::time_point now = Clock::now();
        Clock::time_point wake = now + kMaxWait;
        lastSpeed = lineSpeed(slave);
        process(now, wake);
        writable = transmit(now, wake);
        pollfd p{master, short((rxBacklog < kRxBacklog ? POLLIN : 0) | (writable ? 0 : POLLOUT)),
                 0};
        const auto left = std::max(wake - Clock::now(), Clock::duration::zero());
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
        timespec ts{time_t(ns / 1000000000), long(ns % 1000000000)};
        if (ppoll(&p, 1, &ts, nullptr) > 0) {
            if (p.revents & POLLIN) receive(Clock::now());
            if (p.revents & (POLLHUP | POLLERR | POLLNVAL))
                std::this_thread::sleep_for(kMaxWait / 10);
        }
    }
}

// ---- public face ----

bool KivoSim::ruleNamed(const std::string& name, Rule& rule) {
    for (const auto& r : kRules)
        if (name == r.name) return rule = r.rule, true;
    return false;
}

const char* KivoSim::ruleNames() {
    static const std::string names = [] {
        std::string out;
        for (const auto& r : kRules) out += std::string(out.empty() ? "" : ", ") + r.name;
        return out;
    }();
    return names.c_str();
}

KivoSim::KivoSim() : KivoSim(Options()) {}
KivoSim::KivoSim(const Options& options) : d(new Impl(options)) {}
KivoSim::~KivoSim() {
    stop();
}

bool KivoSim::start() {
    if (d->thread.joinable() || d->dropped) return false;
    if (!d->openPty()) return false;
    d->engine.setStart(Clock::now());
    d->rxFree = d->txFree = Clock::now();
    d->stopping = false;
    d->thread = std::thread([this] { d->run(); });
    return true;
}

void KivoSim::stop() {
    d->stopping = true;
    if (d->thread.joinable()) d->thread.join();
    d->closeFds();
}

void KivoSim::dropLine() {
    d->dropped = true;
    stop();
}

bool KivoSim::lineDropped() const {
    return d->dropped;
}

std::string KivoSim::slavePath() const {
    return d->path;
}

bool KivoSim::inBootloader() const {
    std::lock_guard<std::mutex> lock(d->mu);
    return d->engine.inBootloader();
}

void KivoSim::setFaults(const Faults& faults) {
    std::lock_guard<std::mutex> lock(d->mu);
    d->engine.setFaults(faults);
}

void KivoSim::setEcho(bool on) {
    std::lock_guard<std::mutex> lock(d->mu);
    d->engine.opt.echo = on;
}

std::vector<uint8_t> KivoSim::slot(int n) const {
    std::lock_guard<std::mutex> lock(d->mu);
    if (n < 0 || n >= kSlots) return {};
    return d->engine.slots[n].data;
}

std::vector<uint8_t> KivoSim::preview(int index) const {
    std::lock_guard<std::mutex> lock(d->mu);
    auto it = d->engine.previews.find(index);
    return it == d->engine.previews.end() ? std::vector<uint8_t>() : it->second.data;
}

std::vector<int> KivoSim::previewIndexes() const {
    std::lock_guard<std::mutex> lock(d->mu);
    std::vector<int> out;
    for (const auto& p : d->engine.previews) out.push_back(p.first);
    return out;
}

int KivoSim::selectedSlot() const {
    std::lock_guard<std::mutex> lock(d->mu);
    return d->engine.selected;
}

bool KivoSim::debugMode() const {
    std::lock_guard<std::mutex> lock(d->mu);
    return d->engine.debug;
}

std::vector<uint8_t> KivoSim::flash() const {
    std::lock_guard<std::mutex> lock(d->mu);
    return d->engine.flash;
}

std::vector<uint8_t> KivoSim::reg(uint16_t code) const {
    std::lock_guard<std::mutex> lock(d->mu);
    auto it = d->engine.regs.find(code & 0x7FFF);
    return it == d->engine.regs.end() ? std::vector<uint8_t>() : it->second;
}

void KivoSim::setReg(uint16_t code, const std::vector<uint8_t>& value) {
    std::lock_guard<std::mutex> lock(d->mu);
    d->engine.regs[code & 0x7FFF] = value;
}

std::vector<std::pair<unsigned, KivoSim::InfoFrame>> KivoSim::infoFrames() const {
    std::lock_guard<std::mutex> lock(d->mu);
    return {d->engine.infoFrames.begin(), d->engine.infoFrames.end()};
}

std::vector<std::string> KivoSim::consoleLines() const {
    std::lock_guard<std::mutex> lock(d->mu);
    return d->engine.lines;
}

std::vector<std::string> KivoSim::violationLog() const {
    std::lock_guard<std::mutex> lock(d->mu);
    return d->engine.violationTexts;
}

KivoSim::Counters KivoSim::counters() const {
    std::lock_guard<std::mutex> lock(d->mu);
    Counters c = d->engine.counters;
    c.bytesOut = d->bytesOut;
    return c;
}

std::string KivoSim::transcriptJson() const {
    std::lock_guard<std::mutex> lock(d->mu);
    return kivosim::transcriptJson(d->engine);
}

bool KivoSim::writeTranscript(const std::string& path) const {
    const std::string json = transcriptJson();
    FILE* f = fopen(path.c_str(), "w");
    if (!f) {
        perror(path.c_str());
        return false;
    }
    const bool ok = fwrite(json.data(), 1, json.size(), f) == json.size();
    return fclose(f) == 0 && ok;
}

bool KivoSim::dumpPictures(const std::string& dir) const {
    std::lock_guard<std::mutex> lock(d->mu);
    return kivosim::dumpPictures(d->engine, dir);
}

std::vector<uint8_t> KivoSim::parseForTest(const uint8_t* data, size_t len, bool bootloader) {
    Options o;
    o.bootloader = bootloader;
    o.timings = Timings::none();
    o.relaxed = LineSpeed;
    o.ispDelayMs = 0;
    o.flashSize = 64 * 1024;
    Engine e(o);
    Clock::time_point t = Clock::now();
    e.setStart(t);
    std::vector<uint8_t> out;
    for (size_t i = 0; i < len; ++i) {
        t += std::chrono::milliseconds(1);
        e.feed(data[i], t);
        e.tick(t);
        for (Segment s; e.takeOutput(s);) out.insert(out.end(), s.bytes.begin(), s.bytes.end());
    }
    return out;
}
