#pragma once

// Entry of the command-line tool: runs one command line and answers the process exit status.
// The kivo executable is only a call of kivoMain; tests may run it in-process.
namespace kivo {

enum ExitStatus : int {
    ExitOk = 0,     // the operation succeeded
    ExitFailed = 1, // the operation failed (generator silent, a step refused, a write failed)
    ExitUsage = 2,  // bad command line or an unusable file; nothing was sent
};

int kivoMain(int argc, char** argv);

} // namespace kivo
