#include "files/BrixFile.h"
#include "files/MD5.h"

#include "FileTestSupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <sys/stat.h>

using filetest::Bytes;

namespace {

Bytes md5Of(const Bytes& data) {
    MD5 md5;
    md5.addBytes(data.data(), static_cast<int>(data.size()));
    Bytes d(MD5::DIGEST_SIZE);
    md5.checksum(d.data());
    return d;
}

TEST(WriteFile, Layouts) {
    filetest::TempDir dir;
    struct Case {
        size_t len;
        bool withHeader;
    };
    for (const Case c : {Case{0, false}, Case{1000, false}, Case{0, true}, Case{4097, true}}) {
        SCOPED_TRACE(testing::Message() << c.len << " bytes, header " << c.withHeader);
        const Bytes data = filetest::randomBytes(c.len, 11);
        const std::string path = dir.file("out.bin");
        BrixFileHeader header;
        memset(&header, 0x5A, sizeof header);
        for (int i = 0; i < 12; ++i) header.reserved[i] = static_cast<unsigned char>(i);
        ASSERT_TRUE(writeFile(path.c_str(), data.data(), static_cast<unsigned>(c.len),
                              c.withHeader ? &header : nullptr));
        const Bytes file = filetest::readAll(path);
        if (!c.withHeader) {
            EXPECT_EQ(file, data);
            continue;
        }
        ASSERT_EQ(file.size(), c.len + 32);
        EXPECT_EQ(std::string(file.begin(), file.begin() + 4), "Brix");
        for (int i = 0; i < 12; ++i) EXPECT_EQ(file[4 + i], i);
        EXPECT_EQ(Bytes(file.begin() + 16, file.begin() + 32), md5Of(data));
        EXPECT_EQ(Bytes(file.begin() + 32, file.end()), data);
        EXPECT_EQ(memcmp(&header, file.data(), 32), 0) << "header is updated in place";
    }
}

TEST(WriteFile, EmptyDataDigestIsTheEmptyMessage) {
    filetest::TempDir dir;
    BrixFileHeader header{};
    const std::string path = dir.file("empty.brix");
    ASSERT_TRUE(writeFile(path.c_str(), nullptr, 0, &header));
    const Bytes expected = {0xd4, 0x1d, 0x8c, 0xd9, 0x8f, 0x00, 0xb2, 0x04,
                            0xe9, 0x80, 0x09, 0x98, 0xec, 0xf8, 0x42, 0x7e};
    EXPECT_EQ(Bytes(header.md5, header.md5 + 16), expected);
    EXPECT_EQ(filetest::readAll(path).size(), 32u);
}

TEST(WriteFile, TruncatesALongerFileAndUsesMode0644) {
    filetest::TempDir dir;
    const std::string path = dir.file("old.bin");
    filetest::writeText(path, std::string(5000, 'x'));
    const Bytes data = {1, 2, 3};
    ASSERT_TRUE(writeFile(path.c_str(), data.data(), 3, nullptr));
    EXPECT_EQ(filetest::readAll(path), data);

    const std::string fresh = dir.file("fresh.bin");
    const mode_t mask = umask(0);
    umask(mask);
    ASSERT_TRUE(writeFile(fresh.c_str(), data.data(), 3, nullptr));
    struct stat st;
    ASSERT_EQ(stat(fresh.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u & ~mask);
}

TEST(WriteFile, MissingDirectoryFailsNamingThePath) {
    filetest::TempDir dir;
    const std::string path = dir.file("no/such/dir/out.bin");
    testing::internal::CaptureStderr();
    EXPECT_FALSE(writeFile(path.c_str(), reinterpret_cast<const unsigned char*>("x"), 1, nullptr));
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find(path), std::string::npos) << err;
}

// A full disk must not be reported as a written file.
TEST(WriteFile, FullDiskFails) {
    const Bytes data(10000, 0xAB);
    for (bool withHeader : {false, true}) {
        BrixFileHeader header{};
        testing::internal::CaptureStderr();
        EXPECT_FALSE(writeFile("/dev/full", data.data(), static_cast<unsigned>(data.size()),
                               withHeader ? &header : nullptr));
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_NE(err.find("/dev/full"), std::string::npos) << err;
    }
}

} // namespace
