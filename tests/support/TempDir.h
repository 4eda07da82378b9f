#pragma once
// A fresh directory under /tmp, removed with everything in it at the end of the scope.
#include <cstdlib>
#include <filesystem>
#include <string>

class TempDir {
public:
    TempDir() {
        char tmpl[] = "/tmp/kivo-test-XXXXXX";
        if (const char* made = mkdtemp(tmpl)) path_ = made;
    }
    ~TempDir() {
        std::error_code ignored;
        if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};
