// hex, brix and md5: the data-file commands; none of them talks to a generator.
#include "cli/Cli.h"
#include "cli/Commands.h"

#include "files/BrixFile.h"
#include "files/FileLoad.h"
#include "files/IHexRecord.h"
#include "files/MD5.h"

#include <cerrno>
#include <cstring>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace kivo {
namespace {

constexpr size_t kReadChunk = 64 * 1024;

std::string hexDigest(const unsigned char* digest) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (int i = 0; i < MD5::DIGEST_SIZE; ++i) {
        s += digits[digest[i] >> 4];
        s += digits[digest[i] & 0xF];
    }
    return s;
}

// Records up to and including the end-of-file record (the loader has checked the file).
unsigned countHexRecords(const char* path) {
    FILE* f = fopen(path, "rb");
    if (!f) return 0;
    unsigned count = 0;
    IHexRecord rec;
    while (Read_IHexRecord(&rec, f) == IHEX_OK) {
        ++count;
        if (rec.type == IHEX_TYPE_EOF) break;
    }
    fclose(f);
    return count;
}

// The digest of a whole stream; false with errno set when reading failed.
bool digestStream(FILE* f, std::string& digest) {
    std::unique_ptr<unsigned char[]> buf(new unsigned char[kReadChunk]);
    MD5 md5;
    size_t n;
    while ((n = fread(buf.get(), 1, kReadChunk, f)) > 0)
        md5.addBytes(buf.get(), static_cast<int>(n));
    if (ferror(f)) return false;
    unsigned char d[MD5::DIGEST_SIZE];
    md5.checksum(d);
    digest = hexDigest(d);
    return true;
}

// Names holding a backslash or a line feed are escaped, and the line marked with a leading
// backslash, so that every digest stays on one line.
std::string md5sumLine(const std::string& digest, const std::string& name) {
    std::string escaped;
    bool marked = false;
    for (char c : name) {
        if (c == '\\' || c == '\n') {
            escaped += c == '\\' ? "\\\\" : "\\n";
            marked = true;
        } else {
            escaped += c;
        }
    }
    return (marked ? "\\" : "") + digest + "  " + escaped + "\n";
}

// The system's reason why a file the loader refused cannot be read.
std::string openProblem(const std::string& path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return strerror(errno);
    if (!S_ISREG(st.st_mode)) return "not a regular file";
    if (access(path.c_str(), R_OK) != 0) return strerror(errno);
    return strerror(EIO);
}

bool digestFile(const std::string& name, std::string& digest) {
    if (name == "-") return digestStream(stdin, digest);
    FILE* f = fopen(name.c_str(), "rb");
    if (!f) return false;
    bool ok = digestStream(f, digest);
    int saved = errno;
    fclose(f);
    errno = saved;
    return ok;
}

} // namespace

int runHex(const Invocation& inv, Console& con) {
    const std::string& path = inv.args[0];
    unsigned char* data = nullptr;
    unsigned size = 0, base = 0;
    std::string why;
    if (!readHexFile(path.c_str(), data, size, base, 0, why)) {
        con.error("Couldn't read %s: %s\n", path.c_str(), why.c_str());
        return ExitUsage;
    }
    std::unique_ptr<unsigned char[]> image(data);
    con.result("base    0x%08x\nsize    %u\nrecords %u\n", base, size,
               countHexRecords(path.c_str()));
    errno = 0;
    if (!inv.binOut.empty() && !writeFile(inv.binOut.c_str(), image.get(), size, nullptr)) {
        con.error("Couldn't write %s: %s\n", inv.binOut.c_str(), strerror(errno ? errno : EIO));
        return ExitFailed;
    }
    return ExitOk;
}

int runBrix(const Invocation& inv, Console& con) {
    const std::string& out = inv.args[0];
    const std::string& in = inv.args[1];
    unsigned char* data = nullptr;
    unsigned size = 0;
    if (!readBinFile(in.c_str(), data, size)) {
        con.error("Couldn't read %s: %s\n", in.c_str(), openProblem(in).c_str());
        return ExitUsage;
    }
    std::unique_ptr<unsigned char[]> bytes(data);
    BrixFileHeader header;
    memset(&header, 0, sizeof header);
    if (!writeFile(out.c_str(), bytes.get(), size, &header)) {
        con.error("Couldn't write %s\n", out.c_str());
        return ExitFailed;
    }
    con.result("%s: %u data bytes, md5 %s\n", out.c_str(), size, hexDigest(header.md5).c_str());
    return ExitOk;
}

int runMd5(const Invocation& inv, Console& con) {
    int status = ExitOk;
    for (const std::string& name : inv.args) {
        std::string digest;
        errno = 0;
        if (digestFile(name, digest)) {
            con.result("%s", md5sumLine(digest, name).c_str());
        } else {
            con.error("md5: %s: %s\n", name.c_str(), strerror(errno ? errno : EIO));
            status = ExitUsage;
        }
    }
    return status;
}

} // namespace kivo
