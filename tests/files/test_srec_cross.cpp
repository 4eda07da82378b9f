// Cross-checks of the HEX loader and writer against srec_cat on generated files.
#include "files/FileLoad.h"
#include "files/IHexRecord.h"

#include "FileTestSupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>

using filetest::Bytes;

#ifndef SREC_CAT
#define SREC_CAT ""
#endif

namespace {

const std::string srecCat = SREC_CAT;

// srec_cat's binary image of a HEX file, shifted down by base.
bool srecImage(const std::string& hexPath, unsigned base, const std::string& binPath, Bytes& out) {
    char offset[32];
    snprintf(offset, sizeof offset, "-0x%08X", base);
    const std::string cmd = "'" + srecCat + "' '" + hexPath + "' -intel -offset " + offset +
                            " -o '" + binPath + "' -binary";
    if (std::system(cmd.c_str()) != 0) return false;
    out = filetest::readAll(binPath);
    return true;
}

struct Segment {
    uint32_t address;
    Bytes data;
};

struct Generated {
    const char* name;
    std::vector<Segment> segments;
    size_t recordLen;
    bool linearFromStart;
};

std::vector<Generated> generatedFiles() {
    using filetest::randomBytes;
    return {
        {"contiguous, 16-byte records", {{0x08000000, randomBytes(200000, 1)}}, 16, true},
        {"contiguous, 32-byte records", {{0x08000000, randomBytes(150001, 2)}}, 32, true},
        {"gaps across 64 KiB boundaries",
         {{0x08000100, randomBytes(5000, 3)},
          {0x0800FFF0, randomBytes(100, 4)},
          {0x08030000, randomBytes(70000, 5)},
          {0x08050007, randomBytes(33, 6)}},
         32,
         true},
        {"data before any extended address",
         {{0x00000000, randomBytes(300, 7)}, {0x00004000, randomBytes(1000, 8)}},
         16,
         false},
        {"zero extended address, then 16-bit data",
         {{0x00000010, randomBytes(64, 9)}, {0x00001000, randomBytes(64, 10)}},
         16,
         true},
    };
}

class SrecCross : public testing::Test {
protected:
    void SetUp() override {
        if (srecCat.empty()) GTEST_SKIP() << "srec_cat not found at configure time";
    }
    filetest::TempDir dir;
};

TEST_F(SrecCross, LoaderImageAndBaseMatchSrecCat) {
    for (const auto& g : generatedFiles()) {
        SCOPED_TRACE(g.name);
        std::string text;
        for (const auto& s : g.segments) {
            text += filetest::hexImage(s.address, s.data, g.recordLen, g.linearFromStart);
        }
        text += filetest::eofLine();
        const std::string hexPath = dir.file("gen.hex");
        filetest::writeText(hexPath, text);

        unsigned char* data = nullptr;
        unsigned size = 0, base = 0;
        testing::internal::CaptureStdout();
        const bool ok = readHexFile(hexPath.c_str(), data, size, base, 0);
        testing::internal::GetCapturedStdout();
        ASSERT_TRUE(ok);
        const Bytes mine(data, data + size);
        delete[] data;
        EXPECT_EQ(base, g.segments.front().address & 0xFFFF0000u);

        Bytes theirs;
        ASSERT_TRUE(srecImage(hexPath, base, dir.file("gen.bin"), theirs));
        ASSERT_EQ(mine.size(), theirs.size());
        EXPECT_TRUE(mine == theirs);
    }
}

TEST_F(SrecCross, SegmentAddressesMatchSrecCat) {
    std::string text = filetest::segmentLine(0x1000);
    const Bytes a = filetest::randomBytes(256, 11), b = filetest::randomBytes(48, 12);
    text += filetest::hexImage(0, a, 16, false);
    text += filetest::segmentLine(0x1800); // 0x18000, 0x8000 above the base
    text += filetest::hexImage(0x20, b, 16, false);
    text += filetest::eofLine();
    const std::string hexPath = dir.file("seg.hex");
    filetest::writeText(hexPath, text);

    unsigned char* data = nullptr;
    unsigned size = 0, base = 0;
    testing::internal::CaptureStdout();
    const bool ok = readHexFile(hexPath.c_str(), data, size, base, 0);
    testing::internal::GetCapturedStdout();
    ASSERT_TRUE(ok);
    const Bytes mine(data, data + size);
    delete[] data;
    EXPECT_EQ(base, 0x10000u);
    Bytes theirs;
    ASSERT_TRUE(srecImage(hexPath, base, dir.file("seg.bin"), theirs));
    EXPECT_TRUE(mine == theirs);
}

// Records written by Write_IHexRecord, including an extended address per 64 KiB.
TEST_F(SrecCross, WrittenRecordsReadBackInSrecCat) {
    const uint32_t start = 0x08000000;
    const Bytes image = filetest::randomBytes(3 * 0x10000 + 77, 13);
    const std::string hexPath = dir.file("written.hex");
    FILE* out = fopen(hexPath.c_str(), "wb");
    ASSERT_NE(out, nullptr);
    IHexRecord r;
    for (size_t i = 0; i < image.size(); i += 32) {
        const uint32_t addr = start + static_cast<uint32_t>(i);
        if ((addr & 0xFFFF) == 0) {
            unsigned char upper[2] = {static_cast<unsigned char>(addr >> 24),
                                      static_cast<unsigned char>(addr >> 16)};
            ASSERT_EQ(New_IHexRecord(IHEX_TYPE_EXTENDED_LINEAR_ADDRESS, 0, upper, 2, &r), 0);
            ASSERT_EQ(Write_IHexRecord(r, out), 0);
        }
        const int n = static_cast<int>(std::min<size_t>(32, image.size() - i));
        ASSERT_EQ(New_IHexRecord(IHEX_TYPE_DATA, static_cast<unsigned short>(addr),
                                 const_cast<unsigned char*>(&image[i]), n, &r),
                  0);
        ASSERT_EQ(Write_IHexRecord(r, out), 0);
    }
    ASSERT_EQ(New_IHexRecord(IHEX_TYPE_EOF, 0, nullptr, 0, &r), 0);
    ASSERT_EQ(Write_IHexRecord(r, out), 0);
    ASSERT_EQ(fclose(out), 0);

    Bytes theirs;
    ASSERT_TRUE(srecImage(hexPath, start, dir.file("written.bin"), theirs));
    EXPECT_TRUE(theirs == image);
}

} // namespace
