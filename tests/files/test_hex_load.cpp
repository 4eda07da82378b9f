#include "files/FileLoad.h"

#include "FileTestSupport.h"

#include <gtest/gtest.h>

#include <cstring>

using filetest::Bytes;
using filetest::dataLine;
using filetest::eofLine;
using filetest::linearLine;
using filetest::segmentLine;

namespace {

struct Loaded {
    bool ok = false;
    Bytes image;
    unsigned base = 0xDEAD;
    std::string trace;
};

Loaded loadText(const std::string& text, unsigned char fill = 0xFF) {
    filetest::TempDir dir;
    const std::string path = dir.file("fw.hex");
    filetest::writeText(path, text);
    Loaded r;
    unsigned char* data = nullptr;
    unsigned size = 0;
    testing::internal::CaptureStdout();
    r.ok = readHexFile(path.c_str(), data, size, r.base, fill);
    r.trace = testing::internal::GetCapturedStdout();
    if (r.ok) r.image.assign(data, data + size);
    delete[] data;
    return r;
}

Bytes filled(size_t n, unsigned char v) {
    return Bytes(n, v);
}

TEST(ReadHexFile, LinearBaseAndContiguousData) {
    const Bytes a = filetest::randomBytes(32, 1);
    const Bytes b = filetest::randomBytes(16, 2);
    const auto r =
        loadText(linearLine(0x0800) + dataLine(0, Bytes(a.begin(), a.begin() + 16)) +
                 dataLine(16, Bytes(a.begin() + 16, a.end())) + dataLine(32, b) + eofLine());
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.base, 0x08000000u);
    Bytes expected = a;
    expected.insert(expected.end(), b.begin(), b.end());
    EXPECT_EQ(r.image, expected);
    EXPECT_EQ(r.trace, "readHexFile: 48 bytes, [0x00000000 - 0x00000030]\n");
}

TEST(ReadHexFile, DataWithoutExtendedAddressKeepsItsOwnAddress) {
    const auto r = loadText(dataLine(0x0100, {1, 2}) + eofLine(), 0xEE);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.base, 0u);
    Bytes expected = filled(0x100, 0xEE);
    expected.push_back(1);
    expected.push_back(2);
    EXPECT_EQ(r.image, expected);
}

TEST(ReadHexFile, ZeroLinearAddressLeavesBaseUnset) {
    const auto r = loadText(linearLine(0) + linearLine(0x0800) + dataLine(4, {9}) + eofLine(), 0);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.base, 0x08000000u);
    EXPECT_EQ(r.image, (Bytes{0, 0, 0, 0, 9}));
}

TEST(ReadHexFile, GapsHoldFillAndLaterRecordsOverwrite) {
    const auto r = loadText(linearLine(0x0800) + dataLine(0, {1, 2, 3}) + dataLine(6, {6}) +
                                dataLine(1, {7}) + eofLine(),
                            0xA5);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.image, (Bytes{1, 7, 3, 0xA5, 0xA5, 0xA5, 6}));
}

TEST(ReadHexFile, NoDataRecords) {
    const auto r = loadText(linearLine(0x0800) + eofLine());
    ASSERT_TRUE(r.ok);
    EXPECT_TRUE(r.image.empty());
    EXPECT_EQ(r.trace, "readHexFile: 0 bytes, [0x00000000 - 0x00000000]\n");
}

TEST(ReadHexFile, EndOfFileRecordInTheMiddleDoesNotStopReading) {
    const auto r = loadText(dataLine(0, {1}) + eofLine() + dataLine(1, {2}) + eofLine());
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.image, (Bytes{1, 2}));
}

TEST(ReadHexFile, MissingFileLeavesOutputsAlone) {
    unsigned char marker = 0;
    unsigned char* data = &marker;
    unsigned size = 77, base = 99;
    EXPECT_FALSE(readHexFile("/nonexistent/fw.hex", data, size, base, 0));
    EXPECT_EQ(data, &marker);
    EXPECT_EQ(size, 77u);
    EXPECT_EQ(base, 0u);
}

