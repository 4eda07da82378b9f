// Data-file layer speed: HEX loading against srec_cat and objcopy, MD5 against libcrypto.
// Run by hand: bench_files [repetitions] [hex|md5]
#include "files/FileLoad.h"
#include "files/IHexRecord.h"
#include "files/MD5.h"

#include <openssl/evp.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <string>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr uint32_t IMAGE_BASE = 0x08000000;
constexpr size_t IMAGE_SIZE = 16u << 20;
constexpr int RECORD_LEN = 16;
constexpr size_t MD5_TOTAL = 512u << 20;
constexpr size_t MD5_CHUNK = 16u << 10;
constexpr double HEX_VS_SREC_GOAL = 10.0;
constexpr double HEX_VS_OBJCOPY_GOAL = 2.0;
constexpr double MD5_GOAL = 0.9;
constexpr double MB = 1e6;

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<unsigned char>;

// CPU time (user + system) of this process and its waited-for children: on a busy machine it
// varies far less than wall-clock time.
double cpuSeconds() {
    double total = 0;
    for (int who : {RUSAGE_SELF, RUSAGE_CHILDREN}) {
        struct rusage u;
        getrusage(who, &u);
        total += static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
                 static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1e-6;
    }
    return total;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

struct Timing {
    std::vector<double> wall, cpu;
    bool ok = true;
};

// Runs the candidates in turn, reps times, so that a change in the machine's load hits all.
std::vector<Timing> interleave(const std::vector<std::function<bool()>>& runs, int reps) {
    std::vector<Timing> out(runs.size());
    for (int r = 0; r < reps; ++r) {
        for (size_t i = 0; i < runs.size(); ++i) {
            const double cpu0 = cpuSeconds();
            const auto wall0 = Clock::now();
            out[i].ok = runs[i]() && out[i].ok;
            out[i].wall.push_back(std::chrono::duration<double>(Clock::now() - wall0).count());
            out[i].cpu.push_back(cpuSeconds() - cpu0);
        }
    }
    return out;
}

void header() {
    printf("%-26s %10s %10s %7s  %-7s %s\n", "", "wall MB/s", "CPU MB/s", "ratio", "goal",
           "result");
}

void rowSpeed(const char* what, double megabytes, const Timing& t) {
    printf("%-26s %10.1f %10.1f\n", what, megabytes / median(t.wall), megabytes / median(t.cpu));
}

bool rowGoal(const char* what, double ratio, const char* goal, double wanted) {
    const bool met = ratio >= wanted;
    printf("%-26s %10s %10s %7.2f  %-7s %s\n", what, "", "", ratio, goal, met ? "met" : "MISSED");
    return met;
}

Bytes pseudoRandom(size_t n, uint64_t seed) {
    Bytes v(n);
    for (size_t i = 0; i + 8 <= n; i += 8) {
        seed ^= seed << 13;
        seed ^= seed >> 7;
        seed ^= seed << 17;
        memcpy(&v[i], &seed, 8);
    }
    return v;
}

bool writeHex(const std::string& path, const Bytes& image) {
    FILE* out = fopen(path.c_str(), "wb");
    if (!out) return false;
    IHexRecord r;
    bool ok = true;
    for (size_t i = 0; ok && i < image.size(); i += RECORD_LEN) {
        const uint32_t addr = IMAGE_BASE + static_cast<uint32_t>(i);
        if ((addr & 0xFFFF) == 0) {
            unsigned char upper[2] = {static_cast<unsigned char>(addr >> 24),
                                      static_cast<unsigned char>(addr >> 16)};
            New_IHexRecord(IHEX_TYPE_EXTENDED_LINEAR_ADDRESS, 0, upper, 2, &r);
            ok = Write_IHexRecord(r, out) == 0;
        }
        New_IHexRecord(IHEX_TYPE_DATA, static_cast<unsigned short>(addr),
                       const_cast<unsigned char*>(&image[i]), RECORD_LEN, &r);
        ok = ok && Write_IHexRecord(r, out) == 0;
    }
    New_IHexRecord(IHEX_TYPE_EOF, 0, nullptr, 0, &r);
    ok = ok && Write_IHexRecord(r, out) == 0;
    return fclose(out) == 0 && ok;
}

Bytes slurp(const std::string& path) {
    Bytes v;
    FILE* in = fopen(path.c_str(), "rb");
    if (!in) return v;
    unsigned char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, in)) > 0) v.insert(v.end(), buf, buf + n);
    fclose(in);
    return v;
}

// readHexFile prints a summary per load; keep it out of the table.
bool loadQuietly(const std::string& path, const Bytes& expect) {
    fflush(stdout);
    const int saved = dup(1);
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    close(null);
    unsigned char* data = nullptr;
    unsigned size = 0, base = 0;
    bool ok = readHexFile(path.c_str(), data, size, base, 0);
    fflush(stdout);
    dup2(saved, 1);
    close(saved);
    ok =
        ok && base == IMAGE_BASE && size == expect.size() && memcmp(data, expect.data(), size) == 0;
    delete[] data;
    return ok;
}

