#pragma once
// Internal pieces of the HEX loader: the line splitter over a stream and the growing image.

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace kivo_hex {

// Hands out the stream in the pieces Read_IHexRecord's line reader would take: up to and
// including a line feed, at most IHEX_LINE_BUFFER - 1 characters.
class LineReader {
public:
    explicit LineReader(FILE* in);
    ~LineReader();
    LineReader(const LineReader&) = delete;
    LineReader& operator=(const LineReader&) = delete;

    // IHEX_OK with a piece, IHEX_ERROR_EOF at the end, IHEX_ERROR_FILE on a stream error.
    int next(const char*& text, size_t& len);
    // Number of the line the last piece belongs to, counting from 1.
    unsigned long lineNumber() const { return line_; }

private:
    bool refill();

    FILE* in_;
    char* buf_;
    size_t begin_ = 0, end_ = 0;
    unsigned long line_ = 0;
    bool lineDone_ = true;
};

// The working image: grows geometrically as far as a record needs. Bytes are set to fill
// only when the image end passes them, so reserved but unused capacity is never touched.
class ImageBuffer {
public:
    // sizeHint: the expected image size (0 when unknown).
    ImageBuffer(unsigned char fill, size_t sizeHint);
    ~ImageBuffer();
    ImageBuffer(const ImageBuffer&) = delete;
    ImageBuffer& operator=(const ImageBuffer&) = delete;

    bool ok() const { return bytes_ != nullptr; }
    // Copies len bytes to offset; false when the buffer cannot grow that far.
    bool put(uint32_t offset, const unsigned char* data, size_t len);
    uint32_t end() const { return end_; }
    // A new[] array holding end() bytes (its capacity may be somewhat larger) that the caller
    // now owns, or null when it cannot be allocated.
    unsigned char* release();

private:
    bool reserve(size_t need);
    bool allocate(size_t capacity);

    unsigned char fill_;
    unsigned char* bytes_;
    size_t capacity_;
    uint32_t end_ = 0;
};

} // namespace kivo_hex
