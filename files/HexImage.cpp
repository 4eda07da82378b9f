#include "files/HexImage.h"

#include "files/FileLoad.h"
#include "files/IHexRecord.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace kivo_hex {

namespace {
constexpr size_t READ_CHUNK = 256 * 1024;
constexpr size_t MAX_PIECE = IHEX_LINE_BUFFER - 1;
constexpr size_t INITIAL_IMAGE = 0x10000;
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

ImageBuffer::ImageBuffer(unsigned char fill)
    : fill_(fill), bytes_(static_cast<unsigned char*>(malloc(INITIAL_IMAGE))),
      capacity_(bytes_ ? INITIAL_IMAGE : 0) {
    if (bytes_) memset(bytes_, fill_, capacity_);
}

ImageBuffer::~ImageBuffer() {
    free(bytes_);
}

bool ImageBuffer::reserve(size_t need) {
    if (need <= capacity_) return true;
    size_t grown = capacity_ * 2 > need ? capacity_ * 2 : need;
    if (grown > HEX_IMAGE_LIMIT && need <= HEX_IMAGE_LIMIT) grown = HEX_IMAGE_LIMIT;
    void* bigger = realloc(bytes_, grown);
    if (bigger == nullptr) return false;
    bytes_ = static_cast<unsigned char*>(bigger);
    memset(bytes_ + capacity_, fill_, grown - capacity_);
    capacity_ = grown;
    return true;
}

bool ImageBuffer::put(uint32_t offset, const unsigned char* data, size_t len) {
    const size_t stop = static_cast<size_t>(offset) + len;
    if (!reserve(stop)) return false;
    if (len > 0) memcpy(bytes_ + offset, data, len);
    if (stop > end_) end_ = static_cast<uint32_t>(stop);
    return true;
}

unsigned char* ImageBuffer::release() {
    unsigned char* exact = new (std::nothrow) unsigned char[end_];
    if (exact != nullptr && end_ > 0) memcpy(exact, bytes_, end_);
    return exact;
}

} // namespace kivo_hex
