#include "serial/SIoRfc2217.h"
#include "serial/internal/SIoUnixState.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {
constexpr unsigned char IAC = 255, DONT = 254, DO = 253, WONT = 252, WILL = 251, SB = 250,
                        SE = 240;
enum Option : unsigned char { Binary = 0, SuppressGoAhead = 3, ComPort = 44 };
const unsigned char kOptions[] = {Binary, SuppressGoAhead, ComPort};
constexpr unsigned kOptionCount = sizeof kOptions;

// COM-PORT-OPTION commands of the client; the server answers each with its code plus 100.
enum Command : unsigned char { SetBaudrate = 1, SetDatasize, SetParity, SetStopsize };
constexpr unsigned char PurgeData = 12;
constexpr unsigned char kServerCode = 100;
constexpr unsigned char kPurgeReceived = 1; // what the server holds from the device for us
const char* const kCommandNames[] = {"", "SET-BAUDRATE", "SET-DATASIZE", "SET-PARITY",
                                     "SET-STOPSIZE"};
constexpr unsigned kLineCommands = SetStopsize + 1;
const unsigned kRates[] = {9600, 19200, 38400, 115200};
constexpr unsigned char kParityNone = 1, kParityOdd = 2, kParityEven = 3;
constexpr size_t kSubCap = 64; // longer subnegotiations are cut; none of ours is near it

unsigned char parityValue(SerialIo::Parity p) {
    return p == SerialIo::ParityEven ? kParityEven : p == SerialIo::ParityOdd ? kParityOdd
                                                                               : kParityNone;
}

void appendEscaped(std::vector<unsigned char>& out, const unsigned char* data, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        out.push_back(data[i]);
        if (data[i] == IAC) out.push_back(IAC);
    }
}

std::vector<unsigned char> bigEndian(unsigned value, unsigned bytes) {
    std::vector<unsigned char> v;
    for (unsigned i = bytes; i-- > 0;) v.push_back(static_cast<unsigned char>(value >> (8 * i)));
    return v;
}

unsigned valueOf(const std::vector<unsigned char>& bytes) {
    unsigned v = 0;
    for (unsigned char b : bytes) v = v << 8 | b;
    return v;
}
} // namespace

// One side of an option: ours (WILL/WONT) or the server's (DO/DONT).
enum class Side { No, Asked, Yes, Refused };

struct SIoRfc2217::Telnet {
    enum State { Data, Iac, Verb, Sub, SubIac } state = Data;
    unsigned char verb = 0;
    std::vector<unsigned char> sub, data, replies;
    Side us[kOptionCount] = {}, him[kOptionCount] = {};
    bool answered[kLineCommands] = {};
    std::vector<unsigned char> answer[kLineCommands];

    // The state of a supported option, null for any other. A server that offers its own side
    // of COM-PORT-OPTION is agreed with: nothing is sent or awaited for it.
    Side* side(bool ours, unsigned char option) {
        for (unsigned i = 0; i < kOptionCount; ++i)
            if (kOptions[i] == option) return ours ? &us[i] : &him[i];
        return nullptr;
    }

    void reply(unsigned char v, unsigned char option) {
        replies.insert(replies.end(), {IAC, v, option});
    }

    // Answers a request only when it changes the state, so two parties never loop.
    void onOption(unsigned char option) {
        const bool ours = verb == DO || verb == DONT;
        const bool enable = verb == DO || verb == WILL;
        Side* s = side(ours, option);
        if (!s) {
            if (enable) reply(ours ? WONT : DONT, option);
        } else if (enable) {
            if (*s != Side::Asked && *s != Side::Yes) reply(ours ? WILL : DO, option);
            *s = Side::Yes;
        } else {
            if (*s == Side::Yes) reply(ours ? WONT : DONT, option);
            *s = *s == Side::Asked ? Side::Refused : Side::No;
        }
    }

    // Keeps the answers to the line settings; line and modem state notifications and the
    // purge answer need nothing.
    void onSub() {
        if (sub.size() < 2 || sub[0] != ComPort) return;
        const unsigned code = sub[1];
        if (code <= kServerCode || code >= kServerCode + kLineCommands) return;
        answered[code - kServerCode] = true;
        answer[code - kServerCode].assign(sub.begin() + 2, sub.end());
    }

    void feed(unsigned char c) {
        switch (state) {
        case Data:
            if (c == IAC) state = Iac;
            else data.push_back(c);
            break;
        case Iac:
            state = Data;
            if (c == IAC) data.push_back(IAC);
            else if (c >= WILL && c <= DONT) verb = c, state = Verb;
            else if (c == SB) sub.clear(), state = Sub;
            break; // any other command (NOP, GA, ...) carries nothing for us
        case Verb:
            onOption(c);
            state = Data;
            break;
        case Sub:
            if (c == IAC) state = SubIac;
            else if (sub.size() < kSubCap) sub.push_back(c);
            break;
        case SubIac:
            state = c == IAC ? Sub : Data;
            if (c == IAC && sub.size() < kSubCap) sub.push_back(IAC);
            if (c == SE) onSub(); // a malformed end drops the subnegotiation
            break;
        }
    }
};

SIoRfc2217::SIoRfc2217() : t_(new Telnet) {}

SIoRfc2217::~SIoRfc2217() {
    delete t_;
}

