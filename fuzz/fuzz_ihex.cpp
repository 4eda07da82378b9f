// Feeds arbitrary text to the HEX record reader and the HEX loader, and checks that both agree
// on which lines are records and that every record read survives a write and a re-read.
#include "files/FileLoad.h"
#include "files/IHexRecord.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

FILE* openMemory(const uint8_t* data, size_t size) {
    if (size == 0) return fopen("/dev/null", "rb");
    return fmemopen(const_cast<uint8_t*>(data), size, "rb");
}

void checkRoundTrip(const IHexRecord& r) {
    char buf[1024];
    FILE* out = fmemopen(buf, sizeof buf, "w+");
    if (out == nullptr) return;
    if (Write_IHexRecord(r, out) != IHEX_OK) abort();
    rewind(out);
    IHexRecord back;
    if (Read_IHexRecord(&back, out) != IHEX_OK) abort();
    fclose(out);
    if (back.type != (r.type & 0xFF) || back.address != r.address || back.dataLen != r.dataLen ||
        memcmp(back.data, r.data, static_cast<size_t>(r.dataLen)) != 0) {
        abort();
    }
}

// What the loader must conclude from the record reader's results alone.
struct Verdict {
    bool readable = true;  // no invalid record, no stream error
    bool sawEnd = false;
};

Verdict readAllRecords(const uint8_t* data, size_t size) {
    Verdict v;
    FILE* in = openMemory(data, size);
    if (in == nullptr) return v;
    IHexRecord r;
    for (;;) {
        const int rc = Read_IHexRecord(&r, in);
        if (rc == IHEX_ERROR_EOF) break;
        if (rc == IHEX_ERROR_NEWLINE) continue;
        if (rc != IHEX_OK) {
            v.readable = false;
            break;
        }
        if (r.type == IHEX_TYPE_EOF) v.sawEnd = true;
        checkRoundTrip(r);
    }
    fclose(in);
    return v;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const Verdict v = readAllRecords(data, size);

    FILE* in = openMemory(data, size);
    if (in == nullptr) return 0;
    unsigned char* image = nullptr;
    unsigned imageSize = 0, base = 0;
    fflush(stdout);
    const bool ok = readHexStream(in, "fuzz", image, imageSize, base, 0xFF);
    fclose(in);
    if (ok) {
        // A successful load implies every line was a record or blank and the end was marked.
        if (!v.readable || !v.sawEnd || imageSize > HEX_IMAGE_LIMIT) abort();
        volatile unsigned char sink = 0;
        for (unsigned i = 0; i < imageSize; i += 4096) sink = sink ^ image[i];
        if (imageSize > 0) sink = sink ^ image[imageSize - 1];
        delete[] image;
    }
    return 0;
}