// Blank lines carry no record: skipped wherever they are, also with CR LF.
TEST(ReadHexFile, BlankLinesAreSkipped) {
    const auto r =
        loadText("\n" + dataLine(0, {1}) + "\r\n\n" + dataLine(1, {2}) + eofLine() + "\n\n");
    ASSERT_TRUE(r.ok) << r.trace;
    EXPECT_EQ(r.image, (Bytes{1, 2}));
}

struct BadFile {
    const char* name;
    std::string text;
    const char* traceHas; // the reason and line number expected in the trace
};

std::string hundredLines() {
    std::string t = linearLine(0x0800);
    for (unsigned i = 0; i < 98; ++i)
        t += dataLine(i * 16, filled(16, static_cast<unsigned char>(i)));
    return t + filetest::hexLine(0, 98 * 16, filled(16, 1), 1) + dataLine(99 * 16, {1}) + eofLine();
}

// Each of these was loaded as success (cut short, misplaced or written past the buffer).
const BadFile BAD_FILES[] = {
    {"checksum error on line 100", hundredLines(), "line 100: checksum mismatch"},
    {"malformed line", dataLine(0, {1}) + ":0100\n" + eofLine(), "line 2: line too short"},
    {"not a record", dataLine(0, {1}) + "garbage line\n" + eofLine(), "line 2: line does not"},
    {"letters in data", dataLine(0, {1}) + ":01000000zzFF\n" + eofLine(), "line 2: non-hex"},
    {"no end-of-file record", dataLine(0, {1}) + dataLine(1, {2}), "no end-of-file record"},
    {"empty file", "", "no end-of-file record"},
    {"cut inside a line", dataLine(0, {1}) + ":0200000001", "line 2: line too short for its"},
    {"below the base",
     linearLine(0x0800) + dataLine(0, {1}) + linearLine(0) + dataLine(0, {2}) + eofLine(),
     "line 4: data lies below the image base"},
    {"data before the base", dataLine(0, {1}) + linearLine(0x0800) + dataLine(0, {2}) + eofLine(),
     "line 2: earlier data lies below the image base"},
    {"beyond 64 MiB",
     linearLine(0x0800) + dataLine(0, {1}) + linearLine(0x1FFF) + dataLine(0xF800, {2}) + eofLine(),
     "line 4: image would grow beyond"},
    {"short extended address", dataLine(0, {1}) + filetest::hexLine(4, 0, {8}) + eofLine(),
     "line 2: extended address record without"},
    {"long line's rest", ":00000001FF" + std::string(800, ' ') + "\n", "line 1: line does not"},
};

TEST(ReadHexFile, BadFilesFailWithATrace) {
    for (const auto& c : BAD_FILES) {
        SCOPED_TRACE(c.name);
        const auto r = loadText(c.text);
        EXPECT_FALSE(r.ok);
        EXPECT_NE(r.trace.find(c.traceHas), std::string::npos) << r.trace;
    }
}

TEST(ReadHexFile, FailureLeavesOutputsAlone) {
    filetest::TempDir dir;
    const std::string path = dir.file("bad.hex");
    filetest::writeText(path, dataLine(0, {1}));
    unsigned char marker = 0;
    unsigned char* data = &marker;
    unsigned size = 5, base = 7;
    testing::internal::CaptureStdout();
    EXPECT_FALSE(readHexFile(path.c_str(), data, size, base, 0));
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(data, &marker);
    EXPECT_EQ(size, 5u);
}

TEST(ReadHexFile, StreamErrorFails) {
    filetest::TempDir dir;
    FILE* out = fopen(dir.file("w.hex").c_str(), "w");
    ASSERT_NE(out, nullptr);
    unsigned char* data = nullptr;
    unsigned size = 0, base = 0;
    testing::internal::CaptureStdout();
    EXPECT_FALSE(readHexStream(out, "w.hex", data, size, base, 0));
    EXPECT_NE(testing::internal::GetCapturedStdout().find("read error"), std::string::npos);
    fclose(out);
}