bool runTool(const std::string& cmd, const std::string& out, const Bytes& expect) {
    return std::system(cmd.c_str()) == 0 && slurp(out) == expect;
}

int benchHex(const std::string& dir, int reps) {
    const Bytes image = pseudoRandom(IMAGE_SIZE, 0x1234567);
    const std::string hex = dir + "/image.hex", bin = dir + "/image.bin";
    if (!writeHex(hex, image)) return fprintf(stderr, "cannot write %s\n", hex.c_str()), 1;
    const double textMB = static_cast<double>(slurp(hex).size()) / MB;
    char offset[32];
    snprintf(offset, sizeof offset, "-0x%08X", IMAGE_BASE);
    const std::string srec = std::string("'") + SREC_CAT + "' '" + hex + "' -intel -offset " +
                             offset + " -o '" + bin + "' -binary";
    const std::string objcopy =
        std::string("'") + OBJCOPY + "' -I ihex -O binary '" + hex + "' '" + bin + "'";

    const auto t = interleave({[&] { return loadQuietly(hex, image); },
                               [&] { return runTool(srec, bin, image); },
                               [&] { return runTool(objcopy, bin, image); }},
                              reps);
    printf("HEX file of %.1f MB for a %zu MiB image; median of %d runs, ratios of CPU time\n",
           textMB, IMAGE_SIZE >> 20, reps);
    header();
    rowSpeed("readHexFile", textMB, t[0]);
    rowSpeed("srec_cat -binary", textMB, t[1]);
    rowSpeed("objcopy -O binary", textMB, t[2]);
    bool met = rowGoal("readHexFile vs srec_cat", median(t[1].cpu) / median(t[0].cpu), ">= 10x",
                       HEX_VS_SREC_GOAL);
    met &= rowGoal("readHexFile vs objcopy", median(t[2].cpu) / median(t[0].cpu), ">= 2x",
                   HEX_VS_OBJCOPY_GOAL);
    if (!t[0].ok || !t[1].ok || !t[2].ok) {
        fprintf(stderr, "image mismatch: readHexFile %d srec_cat %d objcopy %d\n", t[0].ok, t[1].ok,
                t[2].ok);
        return 1;
    }
    return met ? 0 : 2;
}

bool ourMd5(const Bytes& data, unsigned char* digest) {
    MD5 md5;
    for (size_t i = 0; i < data.size(); i += MD5_CHUNK) {
        md5.addBytes(&data[i], static_cast<int>(std::min(MD5_CHUNK, data.size() - i)));
    }
    md5.checksum(digest);
    return true;
}

bool libMd5(const Bytes& data, unsigned char* digest) {
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    bool ok = ctx && EVP_DigestInit_ex(ctx, EVP_md5(), nullptr) == 1;
    for (size_t i = 0; ok && i < data.size(); i += MD5_CHUNK) {
        ok = EVP_DigestUpdate(ctx, &data[i], std::min(MD5_CHUNK, data.size() - i)) == 1;
    }
    unsigned len = 0;
    ok = ok && EVP_DigestFinal_ex(ctx, digest, &len) == 1;
    EVP_MD_CTX_free(ctx);
    return ok;
}

int benchMd5(int reps) {
    const Bytes data = pseudoRandom(MD5_TOTAL, 0xC0FFEE);
    unsigned char a[16], b[16];
    const auto t =
        interleave({[&] { return ourMd5(data, a); }, [&] { return libMd5(data, b); }}, reps);
    const double total = static_cast<double>(MD5_TOTAL) / MB;
    printf("\nMD5 over %zu MiB in memory, %zu KiB per call; median of %d runs, ratio of CPU time\n",
           MD5_TOTAL >> 20, MD5_CHUNK >> 10, reps);
    header();
    rowSpeed("MD5 (libcrypto)", total, t[1]);
    rowSpeed("MD5 (ours)", total, t[0]);
    const bool met =
        rowGoal("MD5 ours / libcrypto", median(t[1].cpu) / median(t[0].cpu), ">= 0.9", MD5_GOAL);
    if (!t[0].ok || !t[1].ok || memcmp(a, b, sizeof a) != 0) {
        fprintf(stderr, "digest mismatch\n");
        return 1;
    }
    return met ? 0 : 2;
}

} // namespace

int main(int argc, char** argv) {
    const int reps = argc > 1 ? std::max(1, atoi(argv[1])) : 5;
    const std::string only = argc > 2 ? argv[2] : "";
    char tmpl[] = "/tmp/bench-files-XXXXXX";
    if (!mkdtemp(tmpl)) return perror("mkdtemp"), 1;
    const std::string dir = tmpl;
    int rc = 0;
    if (only != "md5") rc |= benchHex(dir, reps);
    if (only != "hex") rc |= benchMd5(reps);
    const std::string cleanup = "rm -rf '" + dir + "'";
    if (std::system(cleanup.c_str()) != 0) fprintf(stderr, "could not remove %s\n", dir.c_str());
    return rc;
}
