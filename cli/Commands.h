#pragma once
#include "cli/Console.h"

#include <string>
#include <vector>

// The command table of the tool: one function per command, each given the parsed command line.
namespace kivo {

enum Option : unsigned {
    OptVerify = 1u << 0, // firmware: read the flash back before Go
    OptBin = 1u << 1,    // hex: write the flat image
    OptLong = 1u << 2,   // ports: the ids that name an adapter for good
    OptFit = 1u << 3,    // pattern: scale the picture to 1920 x 1080
};

struct Invocation {
    std::string command;
    std::vector<std::string> args; // positional arguments after the command
    bool quiet = false;
    bool verbose = false;
    bool help = false;
    bool version = false;
    bool verify = false;
    bool fit = false;
    std::string binOut;
    int workerFd = -1; // set in a worker process of a parallel run: progress records go there
    unsigned options = 0;
    std::string self; // argv[0], to start workers
};

struct Command {
    const char* name;
    const char* synopsis; // the arguments, e.g. "PORT SETTING VALUE"
    const char* summary;
    const char* details;
    unsigned minArgs;
    unsigned maxArgs;
    unsigned options; // Option bits the command accepts
    int (*run)(const Invocation& inv, Console& con);
};

const std::vector<Command>& commands();

// Parses argv into inv; on a usage error answers false with the reason in error.
bool parseCommandLine(int argc, char** argv, Invocation& inv, std::string& error);

int runPorts(const Invocation& inv, Console& con);
int runPing(const Invocation& inv, Console& con);
int runVersions(const Invocation& inv, Console& con);
int runGet(const Invocation& inv, Console& con);
int runSet(const Invocation& inv, Console& con);
int runPattern(const Invocation& inv, Console& con);
int runFirmware(const Invocation& inv, Console& con);
int runHex(const Invocation& inv, Console& con);
int runBrix(const Invocation& inv, Console& con);
int runMd5(const Invocation& inv, Console& con);

} // namespace kivo
