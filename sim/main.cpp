// kivo-sim: a simulated generator on a pseudo-terminal, until SIGINT or SIGTERM.
#include "sim/KivoSim.h"

#include "KivoVersion.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char kUsage[] =
    "usage: kivo-sim [options]\n"
    "A simulated Kivo generator on a pseudo-terminal; prints the terminal's path,\n"
    "then serves it until SIGINT or SIGTERM.\n"
    "\n"
    "  --bootloader            start in the bootloader instead of the generator\n"
    "  --bootloader-version N  version byte of the bootloader (default 0x22);\n"
    "                          0x30 and above offer Extended Erase instead of Erase\n"
    "  --echo                  the console echoes what it receives\n"
    "  --baud N                line speed the host must set (default 115200), and\n"
    "                          pace both directions at it (default: no pacing)\n"
    "  --flash-size N          bootloader flash size in bytes (default 524288)\n"
    "  --chip-id N             product id reported by Get ID (default 0x414)\n"
    "  --allow RULE            turn a rule of the hardware off; RULE is one of\n"
    "%s"
    "  --link PATH             a symbolic link PATH to the terminal\n"
    "  --transcript FILE       write a JSON transcript at exit\n"
    "  --dump DIR              at exit, write slot-N.ppm and preview-N.ppm (N: slot)\n"
    "  --help, --version\n"
    "\n"
    "Timings (defaults are the hardware's):\n"
    "  --slot-erase-ms N       \"cnd 12\" answers after N ms (8000: the serial flash\n"
    "                          erases a slot in several seconds)\n"
    "  --page-program-us N     flash-write frame acknowledged after N us (700: the\n"
    "                          serial flash's page program time)\n"
    "  --global-erase-ms N     version 2.x Erase, whole flash (40: STM32F1 class)\n"
    "  --mass-erase-ms N       version 3.x mass erase (8000: STM32F4 class, inside\n"
    "                          the 10 s the client waits)\n"
    "  --half-word-us N        version 2.x programming per 16 bits (52: STM32F1\n"
    "                          class, about 6.7 ms a 256-byte chunk)\n"
    "  --word-us N             version 3.x programming per 32 bits (16: STM32F4)\n"
    "\n"
    "Faults (N counts from 1: the N-th of its kind since start):\n"
    "  --no-reply N            the N-th valid request frame gets no reply\n"
    "  --bad-checksum N        the N-th reply frame carries a wrong checksum\n"
    "  --late N:MS             the N-th reply frame comes MS ms late\n"
    "  --cut N:K               the N-th reply frame stops after K bytes\n"
    "  --silence-frames N      no output at all after N answered frames\n"
    "  --nack-write N          the N-th bootloader Write Memory gets a NACK\n"
    "  --silence-chunks N      no output at all after N written chunks\n"
    "  --corrupt-flash ADDR    the byte at flash address ADDR reads back inverted\n"
    "  --erase-never           \"cnd 12\" erases but never answers\n"
    "  --ignore-isp            \"ISP 32 1\" does nothing\n"
    "  --nack-erase            bootloader erases get a NACK\n"
    "  --nack-go               bootloader Go gets a NACK\n";

// The rule names, wrapped under their option.
std::string ruleLines() {
    const std::string indent(26, ' ');
    std::string out, line;
    const std::string names = KivoSim::ruleNames();
    for (size_t i = 0; i <= names.size();) {
        size_t end = std::min(names.find(' ', i), names.size());
        const std::string word = names.substr(i, end - i);
        if (!line.empty() && indent.size() + line.size() + 1 + word.size() > 79)
            out += indent + line + "\n", line.clear();
        line += (line.empty() ? "" : " ") + word;
        i = end + 1;
    }
    return out + indent + line + "\n";
}

void usage(FILE* to) {
    fprintf(to, kUsage, ruleLines().c_str());
}

struct Args {
    KivoSim::Options opt;
    std::string link, transcript, dump;
};

bool number(const char* s, unsigned& v) {
    char* end = nullptr;
    errno = 0;
    unsigned long n = strtoul(s, &end, 0);
    if (!*s || *end || errno || n > 0xFFFFFFFFul) return false;
    v = unsigned(n);
    return true;
}

