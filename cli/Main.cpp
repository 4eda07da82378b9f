#include "cli/Cli.h"
#include "cli/Commands.h"

#include "KivoVersion.h"

#include <cstring>

namespace kivo {
namespace {

const char* const kPortHelp =
    "PORT is a device path (/dev/ttyUSB0), a product name as 'kivo ports' lists it,\n"
    "or 'sim' for a simulated generator inside the tool.\n";

const char* const kOptionsHelp =
    "Options of every command:\n"
    "  --quiet, -q     print only errors (and the data a query asks for)\n"
    "  --verbose, -v   also print the protocol trace of the lower layers\n"
    "  --help, -h      describe the command\n"
    "  --version       print the version of the tool\n";

const char* const kExitHelp =
    "Exit status: 0 success; 1 the operation failed, also when a port cannot be\n"
    "opened; 2 a usage error or an unusable file (nothing is sent to a generator\n"
    "then); 130 stopped by Ctrl-C, saying in what state the generator is left.\n";

constexpr size_t kHeadWidth = 26;

const Command* findCommand(const std::string& name) {
    for (const Command& c : commands())
        if (name == c.name) return &c;
    return nullptr;
}

void printOverview(FILE* f) {
    fprintf(f, "Usage: kivo [--quiet | --verbose] COMMAND ARGUMENTS...\n\n"
               "Updates and configures Kivo test-pattern generators on serial ports.\n\n"
               "Commands:\n");
    for (const Command& c : commands()) {
        std::string head = std::string(c.name) + " " + c.synopsis;
        // Long heads take a line of their own, so that every line fits 80 columns.
        if (head.size() > kHeadWidth)
            fprintf(f, "  %s\n  %-*s %s\n", head.c_str(), int(kHeadWidth), "", c.summary);
        else
            fprintf(f, "  %-*s %s\n", int(kHeadWidth), head.c_str(), c.summary);
    }
    fprintf(f, "\n%s\n%s\n%sRun 'kivo COMMAND --help' for the details of a command.\n", kPortHelp,
            kOptionsHelp, kExitHelp);
}

void printCommandHelp(FILE* f, const Command& c) {
    fprintf(f, "Usage: kivo %s %s\n\n%s.\n\n%s\n%s\n%s", c.name, c.synopsis, c.summary, c.details,
            kOptionsHelp, kExitHelp);
}

int usageError(Console& con, const std::string& why) {
    con.error("%s\n", why.c_str());
    fprintf(con.err(), "Try 'kivo --help'.\n");
    return ExitUsage;
}

// Checks the argument count and the options against the command's table entry.
bool fitsCommand(const Invocation& inv, const Command& c, std::string& why) {
    if (inv.args.size() < c.minArgs || inv.args.size() > c.maxArgs) {
        why = std::string("usage: kivo ") + c.name + " " + c.synopsis;
        return false;
    }
    if (inv.options & ~c.options) {
        why = std::string("an option given is not one of '") + c.name + "'";
        return false;
    }
    return true;
}

int dispatch(const Invocation& inv, Console& con) {
    if (inv.command.empty()) {
        if (inv.help) {
            printOverview(con.out());
            return ExitOk;
        }
        return usageError(con, "a command is missing");
    }
    const Command* c = findCommand(inv.command);
    if (!c) return usageError(con, "unknown command '" + inv.command + "'");
    if (inv.help) {
        printCommandHelp(con.out(), *c);
        return ExitOk;
    }
    std::string why;
    if (!fitsCommand(inv, *c, why)) return usageError(con, why);
    return c->run(inv, con);
}

} // namespace

int kivoMain(int argc, char** argv) {
    Invocation inv;
    std::string error;
    bool parsed = parseCommandLine(argc, argv, inv, error);
    Console con(inv.verbose ? Verbosity::Verbose
                            : inv.quiet ? Verbosity::Quiet : Verbosity::Normal);
    if (!parsed) return usageError(con, error);
    if (inv.version) {
        con.result("kivo %s\n", kivoVersionString());
        return ExitOk;
    }
    if (inv.command == "help") { // "kivo help [COMMAND]"
        inv.help = true;
        inv.command = inv.args.empty() ? "" : inv.args[0];
    }
    return dispatch(inv, con);
}

} // namespace kivo
