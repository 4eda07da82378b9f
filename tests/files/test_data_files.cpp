// MD5, data files, raw loads, the suffix dispatch, the word splitter and the descriptor helpers.
// Short and failing read, write and close calls are injected through the linker's --wrap.
#include "files/BrixFile.h"
#include "files/FileLoad.h"
#include "files/MD5.h"

#include "tests/support/BadFiles.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

using Bytes = std::vector<unsigned char>;

namespace {

// The message in pieces, with calls of no length between them; the object is reused.
Bytes md5(const std::string& msg, size_t piece = SIZE_MAX) {
    static MD5 md5;
    md5.init();
    const auto* p = reinterpret_cast<const unsigned char*>(msg.data());
    for (size_t i = 0; i < msg.size(); i += piece) {
        md5.addBytes(p + i, static_cast<int>(std::min(piece, msg.size() - i)));
        for (int none : {0, -1, INT_MIN}) md5.addBytes(p, none);
    }
    Bytes d(MD5::DIGEST_SIZE);
    md5.checksum(d.data());
    const auto* raw = reinterpret_cast<const unsigned char*>(&md5);
    EXPECT_TRUE(std::all_of(raw, raw + sizeof md5, [](unsigned char b) { return !b; }))
        << "checksum clears every field";
    return d;
}

TEST(Md5, KnownDigestsWholeAndInPieces) {
    const std::pair<std::string, const char*> cases[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        // Around the block boundary: 55 bytes pad within one block, 56 need a second one.
        {std::string(55, 'a'), "ef1772b6dff9a122358552954ad0df65"},
        {std::string(56, 'a'), "3b0c8ac703f828b04c6c197006d17218"},
        {std::string(64, 'a'), "014842d480b571495a4a0363793f7367"},
        {std::string(65, 'a'), "c743a45e0d2e6a95cb859adae0248435"},
    };
    for (const auto& [message, digest] : cases) {
        for (size_t piece : {message.size() + 1, size_t{1}, size_t{3}, size_t{64}, size_t{65}}) {
            std::string hex;
            for (unsigned char v : md5(message, piece))
                hex += {"0123456789abcdef"[v >> 4], "0123456789abcdef"[v & 15]};
            EXPECT_EQ(hex, digest) << message.size() << " bytes by " << piece;
        }
    }
}

enum Target { NONE, READS, WRITES };

// Calls of the target move at most `chunk` bytes (0: no limit); once `after` of them have passed
// (-1: never), `times` calls return `rc` (-1 with `error`, or 0).
struct Faults {
    Target target = NONE;
    size_t chunk = 0;
    int after = -1;
    int rc = -1;
    bool failClose = false;
    int error = EIO, times = INT_MAX;
} faults;
int calls = 0;

bool hit(Target target, size_t& n) {
    if (faults.target != target) return false;
    if (faults.after >= 0 && calls++ >= faults.after && faults.times-- > 0)
        return (errno = faults.error);
    if (faults.chunk > 0 && n > faults.chunk) n = faults.chunk;
    return false;
}

} // namespace

extern "C" {
ssize_t __real_read(int fd, void* buf, size_t n);
ssize_t __real_write(int fd, const void* buf, size_t n);
int __real_close(int fd);
ssize_t __wrap_read(int fd, void* buf, size_t n) {
    return hit(READS, n) ? faults.rc : __real_read(fd, buf, n);
}
ssize_t __wrap_write(int fd, const void* buf, size_t n) {
    return hit(WRITES, n) ? faults.rc : __real_write(fd, buf, n);
}
int __wrap_close(int fd) {
    const int rc = __real_close(fd);
    return faults.failClose ? (errno = EIO, -1) : rc;
}
}

