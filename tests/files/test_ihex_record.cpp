#include "files/IHexRecord.h"

#include "FileTestSupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>

using filetest::Bytes;

namespace {

// A read-only stream over a copy of `text`.
class TextStream {
public:
    explicit TextStream(const std::string& text) : text_(text) {
        f_ = text_.empty() ? fopen("/dev/null", "rb")
                           : fmemopen(const_cast<char*>(text_.data()), text_.size(), "rb");
    }
    ~TextStream() {
        if (f_) fclose(f_);
    }
    FILE* get() const { return f_; }

private:
    std::string text_;
    FILE* f_;
};

struct ReadCase {
    const char* name;
    std::string input;
    int result;
    int type = 0;
    unsigned address = 0;
    Bytes data = {};
    unsigned checksum = 0;
};

const ReadCase READ_CASES[] = {
    {"line end only", "\n", IHEX_ERROR_NEWLINE},
    {"CR LF only", "\r\n", IHEX_ERROR_NEWLINE},
    {"empty stream", "", IHEX_ERROR_EOF},
    {"one char", ":", IHEX_ERROR_INVALID_RECORD},
    {"eight chars", ":0000000\n", IHEX_ERROR_INVALID_RECORD},
    {"eight chars before CR", ":0000000\r1FF\n", IHEX_ERROR_INVALID_RECORD},
    {"no colon", "x00000001FF\n", IHEX_ERROR_INVALID_RECORD},
    {"leading space", " :00000001FF\n", IHEX_ERROR_INVALID_RECORD},
    {"end of file record", ":00000001FF\n", IHEX_OK, 1, 0, {}, 0xFF},
    {"no line end", ":00000001FF", IHEX_OK, 1, 0, {}, 0xFF},
    {"data", ":02123400ABCD40\r\n", IHEX_OK, 0, 0x1234, {0xAB, 0xCD}, 0x40},
    {"lower case", ":02123400abcd40\n", IHEX_OK, 0, 0x1234, {0xAB, 0xCD}, 0x40},
    {"extended linear", ":020000040800F2\n", IHEX_OK, 4, 0, {0x08, 0x00}, 0xF2},
    {"unknown type kept", ":00000007F9\n", IHEX_OK, 7, 0, {}, 0xF9},
    {"trailing text", ":00000001FF ; the end\n", IHEX_OK, 1, 0, {}, 0xFF},
    {"bad checksum", ":02123400ABCD41\n", IHEX_ERROR_INVALID_RECORD},
    {"stops inside data", ":02123400ABC\n", IHEX_ERROR_INVALID_RECORD},
    {"stops inside checksum", ":02123400ABCD4\n", IHEX_ERROR_INVALID_RECORD},
    {"cut by NUL", std::string(":02123400AB\0CD40\n", 17), IHEX_ERROR_INVALID_RECORD},
    // Non-digits used to convert to 0 (or a signed count) and pass the checksum.
    {"letters as data", ":01000000zzFF\n", IHEX_ERROR_INVALID_RECORD},
    {"half a digit", ":010000000zFF\n", IHEX_ERROR_INVALID_RECORD},
    {"signed count", ":+100000005FA\n", IHEX_ERROR_INVALID_RECORD},
    {"negative count", ":-1000000000\n", IHEX_ERROR_INVALID_RECORD},
    {"space in address", ":00 0000100\n", IHEX_ERROR_INVALID_RECORD},
    {"bad type digit", ":000000g1FF\n", IHEX_ERROR_INVALID_RECORD},
    {"bad checksum digit", ":00000001FG\n", IHEX_ERROR_INVALID_RECORD},
};

TEST(ReadIHexRecord, Cases) {
    for (const auto& c : READ_CASES) {
        SCOPED_TRACE(c.name);
        TextStream in(c.input);
        IHexRecord r;
        memset(&r, 0xEE, sizeof r);
        ASSERT_EQ(Read_IHexRecord(&r, in.get()), c.result);
        if (c.result != IHEX_OK) continue;
        EXPECT_EQ(r.type, c.type);
        EXPECT_EQ(r.address, c.address);
        EXPECT_EQ(Bytes(r.data, r.data + r.dataLen), c.data);
        EXPECT_EQ(r.checksum, c.checksum);
    }
}

TEST(ReadIHexRecord, BadLinesAreConsumedAndReadingGoesOn) {
    TextStream in(":02123400ABCD41\n\n:00000001FF\n\n");
    IHexRecord r;
    EXPECT_EQ(Read_IHexRecord(&r, in.get()), IHEX_ERROR_INVALID_RECORD);
    EXPECT_EQ(Read_IHexRecord(&r, in.get()), IHEX_ERROR_NEWLINE);
    EXPECT_EQ(Read_IHexRecord(&r, in.get()), IHEX_OK);
    EXPECT_EQ(Read_IHexRecord(&r, in.get()), IHEX_ERROR_NEWLINE);
    EXPECT_EQ(Read_IHexRecord(&r, in.get()), IHEX_ERROR_EOF);
}

TEST(ReadIHexRecord, LongLineIsReadInPieces) {
    TextStream in(":00000001FF" + std::string(800, 'x') + "\n:00000001FF\n");
    IHexRecord r;
    EXPECT_EQ(Read_IHexRecord(&r, in.get()), IHEX_OK);
    EXPECT_EQ(Read_IHexRecord(&r, in.get()), IHEX_ERROR_INVALID_RECORD); // the 44 x's left
    EXPECT_EQ(Read_IHexRecord(&r, in.get()), IHEX_OK);
    EXPECT_EQ(Read_IHexRecord(&r, in.get()), IHEX_ERROR_EOF);
}

TEST(ReadIHexRecord, MissingArguments) {
    TextStream in(":00000001FF\n");
    IHexRecord r;
    EXPECT_EQ(Read_IHexRecord(nullptr, in.get()), IHEX_ERROR_INVALID_ARGUMENTS);
    EXPECT_EQ(Read_IHexRecord(&r, nullptr), IHEX_ERROR_INVALID_ARGUMENTS);
}

TEST(ReadIHexRecord, StreamErrorIsNotEndOfFile) {
    filetest::TempDir dir;
    FILE* out = fopen(dir.file("w").c_str(), "w");
    ASSERT_NE(out, nullptr);
    IHexRecord r;
    EXPECT_EQ(Read_IHexRecord(&r, out), IHEX_ERROR_FILE);
    fclose(out);
}

TEST(NewIHexRecord, LengthLimitsAndHeaderOnlyChecksum) {
    IHexRecord r;
    memset(&r, 0x11, sizeof r);
    unsigned char data[257] = {};
    EXPECT_EQ(New_IHexRecord(0, 0, data, -1, &r), IHEX_ERROR_INVALID_ARGUMENTS);
    EXPECT_EQ(New_IHexRecord(0, 0, data, 257, &r), IHEX_ERROR_INVALID_ARGUMENTS);
    EXPECT_EQ(r.dataLen, 0x11111111) << "record left untouched";
    EXPECT_EQ(New_IHexRecord(0, 0, data, 1, nullptr), IHEX_ERROR_INVALID_ARGUMENTS);
    EXPECT_EQ(New_IHexRecord(0, 0x1234, nullptr, 0, &r), IHEX_OK);
    EXPECT_EQ(r.checksum, 0xBA); // -(0x12 + 0x34)
    EXPECT_EQ(New_IHexRecord(0, 0, data, 256, &r), IHEX_OK);
    EXPECT_EQ(r.dataLen, 256);
}

TEST(ChecksumIHexRecord, IgnoresTheStoredFieldAndOutOfRangeLengths) {
    IHexRecord r;
    unsigned char d[2] = {0xAB, 0xCD};
    ASSERT_EQ(New_IHexRecord(0, 0x1234, d, 2, &r), IHEX_OK);
    r.checksum = 0;
    EXPECT_EQ(Checksum_IHexRecord(r), 0x40);
    r.dataLen = 100000; // must not read past the data array
    Checksum_IHexRecord(r);
    r.dataLen = -5;
    Checksum_IHexRecord(r);
}

std::string written(const IHexRecord& r, int* result = nullptr) {
    char buf[1024] = {};
    FILE* out = fmemopen(buf, sizeof buf, "w");
    const int rc = Write_IHexRecord(r, out);
    fclose(out);
    if (result) *result = rc;
    return buf;
}

TEST(WriteIHexRecord, Lines) {
    IHexRecord r;
    ASSERT_EQ(New_IHexRecord(1, 0, nullptr, 0, &r), IHEX_OK);
    EXPECT_EQ(written(r), ":00000001FF\r\n");
    unsigned char d[2] = {0xab, 0xcd};
    ASSERT_EQ(New_IHexRecord(0, 0x1234, d, 2, &r), IHEX_OK);
    r.checksum = 0x99; // recomputed, not taken from the record
    EXPECT_EQ(written(r), ":02123400ABCD40\r\n");

    int rc = 0;
    unsigned char big[256] = {};
    ASSERT_EQ(New_IHexRecord(0, 0, big, 256, &r), IHEX_OK);
    written(r, &rc);
    EXPECT_EQ(rc, IHEX_ERROR_INVALID_RECORD);
    r.dataLen = -1;
    written(r, &rc);
    EXPECT_EQ(rc, IHEX_ERROR_INVALID_RECORD);
    EXPECT_EQ(Write_IHexRecord(r, nullptr), IHEX_ERROR_INVALID_ARGUMENTS);
}

TEST(WriteIHexRecord, FailingStreamReportsError) {
    FILE* full = fopen("/dev/full", "w");
    ASSERT_NE(full, nullptr);
    setvbuf(full, nullptr, _IONBF, 0);
    IHexRecord r;
    ASSERT_EQ(New_IHexRecord(1, 0, nullptr, 0, &r), IHEX_OK);
    EXPECT_EQ(Write_IHexRecord(r, full), IHEX_ERROR_FILE);
    fclose(full);
}

TEST(IHexRecord, RoundTripThroughWriteAndRead) {
    std::mt19937 rng(42);
    for (int n = 0; n < 300; ++n) {
        const int len = n < 256 ? n : static_cast<int>(rng() % 256);
        const Bytes data = filetest::randomBytes(static_cast<size_t>(len), rng());
        IHexRecord out, in;
        ASSERT_EQ(New_IHexRecord(static_cast<int>(rng() % 6), static_cast<unsigned short>(rng()),
                                 const_cast<unsigned char*>(data.data()), len, &out),
                  IHEX_OK);
        const std::string line = written(out);
        TextStream stream(line);
        ASSERT_EQ(Read_IHexRecord(&in, stream.get()), IHEX_OK) << line;
        EXPECT_EQ(in.type, out.type);
        EXPECT_EQ(in.address, out.address);
        EXPECT_EQ(in.dataLen, out.dataLen);
        EXPECT_EQ(memcmp(in.data, out.data, static_cast<size_t>(len)), 0);
        EXPECT_EQ(in.checksum, out.checksum);
    }
}

TEST(PrintIHexRecord, ReadableForm) {
    IHexRecord r;
    unsigned char d[2] = {0x01, 0xFE};
    ASSERT_EQ(New_IHexRecord(0, 0x0A0B, d, 2, &r), IHEX_OK);
    testing::internal::CaptureStdout();
    Print_IHexRecord(r);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Intel HEX8 Record Type: 0\n"
                                                      "Intel HEX8 Record Address: 0x0A0B\n"
                                                      "Intel HEX8 Record Data: {0x01, 0xFE, }\n"
                                                      "Intel HEX8 Record Checksum: 0xEA\n");
}

} // namespace
