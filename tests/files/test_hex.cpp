// HEX records read and written back, and whole files loaded into images.
#include "files/FileLoad.h"
#include "files/IHexRecord.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <sstream>

using Bytes = std::vector<unsigned char>;

namespace {

FILE* openText(const std::string& text) {
    return text.empty() ? fopen("/dev/null", "rb")
                        : fmemopen(const_cast<char*>(text.data()), text.size(), "rb");
}

// Write_IHexRecord's line for r (its result in *rc).
std::string written(const IHexRecord& r, int* rc = nullptr) {
    char buf[1024] = {};
    FILE* out = fmemopen(buf, sizeof buf, "w");
    const int result = Write_IHexRecord(r, out);
    fclose(out);
    if (rc != nullptr) *rc = result;
    return buf;
}

// A record built and written by the code under test (its output is checked against literal
// lines below).
std::string writtenLine(int type, unsigned address, const Bytes& data) {
    IHexRecord r;
    Bytes copy = data;
    EXPECT_EQ(New_IHexRecord(type, static_cast<unsigned short>(address), copy.data(),
                             static_cast<int>(copy.size()), &r),
              IHEX_OK);
    return written(r);
}

// Every read a stream yields until its end: a record as written back, "nl" for an empty line,
// "bad" for an invalid record.
std::string readBack(const std::string& text) {
    FILE* in = openText(text);
    std::string out;
    IHexRecord r;
    for (int rc; (rc = Read_IHexRecord(&r, in)) != IHEX_ERROR_EOF;) {
        EXPECT_TRUE(rc != IHEX_OK || r.checksum == Checksum_IHexRecord(r));
        out += (out.empty() ? "" : " ") + (rc == IHEX_OK                     ? written(r)
                                           : rc == IHEX_ERROR_NEWLINE        ? "nl"
                                           : rc == IHEX_ERROR_INVALID_RECORD ? "bad"
                                                                             : "error");
        if (rc == IHEX_ERROR_FILE) break;
    }
    fclose(in);
    return out;
}

TEST(IHexRecord, ReadAndWrittenBack) {
    const std::pair<std::string, const char*> cases[] = {
        {"", ""},
        {"\n", "nl"},
        {"\r\n", "nl"},
        {":0000000\r1FF\n", "bad"},
        {" :00000001FF\n", "bad"},
        {":00000001FF\n", ":00000001FF\r\n"},
        {":00000001FF", ":00000001FF\r\n"},
        {":02123400abcd40\r\n", ":02123400ABCD40\r\n"},
        {":00000001FF ; the end\n", ":00000001FF\r\n"},
        {":02123400ABCD41\n", "bad"},
        {":02123400ABC\n", "bad"},
        {":02123400ABCD4\n", "bad"},
        // Non-digits used to convert to 0 (or a signed count) and pass the checksum.
        {":010000000zFF\n", "bad"},
        {":+100000005FA\n", "bad"},
        {":00000001FG\n", "bad"},
        // A bad line is consumed whole; a long one is read in pieces.
        {":02123400ABCD41\n\n:00000001FF\n\n", "bad nl :00000001FF\r\n nl"},
        {":00000001FF" + std::string(800, 'x') + "\n:00000001FF\n",
         ":00000001FF\r\n bad :00000001FF\r\n"},
    };
    for (const auto& [input, output] : cases) EXPECT_EQ(readBack(input), output) << input;
    std::mt19937 rng(42);
    for (size_t len = 0; len < 256; ++len) {
        Bytes data(len);
        for (auto& v : data) v = static_cast<unsigned char>(rng());
        const std::string line = writtenLine(static_cast<int>(rng() % 6), rng(), data);
        EXPECT_EQ(readBack(line), line);
    }
}

TEST(IHexRecord, RefusedArgumentsAndFailingStreams) {
    IHexRecord r;
    memset(&r, 0x11, sizeof r);
    unsigned char data[257] = {0x01, 0xFE};
    for (int len : {-1, 257})
        EXPECT_EQ(New_IHexRecord(0, 0, data, len, &r), IHEX_ERROR_INVALID_ARGUMENTS);
    EXPECT_EQ(New_IHexRecord(0, 0, nullptr, 1, &r), IHEX_ERROR_INVALID_ARGUMENTS);
    EXPECT_EQ(New_IHexRecord(0, 0, data, 1, nullptr), IHEX_ERROR_INVALID_ARGUMENTS);
    EXPECT_EQ(r.dataLen, 0x11111111) << "record left untouched";
    for (int len : {256, -1, 100000}) { // 256 bytes fit a record but not a line's count
        int rc = 0;
        r.dataLen = len;
        written(r, &rc);
        EXPECT_EQ(rc, IHEX_ERROR_INVALID_RECORD);
        Checksum_IHexRecord(r); // must not read past the data
    }
    ASSERT_EQ(New_IHexRecord(-1, 0x0A0B, data, 2, &r), IHEX_OK);
    EXPECT_EQ(written(r), ":020A0BFFFFFFFF01FEEB\r\n") << "a type printed whole";
    ASSERT_EQ(New_IHexRecord(0, 0x0A0B, data, 2, &r), IHEX_OK);
    r.checksum = 0x99;
    EXPECT_EQ(written(r), ":020A0B0001FEEA\r\n") << "the checksum recomputed";
    EXPECT_EQ(Write_IHexRecord(r, nullptr), IHEX_ERROR_INVALID_ARGUMENTS);
    EXPECT_EQ(Read_IHexRecord(&r, nullptr), IHEX_ERROR_INVALID_ARGUMENTS);
    FILE* full = fopen("/dev/full", "w");
    setvbuf(full, nullptr, _IONBF, 0);
    EXPECT_EQ(Write_IHexRecord(r, full), IHEX_ERROR_FILE);
    EXPECT_EQ(Read_IHexRecord(&r, full), IHEX_ERROR_FILE) << "a write-only stream";
    unsigned char* image = nullptr;
    unsigned size = 0, base = 0;
    testing::internal::CaptureStdout();
    EXPECT_FALSE(readHexStream(full, "full", image, size, base, 0));
    EXPECT_FALSE(readHexFile("/nonexistent/fw.hex", image, size, 0));
    Print_IHexRecord(r);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "readHexFile: full: line 0: read error\n"
                                                      "Intel HEX8 Record Type: 0\n"
                                                      "Intel HEX8 Record Address: 0x0A0B\n"
                                                      "Intel HEX8 Record Data: {0x01, 0xFE, }\n"
                                                      "Intel HEX8 Record Checksum: 0x99\n");
    fclose(full);
}