namespace {

// writeFile over a longer file, then readBinFile; a failure names the file and its cause.
TEST(DataFiles, WrittenAndReadBack) {
    TempDir dir;
    const std::string out = dir.file("out");
    const struct {
        const char* name;
        size_t len;
        bool withHeader;
        Faults faults;
        int error = 0;
        std::string path = "";
    } cases[] = {
        {"empty, a new file", 0, false, {}, 0, dir.file("new")},
        {"short writes", 5000, true, {WRITES, 13}},
        {"short reads", 10000, false, {READS, 7}},
        {"missing directory", 10, false, {}, ENOENT, dir.file("no/such/out")},
        {"full disk", 10000, false, {}, ENOSPC, "/dev/full"},
        {"full disk, header", 10, true, {}, ENOSPC, "/dev/full"},
        {"write without progress", 3000, false, {WRITES, 1000, 1, 0}, EIO},
        {"close", 3000, true, {NONE, 0, -1, -1, true}, EIO},
        {"read error", 5000, false, {READS, 1000, 2}, EIO},
        {"interrupted write", 3000, true, {WRITES, 1000, 1, -1, false, EINTR, 1}},
        {"interrupted read", 5000, false, {READS, 1000, 2, -1, false, EINTR, 1}},
        {"file shrinks while read", 5000, false, {READS, 1000, 2, 0}, EIO},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = c.path.empty() ? out : c.path;
        std::ofstream(out) << std::string(20000, 'x');
        const std::string data = badfiles::garbage(c.len);
        BrixFileHeader header;
        memset(&header, 0x5A, sizeof header);
        unsigned char* file = nullptr;
        unsigned size = 0;
        testing::internal::CaptureStderr();
        faults = c.faults;
        calls = 0;
        const auto* bytes = reinterpret_cast<const unsigned char*>(data.data());
        const bool ok = writeFile(path.c_str(), c.len ? bytes : nullptr,
                                  static_cast<unsigned>(c.len), c.withHeader ? &header : nullptr) &&
                        readBinFile(path.c_str(), file, size);
        faults = Faults();
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(ok, c.error == 0);
        EXPECT_TRUE(ok ? err.empty() : err.find(path + ": " + strerror(c.error)) != err.npos)
            << err;
        Bytes want = {'B', 'r', 'i', 'x'}; // then the caller's reserved bytes and the digest
        want.resize(16, 0x5A);
        const Bytes digest = md5(data);
        want.insert(want.end(), digest.begin(), digest.end());
        EXPECT_TRUE(!c.withHeader || memcmp(&header, want.data(), sizeof header) == 0) << "sealed";
        want.resize(c.withHeader ? sizeof header : 0);
        want.insert(want.end(), data.begin(), data.end());
        EXPECT_TRUE(!ok || Bytes(file, file + size) == want);
        delete[] file;
    }
    const mode_t mask = umask(0);
    umask(mask);
    struct stat st; // the new file's mode
    ASSERT_EQ(stat(dir.file("new").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u & ~mask);
}

TEST(ReadFile, HexByItsSuffixInAnyCaseRawOtherwise) {
    TempDir dir;
    const std::string hex = ":0100020009F4\n:00000001FF\n";
    const std::pair<std::string, bool> cases[] = {
        {"a.hex", true}, {"b.HEX", true}, {"d.bin", false}, {"e.hex.bak", false}, {"hex", false}};
    for (const auto& [name, asHex] : cases) {
        std::ofstream(dir.file(name)) << hex;
        unsigned char* data = nullptr;
        unsigned size = 0;
        testing::internal::CaptureStdout();
        EXPECT_TRUE(readFile(dir.file(name).c_str(), data, size)) << name;
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(Bytes(data, data + size),
                  asHex ? Bytes({0, 0, 9}) : Bytes(hex.begin(), hex.end()))
            << name;
        delete[] data;
    }
}

// Words of `text` split with room for `room`, "|" after them for the null slot, then the rest.
std::string split(std::string text, unsigned room, const char* separators = nullptr) {
    char *line = &text[0], *argv[8], **args = argv;
    unsigned argc = room;
    separators ? splitln(args, argc, line, separators) : splitln(args, argc, line);
    std::string out;
    for (unsigned i = 0; i < argc; ++i) out += std::string(argv[i]) + " ";
    return out + (argc < room && argv[argc] == nullptr ? "| " : "") + (line ? line : "(end)");
}

TEST(Splitln, WordsNullSlotAndRemainder) {
    EXPECT_EQ(split("  a\tb  c\n", 8), "a b c | (end)");
    EXPECT_EQ(split("  a\tb  c\n", 2), "a b  c\n");
    EXPECT_EQ(split("x,,y;z", 8, ",;"), "x y z | (end)");
    EXPECT_EQ(split("   ", 1), "| (end)");
}

} // namespace