// A forward jump far past the working buffer lands where it belongs, gap filled.
TEST(ReadHexFile, BufferGrowsAsFarAsARecordNeeds) {
    const auto r = loadText(linearLine(0x0800) + dataLine(0, {1}) + linearLine(0x0803) +
                                dataLine(0x8000, {2, 3}) + eofLine(),
                            0x77);
    ASSERT_TRUE(r.ok) << r.trace;
    ASSERT_EQ(r.image.size(), 0x38002u);
    EXPECT_EQ(r.image[0], 1);
    EXPECT_EQ(r.image[0x38000], 2);
    EXPECT_EQ(r.image[0x38001], 3);
    EXPECT_EQ(r.image[0x1234], 0x77);
    EXPECT_EQ(r.image[0x37FFF], 0x77);
}

TEST(ReadHexFile, ImageUpToTheLimitLoads) {
    const auto r = loadText(linearLine(0x0800) + dataLine(0, {1}) + linearLine(0x0BFF) +
                                dataLine(0xFFFF, {2}) + eofLine(),
                            0);
    ASSERT_TRUE(r.ok) << r.trace;
    ASSERT_EQ(r.image.size(), HEX_IMAGE_LIMIT);
    EXPECT_EQ(r.image.back(), 2);
}

// Type 2 places data at segment * 16, like srec_cat does; it used to be ignored.
TEST(ReadHexFile, ExtendedSegmentAddress) {
    auto r = loadText(segmentLine(0x1000) + dataLine(0x10, {1, 2}) + eofLine(), 0);
    ASSERT_TRUE(r.ok) << r.trace;
    EXPECT_EQ(r.base, 0x10000u);
    EXPECT_EQ(r.image, (Bytes{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 2}));

    r = loadText(segmentLine(0x1000) + dataLine(0, {1}) + segmentLine(0x1001) + dataLine(0, {2}) +
                     eofLine(),
                 0);
    ASSERT_TRUE(r.ok) << r.trace;
    EXPECT_EQ(r.image, (Bytes{1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2}));

    r = loadText(segmentLine(0) + dataLine(3, {5}) + eofLine(), 0);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.base, 0u);
    EXPECT_EQ(r.image, (Bytes{0, 0, 0, 5}));
}

TEST(ReadHexFile, StartAddressAndUnknownRecordsAreIgnored) {
    const auto r = loadText(linearLine(0x0800) + filetest::hexLine(5, 0, {8, 0, 1, 0}) +
                            filetest::hexLine(3, 0, {0, 0, 1, 0}) + filetest::hexLine(9, 0, {}) +
                            dataLine(0, {4}) + eofLine());
    ASSERT_TRUE(r.ok) << r.trace;
    EXPECT_EQ(r.base, 0x08000000u);
    EXPECT_EQ(r.image, Bytes{4});
}

TEST(ReadFile, DispatchesOnTheSuffix) {
    filetest::TempDir dir;
    const std::string hex = dataLine(2, {9}) + eofLine();
    struct Case {
        const char* name;
        bool asHex;
    };
    for (const Case c : {Case{"a.hex", true}, Case{"b.HEX", true}, Case{"c.Hex", true},
                         Case{"d.bin", false}, Case{"e.hex.bak", false}, Case{"hex", false}}) {
        SCOPED_TRACE(c.name);
        const std::string path = dir.file(c.name);
        filetest::writeText(path, hex);
        unsigned char* data = nullptr;
        unsigned size = 0;
        testing::internal::CaptureStdout();
        const bool ok = readFile(path.c_str(), data, size);
        testing::internal::GetCapturedStdout();
        ASSERT_TRUE(ok);
        const Bytes got(data, data + size);
        delete[] data;
        EXPECT_EQ(got, c.asHex ? (Bytes{0, 0, 9}) : Bytes(hex.begin(), hex.end()));
    }
}

