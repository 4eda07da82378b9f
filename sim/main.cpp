// kivo-sim: a simulated generator on a pseudo-terminal, until SIGINT or SIGTERM.
#include "sim/KivoSim.h"

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
    "  --bootloader            start in bootloader mode\n"
    "  --echo                  console echoes what it receives\n"
    "  --baud N                pace the line at N bit/s (0: no pacing)\n"
    "  --page-program-us N     extra time before a page write is acknowledged\n"
    "  --erase-delay-ms N      time until \"cnd 12\" answers\n"
    "  --flash-size N          bootloader flash size in bytes\n"
    "  --chip-id N             product id reported by Get ID\n"
    "  --no-erase              do not offer Erase (0x43)\n"
    "  --no-extended-erase     do not offer Extended Erase (0x44)\n"
    "  --link PATH             symbolic link PATH to the pty\n"
    "  --transcript FILE       write a JSON transcript at exit\n"
    "  --dump DIR              write the received slots and previews as PPM files at exit\n"
    "  --no-reply N | --bad-checksum N | --late N:MS | --cut N:K | --nack-write N\n"
    "  --silence-frames N | --silence-chunks N | --corrupt-flash ADDR\n"
    "  --erase-never | --ignore-isp | --nack-erase | --nack-go\n";

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
    else if (a == "--no-erase")
        o.offerErase = false;
    else if (a == "--no-extended-erase")
        o.offerExtendedErase = false;
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
    unsigned n = 0;
    if (a == "--link")
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
        o.baud = n;
    else if (a == "--page-program-us")
        o.pageProgramUs = n;
    else if (a == "--erase-delay-ms")
        o.eraseDelayMs = n;
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
    Args args;
    if (!parse(argc, argv, args)) {
        fputs(kUsage, stderr);
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
