#include "files/FileLoad.h"
#include "files/HexImage.h"
#include "files/IHexRecord.h"

#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstring>
#include <string>
#include <sys/stat.h>

using kivo_hex::ImageBuffer;
using kivo_hex::LineReader;

namespace {

const char LOADER[] = "readHexFile";
constexpr int ADDRESS_BYTES = 2;
constexpr int LINEAR_SHIFT = 16;
constexpr int SEGMENT_SHIFT = 4;

struct HexLoad {
    const char* name;
    const LineReader& lines;
    ImageBuffer image;
    uint32_t upper = 0;
    uint32_t base = 0;
    bool placed = false; // data has been placed: the base is settled
    bool sawEnd = false;
    std::string why;

    HexLoad(const char* n, const LineReader& l, unsigned char fill, size_t sizeHint)
        : name(n), lines(l), image(fill, sizeHint) {}

    bool fail(const char* reason) {
        char buf[160];
        snprintf(buf, sizeof buf, "line %lu: %s", lines.lineNumber(), reason);
        return failWith(buf);
    }
    bool failAt(const char* reason, uint64_t address) {
        char buf[200];
        snprintf(buf, sizeof buf, "line %lu: %s (address 0x%08" PRIx64 ", base 0x%08" PRIx32 ")",
                 lines.lineNumber(), reason, address, base);
        return failWith(buf);
    }
    bool failWith(const char* text) {
        why = text;
        printf("%s: %s: %s\n", LOADER, name, text);
        return false;
    }

    bool data(const IHexRecord& r) {
        const uint64_t target = static_cast<uint64_t>(upper) + r.address;
        if (target < base) return failAt("data lies below the image base", target);
        const uint64_t offset = target - base;
        if (offset + static_cast<uint64_t>(r.dataLen) > HEX_IMAGE_LIMIT) {
            return failAt("image would grow beyond 64 MiB", target);
        }
        if (!image.put(static_cast<uint32_t>(offset), r.data, static_cast<size_t>(r.dataLen))) {
            return fail("out of memory");
        }
        placed = placed || r.dataLen > 0;
        return true;
    }

    bool extendedAddress(const IHexRecord& r, int shift) {
        if (r.dataLen < ADDRESS_BYTES) return fail("extended address record without its address");
        upper = ((static_cast<uint32_t>(r.data[0]) << 8) | r.data[1]) << shift;
        // Once data has been placed the base is settled; a later address only moves where the
        // next records go (a file from address 0 that spans more than 64 KiB).
        if (base == 0 && upper != 0 && !placed) base = upper;
        return true;
    }

    bool apply(const IHexRecord& r) {
        switch (r.type) {
        case IHEX_TYPE_DATA:
            return data(r);
        case IHEX_TYPE_EOF:
            sawEnd = true;
            return true;
        case IHEX_TYPE_EXTENDED_SEGMENT_ADDRESS:
            return extendedAddress(r, SEGMENT_SHIFT);
        case IHEX_TYPE_EXTENDED_LINEAR_ADDRESS:
            return extendedAddress(r, LINEAR_SHIFT);
        default:
            return true;
        }
    }

    // Reads every line; false after a trace naming the first failure.
    bool run(LineReader& reader) {
        if (!image.ok()) return fail("out of memory");
        IHexRecord record;
        for (;;) {
            const char* text = nullptr;
            size_t len = 0;
            const int rc = reader.next(text, len);
            if (rc == IHEX_ERROR_EOF) break;
            if (rc != IHEX_OK) return fail("read error");
            const IHexLineStatus status = parseIHexLine(text, len, &record);
            if (status == IHexLineStatus::Empty) continue;
            if (status != IHexLineStatus::Ok) return fail(ihexStatusText(status));
            if (!apply(record)) return false;
        }
        if (!sawEnd) return fail("no end-of-file record, the file is cut short");
        return true;
    }
};

// Two text characters per data byte: a bound for a contiguous image, a guess otherwise.
size_t expectedImageSize(FILE* in) {
    struct stat st;
    const int fd = fileno(in);
    if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return 0;
    return static_cast<size_t>(st.st_size) / 2;
}

} // namespace

bool readHexStream(FILE* in, const char* name, unsigned char*& data, unsigned int& size,
                   unsigned int& base, unsigned char fill) {
    std::string why;
    return readHexStream(in, name, data, size, base, fill, why);
}

bool readHexStream(FILE* in, const char* name, unsigned char*& data, unsigned int& size,
                   unsigned int& base, unsigned char fill, std::string& why) {
    base = 0;
    if (in == nullptr) return false;
    LineReader reader(in);
    HexLoad load(name ? name : "", reader, fill, expectedImageSize(in));
    if (!load.run(reader)) {
        why = load.why;
        return false;
    }
    unsigned char* exact = load.image.release();
    if (exact == nullptr) {
        load.fail("out of memory");
        why = load.why;
        return false;
    }
    const uint32_t end = load.image.end();
    printf("%s: %d bytes, [0x%08x - 0x%08x]\n", LOADER, static_cast<int>(end), 0u, end);
    data = exact;
    size = end;
    base = load.base;
    return true;
}

bool readHexFile(const char* fileName, unsigned char*& data, unsigned int& size, unsigned int& base,
                 unsigned char fill, std::string& why) {
    base = 0;
    // Only a regular file: opening a FIFO would wait for a writer without end.
    struct stat st;
    if (!fileName || stat(fileName, &st) != 0) {
        why = strerror(fileName ? errno : EINVAL);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        why = "not a regular file";
        return false;
    }
    FILE* in = fopen(fileName, "rb");
    if (in == nullptr) {
        why = strerror(errno);
        return false;
    }
    const bool ok = readHexStream(in, fileName, data, size, base, fill, why);
    fclose(in);
    return ok;
}

bool readHexFile(const char* fileName, unsigned char*& data, unsigned int& size, unsigned int& base,
                 unsigned char fill) {
    std::string why;
    return readHexFile(fileName, data, size, base, fill, why);
}

bool readHexFile(const char* fileName, unsigned char*& data, unsigned int& size,
                 unsigned char fill) {
    unsigned int base = 0;
    return readHexFile(fileName, data, size, base, fill);
}