bool pair(const char* s, unsigned& a, unsigned& b) {
    const char* colon = strchr(s, ':');
    if (!colon) return false;
    std::string first(s, colon);
    return number(first.c_str(), a) && number(colon + 1, b);
}

bool flag(const std::string& a, KivoSim::Options& o) {
    KivoSim::Faults& f = o.faults;
    if (a == "--bootloader")
        o.bootloader = true;
    else if (a == "--echo")
        o.echo = true;
    else if (a == "--erase-never")
        f.eraseNeverConfirmed = true;
    else if (a == "--ignore-isp")
        f.ignoreIsp = true;
    else if (a == "--nack-erase")
        f.nackErase = true;
    else if (a == "--nack-go")
        f.nackGo = true;
    else
        return false;
    return true;
}

bool valued(const std::string& a, const char* v, Args& args) {
    KivoSim::Options& o = args.opt;
    KivoSim::Faults& f = o.faults;
    KivoSim::Timings& t = o.timings;
    unsigned n = 0;
    KivoSim::Rule rule;
    if (a == "--allow") {
        if (!KivoSim::ruleNamed(v, rule)) return false;
        o.relaxed |= rule;
    } else if (a == "--link")
        args.link = v;
    else if (a == "--transcript")
        args.transcript = v;
    else if (a == "--dump")
        args.dump = v;
    else if (a == "--late")
        return pair(v, f.lateReply, f.lateReplyMs);
    else if (a == "--cut")
        return pair(v, f.cutReply, f.cutReplyBytes);
    else if (!number(v, n))
        return false;
    else if (a == "--baud")
        o.baud = o.lineSpeed = n;
    else if (a == "--bootloader-version" && n <= 0xFF)
        o.bootloaderVersion = uint8_t(n);
    else if (a == "--page-program-us")
        t.pageProgramUs = n;
    else if (a == "--slot-erase-ms")
        t.slotEraseMs = n;
    else if (a == "--global-erase-ms")
        t.globalEraseMs = n;
    else if (a == "--mass-erase-ms")
        t.massEraseMs = n;
    else if (a == "--half-word-us")
        t.halfWordProgramUs = n;
    else if (a == "--word-us")
        t.wordProgramUs = n;
    else if (a == "--flash-size")
        o.flashSize = n;
    else if (a == "--chip-id")
        o.chipId = uint16_t(n);
    else if (a == "--no-reply")
        f.noReplyToFrame = n;
    else if (a == "--bad-checksum")
        f.badChecksumReply = n;
    else if (a == "--nack-write")
        f.nackBootWrite = n;
    else if (a == "--silence-frames")
        f.silenceAfterFrames = n;
    else if (a == "--silence-chunks")
        f.silenceAfterChunks = n;
    else if (a == "--corrupt-flash") {
        f.corruptFlash = true;
        f.corruptFlashAddress = n;
    } else
        return false;
    return true;
}

bool parse(int argc, char** argv, Args& args) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (flag(a, args.opt)) continue;
        if (i + 1 >= argc || !valued(a, argv[i + 1], args)) return false;
        ++i;
    }
    return true;
}

bool makeLink(const std::string& link, const std::string& target) {
    struct stat st;
    if (lstat(link.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) unlink(link.c_str());
    if (symlink(target.c_str(), link.c_str()) != 0) {
        perror(link.c_str());
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (!strcmp(argv[i], "--help")) return usage(stdout), 0;
        if (!strcmp(argv[i], "--version")) return printf("kivo-sim %s\n", kivoVersionString()), 0;
    }
    Args args;
    if (!parse(argc, argv, args)) {
        usage(stderr);
        return 2;
    }
    // Block the signals before the server thread starts so that only sigwait sees them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    KivoSim sim(args.opt);
    if (!sim.start()) return 1;
    if (!args.link.empty() && !makeLink(args.link, sim.slavePath())) return 1;
    printf("%s\n", sim.slavePath().c_str());
    fflush(stdout);

    int sig = 0;
    sigwait(&stopSignals, &sig);
    sim.stop();
    int status = 0;
    if (!args.link.empty()) unlink(args.link.c_str());
    if (!args.transcript.empty() && !sim.writeTranscript(args.transcript)) status = 1;
    if (!args.dump.empty() && !sim.dumpPictures(args.dump)) status = 1;
    return status;
}
