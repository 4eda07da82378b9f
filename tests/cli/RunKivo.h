#pragma once
// Runs a program as a child process and collects its exit status and output. Every run is
// bounded: a child still running after the limit is killed.
#include "tests/support/BadFiles.h"
#include "tests/support/TempDir.h"

#include <string>
#include <sys/types.h>
#include <vector>

namespace kivotest {

struct RunResult {
    int status = -1;      // exit status; -1 when killed or not started
    std::string out, err; // on a terminal: everything it showed in out
};

struct RunOptions {
    unsigned limitSeconds = 45;
    bool terminal = false; // both output streams on one pseudo-terminal
    uid_t uid = 0;         // non-zero: the child drops to this user (and gid) before exec
    gid_t gid = 0;
    // Sends `signal` to the child once its output shows `signalAfter` (a stop by the user).
    int signal = 0;
    std::string signalAfter;
};

RunResult runProgram(const std::string& program, const std::vector<std::string>& args,
                     const RunOptions& options = RunOptions());

// The kivo binary under test.
RunResult runKivo(const std::vector<std::string>& args, const RunOptions& options = RunOptions());

inline bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// Writes bytes to the named file in dir; answers its path.
inline std::string put(const TempDir& dir, const std::string& name, const std::string& bytes) {
    return badfiles::put(dir.file(name), bytes) ? dir.file(name) : std::string();
}

// Intel HEX text of data at base, in 16-byte records.
inline std::string hexText(unsigned base, const std::vector<uint8_t>& data) {
    std::string text = badfiles::record(4, 0, {uint8_t(base >> 24), uint8_t(base >> 16)});
    for (size_t at = 0; at < data.size(); at += 16)
        text +=
            badfiles::record(0, (base + at) & 0xFFFF,
                             {data.begin() + at, data.begin() + std::min(at + 16, data.size())});
    return text + badfiles::record(1, 0, {});
}

} // namespace kivotest