void SIoRfc2217::take(const unsigned char* raw, unsigned n) {
    for (unsigned i = 0; i < n; ++i) t_->feed(raw[i]);
    if (!t_->data.empty()) deliver(t_->data.data(), static_cast<unsigned>(t_->data.size()));
    t_->data.clear();
    if (!t_->replies.empty()) sendRaw(t_->replies.data(), static_cast<unsigned>(t_->replies.size()));
    t_->replies.clear();
}

bool SIoRfc2217::initialize(const char* dev, Baudrate baud, unsigned bits, Parity parity,
                            unsigned stop) {
    std::string hostPort;
    if (!stripPrefix(dev, kPrefix, hostPort)) hostPort = dev ? dev : "";
    *t_ = Telnet();
    const bool connected = SIoTcp::initialize(hostPort.c_str(), baud, bits, parity, stop);
    setAddress(kPrefix + hostPort);
    return connected && negotiate() && setLine();
}

bool SIoRfc2217::failOpen(const std::string& why) {
    if (!lost()) fprintf(stderr, "%s: %s\n", devName(), why.c_str());
    restoreAndClose(state());
    return false;
}

bool SIoRfc2217::awaitServer(const std::function<bool()>& done) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(confirmMs_);
    while (!done()) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0 || pump(static_cast<unsigned>(left)) < 0) return false;
    }
    return true;
}

bool SIoRfc2217::negotiate() {
    for (unsigned i = 0; i < kOptionCount; ++i) t_->us[i] = Side::Asked;
    *t_->side(false, Binary) = *t_->side(false, SuppressGoAhead) = Side::Asked;
    const unsigned char ask[] = {IAC, WILL, Binary,          IAC, DO,   Binary,
                                 IAC, WILL, SuppressGoAhead, IAC, DO,   SuppressGoAhead,
                                 IAC, WILL, ComPort};
    Side& comPort = *t_->side(true, ComPort);
    const bool answered = sendRaw(ask, sizeof ask) && awaitServer([&comPort] {
        return comPort == Side::Yes || comPort == Side::Refused;
    });
    if (!answered)
        return failOpen("the server did not answer the COM-PORT-OPTION within " +
                        std::to_string(confirmMs_) + " ms");
    if (comPort == Side::Refused)
        return failOpen("the server refused the COM-PORT-OPTION, so it cannot set the line");
    return true;
}

bool SIoRfc2217::setLine() {
    const SIoUnixState& s = state();
    const unsigned index = static_cast<unsigned>(s.baud);
    const unsigned rate = index < sizeof kRates / sizeof kRates[0] ? kRates[index] : 0;
    const std::vector<unsigned char> values[kLineCommands] = {
        {}, bigEndian(rate, 4), {static_cast<unsigned char>(s.bits)},
        {parityValue(s.parity)}, {static_cast<unsigned char>(s.stop)}};
    std::vector<unsigned char> out;
    for (unsigned c = SetBaudrate; c < kLineCommands; ++c) {
        out.insert(out.end(), {IAC, SB, ComPort, static_cast<unsigned char>(c)});
        appendEscaped(out, values[c].data(), values[c].size());
        out.insert(out.end(), {IAC, SE});
    }
    Telnet& t = *t_;
    if (!sendRaw(out.data(), static_cast<unsigned>(out.size()))) return failOpen("");
    awaitServer([&t] {
        for (unsigned c = SetBaudrate; c < kLineCommands; ++c)
            if (!t.answered[c]) return false;
        return true;
    });
    for (unsigned c = SetBaudrate; c < kLineCommands; ++c) {
        const std::string asked = std::string(kCommandNames[c]) + " " +
                                  std::to_string(valueOf(values[c]));
        if (!t.answered[c])
            return failOpen("the server did not confirm " + asked + " within " +
                            std::to_string(confirmMs_) + " ms");
        if (t.answer[c] != values[c])
            return failOpen("the server answered " + asked + " with " +
                            std::to_string(valueOf(t.answer[c])));
    }
    return true;
}

int SIoRfc2217::write(const unsigned char* buf, unsigned n) {
    if (n == 0 || !memchr(buf, IAC, n)) return SIoTcp::write(buf, n);
    std::vector<unsigned char> out;
    out.reserve(n + n / 4);
    appendEscaped(out, buf, n);
    return sendRaw(out.data(), static_cast<unsigned>(out.size())) ? static_cast<int>(n) : -1;
}

// The server drops what it holds from the device, then the line must fall quiet here too.
bool SIoRfc2217::flush(unsigned timeoutMs) {
    const unsigned char purge[] = {IAC, SB, ComPort, PurgeData, kPurgeReceived, IAC, SE};
    sendRaw(purge, sizeof purge);
    return SIoTcp::flush(timeoutMs);
}

// Here rather than beside PlatformSIo, so that a test that wraps PlatformSIo at link time sees
// the device streams made through this factory too.
SerialIo* SerialIo::ForPort(const char* name) {
    std::string rest;
    if (SIoTcp::stripPrefix(name, SIoRfc2217::kPrefix, rest)) return new SIoRfc2217();
    if (SIoTcp::stripPrefix(name, SIoTcp::kPrefix, rest)) return new SIoTcp();
    return PlatformSIo();
}
