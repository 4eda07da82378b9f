#include "files/MD5.h"

#include "FileTestSupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

std::string hex(const unsigned char* d, size_t n) {
    std::string s;
    char b[3];
    for (size_t i = 0; i < n; ++i) {
        snprintf(b, sizeof b, "%02x", d[i]);
        s += b;
    }
    return s;
}

std::string digestWhole(const std::string& msg) {
    MD5 md5;
    md5.addBytes(reinterpret_cast<const unsigned char*>(msg.data()), static_cast<int>(msg.size()));
    unsigned char d[MD5::DIGEST_SIZE];
    md5.checksum(d);
    return hex(d, sizeof d);
}

std::string digestInPieces(const std::string& msg, size_t piece) {
    MD5 md5;
    const auto* p = reinterpret_cast<const unsigned char*>(msg.data());
    for (size_t i = 0; i < msg.size(); i += piece) {
        md5.addBytes(p + i, static_cast<int>(std::min(piece, msg.size() - i)));
    }
    unsigned char d[MD5::DIGEST_SIZE];
    md5.checksum(d);
    return hex(d, sizeof d);
}

struct Vector {
    std::string message;
    const char* digest;
};

const Vector RFC1321[] = {
    {"", "d41d8cd98f00b204e9800998ecf8427e"},
    {"a", "0cc175b9c0f1b6a831c399e269772661"},
    {"abc", "900150983cd24fb0d6963f7d28e17f72"},
    {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
    {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
    {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
     "d174ab98d277d9f5a5611c2c9f419d9f"},
    {"1234567890123456789012345678901234567890123456789012345678901234567890123456789"
     "0",
     "57edf4a22be3c955ac49da2e2107b67a"},
};

// Around the block boundary: 55 fits the padding in one block, 56 needs a second one.
const Vector BOUNDARIES[] = {
    {std::string(55, 'a'), "ef1772b6dff9a122358552954ad0df65"},
    {std::string(56, 'a'), "3b0c8ac703f828b04c6c197006d17218"},
    {std::string(63, 'a'), "b06521f39153d618550606be297466d5"},
    {std::string(64, 'a'), "014842d480b571495a4a0363793f7367"},
    {std::string(65, 'a'), "c743a45e0d2e6a95cb859adae0248435"},
    {std::string(1000000, 'a'), "7707d6ae4e027c70eea2a935c2296f21"},
};

TEST(Md5, Rfc1321SuiteWholeAndByteByByte) {
    for (const auto& v : RFC1321) {
        EXPECT_EQ(digestWhole(v.message), v.digest) << '"' << v.message << '"';
        EXPECT_EQ(digestInPieces(v.message, 1), v.digest) << '"' << v.message << '"';
    }
}

TEST(Md5, BlockBoundaries) {
    for (const auto& v : BOUNDARIES) {
        EXPECT_EQ(digestWhole(v.message), v.digest) << v.message.size() << " bytes";
        if (v.message.size() < 1000) {
            EXPECT_EQ(digestInPieces(v.message, 1), v.digest) << v.message.size() << " bytes";
        }
    }
}

TEST(Md5, AnyPieceSizeGivesTheSameDigest) {
    const auto data = filetest::randomBytes(3000, 7);
    const std::string msg(data.begin(), data.end());
    const std::string whole = digestWhole(msg);
    for (size_t piece : {1, 3, 55, 63, 64, 65, 127, 1000}) {
        EXPECT_EQ(digestInPieces(msg, piece), whole) << "pieces of " << piece;
    }
}

TEST(Md5, NegativeOrZeroLengthAddsNothing) {
    MD5 md5;
    const unsigned char abc[] = {'a', 'b', 'c'};
    md5.addBytes(abc, 0);
    md5.addBytes(abc, 3);
    md5.addBytes(abc, -1);
    md5.addBytes(abc, -2147483647 - 1);
    unsigned char d[MD5::DIGEST_SIZE];
    md5.checksum(d);
    EXPECT_EQ(hex(d, sizeof d), "900150983cd24fb0d6963f7d28e17f72");
}

TEST(Md5, ChecksumClearsTheObject) {
    MD5 md5;
    md5.addBytes(reinterpret_cast<const unsigned char*>("abc"), 3);
    unsigned char first[MD5::DIGEST_SIZE], second[MD5::DIGEST_SIZE];
    md5.checksum(first);
    for (uint32_t w : md5.state) EXPECT_EQ(w, 0u);
    EXPECT_EQ(md5.bitCount[0], 0u);
    EXPECT_EQ(md5.bitCount[1], 0u);
    for (unsigned char b : md5.block) EXPECT_EQ(b, 0u);
    md5.checksum(second);
    EXPECT_NE(memcmp(first, second, sizeof first), 0);

    md5.init();
    md5.addBytes(reinterpret_cast<const unsigned char*>("abc"), 3);
    md5.checksum(second);
    EXPECT_EQ(memcmp(first, second, sizeof first), 0);
}

} // namespace
