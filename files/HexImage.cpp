#include "files/HexImage.h"

#include "files/FileLoad.h"
#include "files/IHexRecord.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <sys/mman.h>

namespace kivo_hex {

namespace {
constexpr size_t READ_CHUNK = 256 * 1024;
constexpr size_t MAX_PIECE = IHEX_LINE_BUFFER - 1;
constexpr size_t INITIAL_IMAGE = 0x10000;
constexpr size_t PAGE = 4096;

// Large images fault in far fewer pages when the kernel may back them with huge pages.
void adviseLargePages(unsigned char* p, size_t len) {
#ifdef MADV_HUGEPAGE
    const uintptr_t begin = (reinterpret_cast<uintptr_t>(p) + PAGE - 1) & ~(PAGE - 1);
    const uintptr_t end = (reinterpret_cast<uintptr_t>(p) + len) & ~(PAGE - 1);
    if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
    (void)p;
    (void)len;
#endif
}
} // namespace

LineReader::LineReader(FILE* in) : in_(in), buf_(static_cast<char*>(malloc(READ_CHUNK))) {}

LineReader::~LineReader() {
    free(buf_);
}

bool LineReader::refill() {
    if (buf_ == nullptr) return false;
    const size_t kept = end_ - begin_;
    if (kept > 0 && begin_ > 0) memmove(buf_, buf_ + begin_, kept);
    begin_ = 0;
    end_ = kept;
    const size_t got = fread(buf_ + end_, 1, READ_CHUNK - end_, in_);
    end_ += got;
    return got > 0;
}

int LineReader::next(const char*& text, size_t& len) {
    for (;;) {
        const size_t avail = end_ - begin_;
        const size_t span = avail < MAX_PIECE ? avail : MAX_PIECE;
        const char* start = buf_ + begin_;
        const char* lf = span ? static_cast<const char*>(memchr(start, '\n', span)) : nullptr;
        const bool whole = lf != nullptr || span == MAX_PIECE;
        if (whole || (avail > 0 && !refill())) {
            len = lf ? static_cast<size_t>(lf - start) + 1 : span;
            text = buf_ + begin_;
            begin_ += len;
            if (lineDone_) ++line_;
            lineDone_ = lf != nullptr;
            return IHEX_OK;
        }
        if (avail == 0 && !refill()) {
            return (buf_ == nullptr || ferror(in_)) ? IHEX_ERROR_FILE : IHEX_ERROR_EOF;
        }
    }
}

ImageBuffer::ImageBuffer(unsigned char fill, size_t sizeHint)
    : fill_(fill), bytes_(nullptr), capacity_(0) {
    size_t want = sizeHint < INITIAL_IMAGE ? INITIAL_IMAGE : sizeHint;
    if (want > HEX_IMAGE_LIMIT) want = HEX_IMAGE_LIMIT;
    allocate(want);
}

ImageBuffer::~ImageBuffer() {
    delete[] bytes_;
}

bool ImageBuffer::allocate(size_t capacity) {
    unsigned char* bigger = new (std::nothrow) unsigned char[capacity];
    if (bigger == nullptr) return false;
    adviseLargePages(bigger, capacity);
    if (end_ > 0) memcpy(bigger, bytes_, end_);
    delete[] bytes_;
    bytes_ = bigger;
    capacity_ = capacity;
    return true;
}

bool ImageBuffer::reserve(size_t need) {
    if (need <= capacity_) return true;
    size_t grown = capacity_ * 2 > need ? capacity_ * 2 : need;
    if (grown > HEX_IMAGE_LIMIT && need <= HEX_IMAGE_LIMIT) grown = HEX_IMAGE_LIMIT;
    return allocate(grown);
}

bool ImageBuffer::put(uint32_t offset, const unsigned char* data, size_t len) {
    if (bytes_ == nullptr) return false;
    const size_t stop = static_cast<size_t>(offset) + len;
    if (!reserve(stop)) return false;
    if (offset > end_) memset(bytes_ + end_, fill_, offset - end_);
    if (len > 0) memcpy(bytes_ + offset, data, len);
    if (stop > end_) end_ = static_cast<uint32_t>(stop);
    return true;
}

unsigned char* ImageBuffer::release() {
    unsigned char* out = nullptr;
    if (capacity_ - end_ <= end_ + INITIAL_IMAGE) {
        out = bytes_; // little enough slack: hand the buffer over without a copy
    } else {
        out = new (std::nothrow) unsigned char[end_];
        if (out == nullptr) return nullptr;
        if (end_ > 0) memcpy(out, bytes_, end_);
        delete[] bytes_;
    }
    bytes_ = nullptr;
    capacity_ = 0;
    return out;
}

} // namespace kivo_hex
