// Flash page writes, slot erase through the console, and bootloader entry.
#include "device/KivoIo.h"

#include "device/LumoReply.h"
#include "files/FileLoad.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

constexpr unsigned RegFlash = 0x7878;
constexpr unsigned FlashHeadLen = 4; // target, page (2), flags
constexpr unsigned PagesPerTarget = 0x10000;
constexpr unsigned char ErasedByte = 0xFF;
constexpr unsigned ProgressEvery = 5;
constexpr std::chrono::microseconds PageGap(1000);
constexpr unsigned BeforeEraseMs = 500;
constexpr unsigned BeforeDebugOffMs = 250;
constexpr unsigned EraseWaitMs = 120000;
constexpr char EraseDone[] = "cnd 12";
constexpr unsigned EraseDoneLen = sizeof EraseDone - 1;

unsigned pagesFor(unsigned len) {
    return len / KivoIo::PageSize + (len % KivoIo::PageSize != 0);
}

// The page at offset, whole: a short last page is copied into pad and filled with erased flash.
const unsigned char* pageAt(const unsigned char* data, unsigned len, unsigned offset,
                            unsigned char (&pad)[KivoIo::PageSize]) {
    if (len - offset >= KivoIo::PageSize) return data + offset;
    std::memset(pad, ErasedByte, sizeof pad);
    std::memcpy(pad, data + offset, len - offset);
    return pad;
}

bool report(KivoProgress* sink, unsigned page, unsigned offset, unsigned len) {
    if (!sink || page % ProgressEvery != 0) return true;
    return sink->progress(offset * 100.0 / len);
}

} // namespace

bool KivoIo::wSpiFlash(unsigned target, unsigned page, unsigned flags, const unsigned char* data) {
    if (!data) return false;
    const unsigned char head[FlashHeadLen] = {
        static_cast<unsigned char>(target), static_cast<unsigned char>(page),
        static_cast<unsigned char>(page >> 8), static_cast<unsigned char>(flags)};
    const iov vec[2] = {{head, FlashHeadLen}, {data, PageSize}};
    Reply body;
    const bool ok = exchange(RegFlash, vec, 2, body);
    pause(PageGap);
    return ok;
}

bool KivoIo::eraseBitmapSlot(unsigned slot, KivoProgress* sink) {
    unsigned char* answer = nullptr;
    unsigned answerLen = 0;
    cmd(answer, answerLen, true, "\r\nDBG %d\r\n", 1);
    delete[] answer;
    cmd(answer, answerLen, true, "fpw 7c %02d\r\n", static_cast<int>(slot));
    delete[] answer;

    bool going = sink ? sink->progress(0.0) : true;
    bool confirmed = false;
    if (going) {
        idlePause(BeforeEraseMs);
        cmd(answer, answerLen, true, "cnd 12\r\n");
        confirmed = answerLen >= EraseDoneLen && std::memcmp(answer, EraseDone, EraseDoneLen) == 0;
        delete[] answer;
        if (sink) going = sink->progress(0.0);
    }
    if (going && !confirmed)
        confirmed = waitForResponse(EraseWaitMs, reinterpret_cast<const unsigned char*>(EraseDone),
                                    EraseDoneLen, sink);
    if (sink) going = sink->progress(100.0);

    idlePause(BeforeDebugOffMs);
    cmd(answer, answerLen, true, "\r\nDBG %d\r\n", 0);
    delete[] answer;
    return confirmed && going;
}

bool KivoIo::loadBitmap(const unsigned char* data, unsigned len, KivoProgress* sink) {
    std::printf("writing image data (%d bytes)\n", len);
    if ((!data && len) || pagesFor(len) > PagesPerTarget) {
        std::printf("Error loading image at byte %d (0x%08x)\n", 0, 0);
        return false; // page numbers would wrap onto the start of the slot
    }
    unsigned char pad[PageSize];
    for (unsigned offset = 0, page = 0; offset < len; offset += PageSize, ++page) {
        const unsigned flags = len - offset <= PageSize ? FlagLastPage : 0;
        if (!wSpiFlash(TargetBitmap, page, flags, pageAt(data, len, offset, pad)) ||
            !report(sink, page, offset, len)) {
            std::printf("Error loading image at byte %d (0x%08x)\n", offset + PageSize,
                        offset + PageSize);
            return false;
        }
    }
    return true;
}

bool KivoIo::loadLcdBitmap(unsigned index, const unsigned char* data, unsigned len,
                           KivoProgress* sink) {
    const uint64_t first = (uint64_t(index) + 1) * PreviewPages;
    if ((!data && len) || first + pagesFor(len) > PagesPerTarget) {
        std::printf("Error loading lcd image at index %d (0x%08x)\n", index, index);
        return false; // page numbers would wrap onto other previews
    }
    unsigned page = static_cast<unsigned>(first);
    unsigned flags = FlagFirstPage;
    unsigned char pad[PageSize];
    for (unsigned offset = 0, k = 0; offset < len; offset += PageSize, ++k, ++page) {
        const bool written = wSpiFlash(TargetPreview, page, flags, pageAt(data, len, offset, pad));
        flags = k == PreviewPages - 2 ? FlagLastPage : 0;
        if (!written || !report(sink, k, offset, len)) {
            std::printf("Error loading lcd image at index %d (0x%08x)\n", page + 1, page + 1);
            return false;
        }
    }
    return true;
}

bool KivoIo::bootloader() {
    unsigned char* answer = nullptr;
    unsigned answerLen = 0;
    cmd(answer, answerLen, true, "\r\nISP 32 1\r\n");
    delete[] answer;
    return true;
}

bool KivoIo::loadData(const char* path, KivoProgress* sink) {
    unsigned char* data = nullptr;
    unsigned size = 0;
    if (!path || !readFile(path, data, size)) return false;
    const bool ok = loadBitmap(data, size, sink);
    delete[] data;
    return ok;
}

bool KivoIo::loadBitmap(const char*, KivoProgress*) {
    return false;
}

bool KivoIo::loadBitmap(unsigned slot, const char* path, KivoProgress* sink) {
    return eraseBitmapSlot(slot, sink) && loadBitmap(path, sink);
}
