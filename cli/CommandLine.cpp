#include "cli/Commands.h"

#include <cstdlib>
#include <cstring>

namespace kivo {
namespace {

const char* const kWorkerFdOption = "--worker-fd="; // internal: set by a parallel run
const char* const kBinOption = "--bin";

bool startsWith(const std::string& s, const char* prefix) {
    return s.compare(0, strlen(prefix), prefix) == 0;
}

bool parseWorkerFd(const std::string& arg, Invocation& inv) {
    char* end = nullptr;
    long fd = strtol(arg.c_str() + strlen(kWorkerFdOption), &end, 10);
    if (*end != '\0' || fd < 3 || fd > 1024) return false;
    inv.workerFd = static_cast<int>(fd);
    return true;
}

// One option; i moves past a separate option value. False on an unknown or incomplete option.
bool parseOption(int argc, char** argv, int& i, Invocation& inv, std::string& error) {
    std::string arg = argv[i];
    if (arg == "--quiet" || arg == "-q") {
        inv.quiet = true;
    } else if (arg == "--verbose" || arg == "-v") {
        inv.verbose = true;
    } else if (arg == "--help" || arg == "-h") {
        inv.help = true;
    } else if (arg == "--version") {
        inv.version = true;
    } else if (arg == "--verify") {
        inv.verify = true;
        inv.options |= OptVerify;
    } else if (arg == "--fit") {
        inv.fit = true;
        inv.options |= OptFit;
    } else if (arg == "--long") {
        inv.options |= OptLong;
    } else if (arg == kBinOption || startsWith(arg, "--bin=")) {
        if (arg == kBinOption) {
            if (i + 1 >= argc) {
                error = "--bin needs a file name";
                return false;
            }
            inv.binOut = argv[++i];
        } else {
            inv.binOut = arg.substr(strlen("--bin="));
        }
        if (inv.binOut.empty()) {
            error = "--bin needs a file name";
            return false;
        }
        inv.options |= OptBin;
    } else if (startsWith(arg, kWorkerFdOption) && parseWorkerFd(arg, inv)) {
    } else {
        error = "unknown option '" + arg + "'";
        return false;
    }
    return true;
}

} // namespace

bool parseCommandLine(int argc, char** argv, Invocation& inv, std::string& error) {
    inv.self = argc > 0 ? argv[0] : "kivo";
    bool optionsEnd = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (!optionsEnd && arg == "--") {
            optionsEnd = true;
        } else if (!optionsEnd && arg.size() > 1 && arg[0] == '-') {
            if (!parseOption(argc, argv, i, inv, error)) return false;
        } else if (inv.command.empty()) {
            inv.command = arg;
        } else {
            inv.args.push_back(arg);
        }
    }
    return true;
}

} // namespace kivo