TEST(ReadBinFile, ReadsFilesWholeAndReportsFailures) {
    filetest::TempDir dir;
    const Bytes content = filetest::randomBytes(100000, 3);
    filetest::writeText(dir.file("raw"), std::string(content.begin(), content.end()));
    filetest::writeText(dir.file("empty"), "");
    unsigned char* data = nullptr;
    unsigned size = 0;
    ASSERT_TRUE(readBinFile(dir.file("raw").c_str(), data, size));
    EXPECT_EQ(Bytes(data, data + size), content);
    delete[] data;
    ASSERT_TRUE(readBinFile(dir.file("empty").c_str(), data, size));
    EXPECT_EQ(size, 0u);
    EXPECT_NE(data, nullptr);
    delete[] data;

    for (const std::string& bad : {dir.file("missing"), dir.path()}) {
        SCOPED_TRACE(bad);
        testing::internal::CaptureStderr();
        EXPECT_FALSE(readBinFile(bad.c_str(), data, size));
        EXPECT_NE(testing::internal::GetCapturedStderr().find(bad + ": "), std::string::npos);
        EXPECT_EQ(size, 0u);
        EXPECT_EQ(data, nullptr);
    }
}

// Such a file claims 4096 bytes but delivers fewer; a single read used to pass it on whole.
TEST(ReadBinFile, FileShorterThanItsSizeFails) {
    const char* path = "/sys/kernel/mm/transparent_hugepage/enabled";
    if (access(path, R_OK) != 0) GTEST_SKIP() << path << " not readable here";
    unsigned char* data = nullptr;
    unsigned size = 0;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(readBinFile(path, data, size));
    EXPECT_NE(testing::internal::GetCapturedStderr().find(path), std::string::npos);
    EXPECT_EQ(data, nullptr);
}

std::vector<std::string> words(char** argv, unsigned argc) {
    return std::vector<std::string>(argv, argv + argc);
}

TEST(Splitln, WordsNullSlotAndRemainder) {
    char text[] = "  a\tb  c\n";
    char* line = text;
    char* argv[8];
    char** args = argv;
    unsigned argc = 8;
    splitln(args, argc, line);
    EXPECT_EQ(words(argv, argc), (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(argv[3], nullptr);
    EXPECT_EQ(line, nullptr);

    char text2[] = "  a\tb  c\n";
    line = text2;
    argc = 2;
    splitln(args, argc, line);
    EXPECT_EQ(words(argv, argc), (std::vector<std::string>{"a", "b"}));
    EXPECT_STREQ(line, " c\n");

    char text3[] = "x,,y;z";
    line = text3;
    argc = 8;
    splitln(args, argc, line, ",;");
    EXPECT_EQ(words(argv, argc), (std::vector<std::string>{"x", "y", "z"}));
    EXPECT_EQ(argv[3], nullptr);

    char blank[] = "   ";
    line = blank;
    argc = 1;
    splitln(args, argc, line);
    EXPECT_EQ(argc, 0u);
    EXPECT_EQ(argv[0], nullptr);
}

TEST(Cfs, OpenReadWriteSeek) {
    filetest::TempDir dir;
    const std::string path = dir.file("f");
    EXPECT_EQ(cfs_open(path.c_str(), CFS_WRITE), -1) << "never creates";
    filetest::writeText(path, "0123456789");

    int fd = cfs_open(path.c_str(), CFS_WRITE | CFS_APPEND);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(cfs_write(fd, "ab", 2), 2);
    cfs_close(fd);

    fd = cfs_open(path.c_str(), CFS_READ);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(cfs_write(fd, "x", 1), -1) << "read-only";
    char buf[16] = {};
    EXPECT_EQ(cfs_read(fd, buf, sizeof buf), 12);
    EXPECT_STREQ(buf, "0123456789ab");
    EXPECT_EQ(cfs_seek(fd, -2, CFS_SEEK_END), 10);
    EXPECT_EQ(cfs_seek(fd, -3, CFS_SEEK_CUR), 7);
    EXPECT_EQ(cfs_seek(fd, 4, 9), 4) << "unknown whence seeks from the start";
    EXPECT_EQ(cfs_read(fd, buf, 2), 2);
    EXPECT_EQ(std::string(buf, 2), "45");
    EXPECT_EQ(cfs_seek(fd, -1, CFS_SEEK_SET), -1);
    cfs_close(fd);
}

} // namespace
