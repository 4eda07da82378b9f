#pragma once
// Runs a program as a child process and collects its exit status, standard output and standard
// error. Every run is bounded: a child still running after the limit is killed.
#include <string>
#include <sys/types.h>
#include <vector>

namespace kivotest {

struct RunResult {
    int status = -1; // exit status; -1 when killed or not started
    std::string out;
    std::string err;
};

struct RunOptions {
    unsigned limitSeconds = 45;
    uid_t uid = 0; // non-zero: the child drops to this user (and gid) before exec
    gid_t gid = 0;
    std::vector<std::string> env; // extra NAME=VALUE entries
};

RunResult runProgram(const std::string& program, const std::vector<std::string>& args,
                     const RunOptions& options = RunOptions());

// The kivo binary under test.
RunResult runKivo(const std::vector<std::string>& args, const RunOptions& options = RunOptions());

// A scratch directory, removed with its files at destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    std::string path(const std::string& name) const { return dir + "/" + name; }
    std::string write(const std::string& name, const std::string& bytes) const;

private:
    std::string dir;
};

// An Intel HEX file text: an extended linear address record for base, the data in 16-byte
// records, and the end-of-file record.
std::string hexText(unsigned base, const std::vector<unsigned char>& data);

} // namespace kivotest