// HEX text from words: "[type:]address=data" a record, "E" the end record, "_" an empty line,
// "~" one with CR LF; anything else a line as it is.
std::string hexText(const std::string& words) {
    std::istringstream in(words);
    std::string text, w;
    while (in >> w) {
        const size_t colon = w.find(':'), eq = w.find('=');
        if (eq == std::string::npos || colon == 0) {
            text += w == "E" ? ":00000001FF\n" : w == "_" ? "\n" : w == "~" ? "\r\n" : w + "\n";
            continue;
        }
        const bool typed = colon < eq;
        Bytes data;
        for (size_t i = eq + 1; i + 1 < w.size(); i += 2)
            data.push_back(static_cast<unsigned char>(std::stoul(w.substr(i, 2), nullptr, 16)));
        text += writtenLine(typed ? std::stoi(w) : 0,
                            std::stoul(w.substr(typed ? colon + 1 : 0), nullptr, 16), data);
    }
    return text;
}

// The image loaded as "base: bytes" (each "XX" or "XX*count", in hex), or "error: reason".
std::string load(const std::string& text, unsigned char fill) {
    FILE* in = openText(text);
    unsigned char marker = 0, *data = &marker;
    unsigned size = 12345, base = 0;
    testing::internal::CaptureStdout();
    const bool ok = readHexStream(in, "fw.hex", data, size, base, fill);
    const std::string trace = testing::internal::GetCapturedStdout();
    fclose(in);
    if (!ok) {
        EXPECT_TRUE(data == &marker && size == 12345) << "outputs changed on failure";
        const size_t at = trace.find("fw.hex: ") + 8;
        return "error: " + trace.substr(at, trace.size() - at - 1);
    }
    char buf[80];
    snprintf(buf, sizeof buf, "readHexFile: %u bytes, [0x00000000 - 0x%08x]\n", size, size);
    EXPECT_EQ(trace, buf);
    snprintf(buf, sizeof buf, "%08X:", base);
    std::string out = buf;
    for (unsigned i = 0, n = 1; i < size; i += n) {
        for (n = 1; i + n < size && data[i + n] == data[i];) ++n;
        snprintf(buf, sizeof buf, " %02X*%X", data[i], n);
        out += n > 1 ? buf : std::string(buf, 3);
    }
    delete[] data;
    return out;
}

