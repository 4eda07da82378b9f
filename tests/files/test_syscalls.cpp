// Short and failing system calls, injected with the linker's --wrap for read, write and close.
#include "files/BrixFile.h"
#include "files/FileLoad.h"

#include "FileTestSupport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <unistd.h>

using filetest::Bytes;

extern "C" {
ssize_t __real_read(int fd, void* buf, size_t n);
ssize_t __real_write(int fd, const void* buf, size_t n);
int __real_close(int fd);
}

namespace {

struct Faults {
    size_t maxChunk = 0; // 0: no limit
    int failAfter = -1;  // calls that succeed before one fails with EIO; -1: never
    bool failClose = false;
    int calls = 0;
};
Faults readFaults, writeFaults;
bool active = false; // set only around the call under test

ssize_t disturbed(Faults& f, size_t& n) {
    if (f.failAfter >= 0 && f.calls++ >= f.failAfter) {
        errno = EIO;
        return -1;
    }
    if (f.maxChunk > 0 && n > f.maxChunk) n = f.maxChunk;
    return 0;
}

struct Reset {
    Reset() { clear(); }
    ~Reset() { clear(); }
    static void clear() {
        readFaults = Faults();
        writeFaults = Faults();
        active = false;
    }
};

} // namespace

extern "C" ssize_t __wrap_read(int fd, void* buf, size_t n) {
    if (active && disturbed(readFaults, n) < 0) return -1;
    return __real_read(fd, buf, n);
}

extern "C" ssize_t __wrap_write(int fd, const void* buf, size_t n) {
    if (active && disturbed(writeFaults, n) < 0) return -1;
    return __real_write(fd, buf, n);
}

extern "C" int __wrap_close(int fd) {
    if (active && writeFaults.failClose) {
        __real_close(fd);
        errno = EIO;
        return -1;
    }
    return __real_close(fd);
}

namespace {

TEST(ReadBinFileSyscalls, ShortReadsAreRepeated) {
    filetest::TempDir dir;
    const Bytes content = filetest::randomBytes(10000, 21);
    filetest::writeText(dir.file("raw"), std::string(content.begin(), content.end()));
    Reset reset;
    readFaults.maxChunk = 7;
    active = true;
    unsigned char* data = nullptr;
    unsigned size = 0;
    const bool ok = readBinFile(dir.file("raw").c_str(), data, size);
    Reset::clear();
    ASSERT_TRUE(ok);
    EXPECT_EQ(Bytes(data, data + size), content);
    delete[] data;
}

TEST(ReadBinFileSyscalls, ReadErrorFailsWithPerror) {
    filetest::TempDir dir;
    filetest::writeText(dir.file("raw"), std::string(5000, 'r'));
    const std::string path = dir.file("raw");
    Reset reset;
    readFaults.maxChunk = 1000;
    readFaults.failAfter = 2;
    active = true;
    unsigned char* data = nullptr;
    unsigned size = 0;
    testing::internal::CaptureStderr();
    const bool ok = readBinFile(path.c_str(), data, size);
    Reset::clear();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_FALSE(ok);
    EXPECT_NE(err.find(path + ": Input/output error"), std::string::npos) << err;
    EXPECT_EQ(data, nullptr);
    EXPECT_EQ(size, 0u);
}

TEST(WriteFileSyscalls, ShortWritesAreRepeated) {
    filetest::TempDir dir;
    const Bytes data = filetest::randomBytes(5000, 22);
    const std::string path = dir.file("out");
    Reset reset;
    writeFaults.maxChunk = 13;
    active = true;
    BrixFileHeader header{};
    const bool ok = writeFile(path.c_str(), data.data(), 5000, &header);
    Reset::clear();
    ASSERT_TRUE(ok);
    const Bytes file = filetest::readAll(path);
    ASSERT_EQ(file.size(), 5032u);
    EXPECT_EQ(Bytes(file.begin() + 32, file.end()), data);
}

TEST(WriteFileSyscalls, FailingWriteOrCloseIsReported) {
    filetest::TempDir dir;
    const Bytes data(3000, 0x42);
    const std::string path = dir.file("out");
    struct Case {
        const char* name;
        int failAfter;
        bool failClose;
    };
    for (const Case c : {Case{"header write", 0, false}, Case{"data after a short write", 2, false},
                         Case{"close", -1, true}}) {
        SCOPED_TRACE(c.name);
        Reset reset;
        writeFaults.maxChunk = 1000;
        writeFaults.failAfter = c.failAfter;
        writeFaults.failClose = c.failClose;
        active = true;
        BrixFileHeader header{};
        testing::internal::CaptureStderr();
        const bool ok = writeFile(path.c_str(), data.data(), 3000, &header);
        Reset::clear();
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_FALSE(ok);
        EXPECT_NE(err.find(path + ": Input/output error"), std::string::npos) << err;
    }
}

} // namespace