// Each failing file used to load as success (cut short, misplaced or written past the buffer).
TEST(ReadHexStream, ImagesAndFailures) {
    const struct {
        std::string words;
        const char* expected;
        unsigned char fill = 0;
    } cases[] = {
        {"4:0=0800 0=01010101010101010101010101010101 10=0202 E", "08000000: 01*10 02*2"},
        {"4:0=0000 4:0=0800 4=09 E", "08000000: 00*4 09"},
        {"4:0=0800 0=010203 6=06 1=07 E", "08000000: 01 07 03 A5*3 06", 0xA5},
        {"4:0=0800 E", "08000000:"},
        {"0=01 E 1=02 E", "00000000: 01 02"},
        {"_ 0=01 ~ _ 1=02 E _ _", "00000000: 01 02"},
        // Type 2 places data at segment * 16; it used to be ignored.
        {"2:0=1000 10=0102 E", "00010000: 00*10 01 02"},
        {"4:0=0800 5:0=08000100 3:0=00000100 9:0= 0=04 E", "08000000: 04"},
        // A jump far past the working buffer lands where it belongs, gap filled.
        {"4:0=0800 0=01 4:0=0803 8000=0203 E", "08000000: 01 77*37FFF 02 03", 0x77},
        {"4:0=0800 0=01 4:0=0BFF FFFF=02 E", "08000000: 01 00*3FFFFFE 02"},
        {"4:0=0800 0=01 1=02 :0100020003FB E", "error: line 4: checksum mismatch"},
        {"0=01 :0100 E", "error: line 2: line too short for a record"},
        {"0=01 garbage_line E", "error: line 2: line does not start with ':'"},
        {"0=01 :01000000zzFF E", "error: line 2: non-hexadecimal character in a field"},
        {"0=01 1=02", "error: line 2: no end-of-file record, the file is cut short"},
        {"0=01 :0200000001", "error: line 2: line too short for its byte count"},
        {"4:0=0800 0=01 4:0=0000 0=02 E", "error: line 4: data lies below the image base "
                                          "(address 0x00000000, base 0x08000000)"},
        // Data from address 0 settles the base: later addresses only move the next records.
        {"4:0=0000 0=01 4:0=0001 0=02 E", "00000000: 01 00*FFFF 02"},
        {"4:0=0800 0=01 4:0=0BFF FFFF=0202 E", "error: line 4: image would grow beyond 64 MiB "
                                               "(address 0x0bffffff, base 0x08000000)"},
        {"0=01 4:0=08 E", "error: line 2: extended address record without its address"},
        {":00000001FF" + std::string(800, 'x'), "error: line 1: line does not start with ':'"},
    };
    for (const auto& c : cases) EXPECT_EQ(load(hexText(c.words), c.fill), c.expected) << c.words;
}

} // namespace
