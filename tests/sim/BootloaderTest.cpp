#include "tests/sim/SimLine.h"

#include <gtest/gtest.h>

namespace {

constexpr uint8_t ACK = 0x79, NACK = 0x1F;
constexpr uint32_t kBase = 0x08000000;

Bytes cmd(uint8_t c) {
    return {c, uint8_t(c ^ 0xFF)};
}

Bytes address(uint32_t a) {
    Bytes b = {uint8_t(a >> 24), uint8_t(a >> 16), uint8_t(a >> 8), uint8_t(a)};
    b.push_back(uint8_t(b[0] ^ b[1] ^ b[2] ^ b[3]));
    return b;
}

Bytes withXor(Bytes b, uint8_t seed = 0) {
    for (uint8_t x : b) seed ^= x;
    b.push_back(seed);
    return b;
}

struct Boot : ::testing::Test {
    explicit Boot(KivoSim::Options o = bootOptions()) : f(o) {}
    static KivoSim::Options bootOptions() {
        KivoSim::Options o;
        o.bootloader = true;
        return o;
    }
    void SetUp() override {
        ASSERT_TRUE(f.started);
        ASSERT_TRUE(f.sim.inBootloader());
        f.line->send(Bytes{0x7F});
        ASSERT_EQ(f.line->read(1), Bytes{ACK});
    }
    Bytes ask(const Bytes& out, size_t n, int ms = 2000) {
        f.line->send(out);
        return f.line->read(n, ms);
    }
    void write(uint32_t a, const Bytes& data) {
        ASSERT_EQ(ask(cmd(0x31), 1), Bytes{ACK});
        ASSERT_EQ(ask(address(a), 1), Bytes{ACK});
        Bytes packet = {uint8_t(data.size() - 1)};
        packet.insert(packet.end(), data.begin(), data.end());
        ASSERT_EQ(ask(withXor(packet), 1), Bytes{ACK});
    }
    SimFixture f;
};

TEST_F(Boot, GetListsTheOfferedCommands) {
    EXPECT_EQ(ask(cmd(0x00), 13),
              Bytes({ACK, 9, 0x22, 0x00, 0x01, 0x02, 0x11, 0x21, 0x31, 0x43, 0x44, 0x73, ACK}));
}

TEST_F(Boot, VersionAndChipId) {
    EXPECT_EQ(ask(cmd(0x01), 5), Bytes({ACK, 0x22, 0x00, 0x00, ACK}));
    EXPECT_EQ(ask(cmd(0x02), 5), Bytes({ACK, 0x01, 0x04, 0x14, ACK}));
}

TEST_F(Boot, WriteThenReadBack) {
    Bytes data(256);
    for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i * 7);
    write(kBase + 0x100, data);
    ASSERT_EQ(ask(cmd(0x11), 1), Bytes{ACK});
    ASSERT_EQ(ask(address(kBase + 0x100), 1), Bytes{ACK});
    Bytes want = {ACK};
    want.insert(want.end(), data.begin(), data.end());
    EXPECT_EQ(ask({0xFF, 0x00}, 257), want);
    const Bytes fl = f.sim.flash();
    ASSERT_EQ(fl.size(), 512u * 1024);
    EXPECT_EQ(Bytes(fl.begin() + 0x100, fl.begin() + 0x200), data);
    EXPECT_EQ(fl[0xFF], 0xFF);
    EXPECT_EQ(f.sim.counters().bootChunks, 1u);
}

TEST_F(Boot, OddLengthWriteIsAccepted) {
    write(kBase, {1, 2, 3});
    EXPECT_EQ(f.sim.flash()[2], 3);
}

TEST_F(Boot, GlobalErase) {
    write(kBase, {0, 0, 0, 0});
    ASSERT_EQ(ask(cmd(0x43), 1), Bytes{ACK});
    EXPECT_EQ(ask({0xFF, 0x00}, 1), Bytes{ACK});
    EXPECT_EQ(f.sim.flash()[0], 0xFF);
}

TEST_F(Boot, PageListErase) {
    write(kBase, {0, 0, 0, 0});
    write(kBase + 2048, {0, 0, 0, 0});
    write(kBase + 4096, {0, 0, 0, 0});
    ASSERT_EQ(ask(cmd(0x43), 1), Bytes{ACK});
    EXPECT_EQ(ask(withXor({1, 0, 2}), 1), Bytes{ACK}); // N = 1: pages 0 and 2
    const Bytes fl = f.sim.flash();
    EXPECT_EQ(fl[0], 0xFF);
    EXPECT_EQ(fl[2048], 0x00);
    EXPECT_EQ(fl[4096], 0xFF);
}

TEST_F(Boot, ExtendedEraseMassAndPages) {
    write(kBase, {0, 0, 0, 0});
    ASSERT_EQ(ask(cmd(0x44), 1), Bytes{ACK});
    EXPECT_EQ(ask({0xFF, 0xFF, 0x00}, 1), Bytes{ACK});
    EXPECT_EQ(f.sim.flash()[0], 0xFF);
    write(kBase + 2048 * 3, {0, 0, 0, 0});
    ASSERT_EQ(ask(cmd(0x44), 1), Bytes{ACK});
    EXPECT_EQ(ask(withXor({0x00, 0x00, 0x00, 0x03}), 1), Bytes{ACK});
    EXPECT_EQ(f.sim.flash()[2048 * 3], 0xFF);
}

TEST_F(Boot, WriteUnprotectNeedsNewSync) {
    EXPECT_EQ(ask(cmd(0x73), 2), Bytes({ACK, ACK}));
    EXPECT_EQ(ask(cmd(0x02), 1), Bytes()) << "commands before resync are ignored";
    EXPECT_EQ(ask({0x7F}, 1), Bytes{ACK});
    EXPECT_EQ(ask(cmd(0x02), 5), Bytes({ACK, 0x01, 0x04, 0x14, ACK}));
}

TEST_F(Boot, GoReturnsToGeneratorMode) {
    ASSERT_EQ(ask(cmd(0x21), 1), Bytes{ACK});
    EXPECT_EQ(ask(address(kBase), 1), Bytes{ACK});
    EXPECT_FALSE(f.sim.inBootloader()) << "the mode changes with the acknowledgement";
    EXPECT_EQ(ask(SimLine::request(0x8062), 11), SimLine::readReply(0x8062, {0}));
}

TEST_F(Boot, SyncByteAfterSynchronisationIsACommandByte) {
    EXPECT_EQ(ask({0x7F}, 1, 100), Bytes()) << "waits for the complement";
    EXPECT_EQ(ask({0x7F}, 1), Bytes{NACK});
    EXPECT_EQ(ask(cmd(0x01), 5), Bytes({ACK, 0x22, 0x00, 0x00, ACK}));
}

struct Malformed {
    const char* name;
    Bytes command; // sent after synchronisation
    Bytes second;  // sent once the command was acknowledged; empty: none
};

TEST_F(Boot, MalformedInputGetsNack) {
    Bytes badSumWrite = withXor({3, 1, 2, 3, 4});
    badSumWrite.back() ^= 1;
    const Malformed cases[] = {
        {"wrong complement", {0x02, 0x02}, {}},
        {"unknown command", cmd(0x92), {}},
        {"address checksum", cmd(0x11), {0x08, 0, 0, 0, 0x09}},
        {"read outside flash", cmd(0x11), address(0x20000000)},
        {"go outside flash", cmd(0x21), address(0x07FFFFFC)},
        {"write past the end", cmd(0x31), address(kBase + 512 * 1024)},
        {"global erase checksum", cmd(0x43), {0xFF, 0x01}},
        {"page beyond flash", cmd(0x44), withXor({0x00, 0x00, 0x01, 0x2C})},
        {"reserved extended code", cmd(0x44), {0xFF, 0xF0, 0x0F}},
    };
    for (const Malformed& m : cases) {
        if (m.second.empty()) {
            EXPECT_EQ(ask(m.command, 1), Bytes{NACK}) << m.name;
        } else {
            ASSERT_EQ(ask(m.command, 1), Bytes{ACK}) << m.name;
            EXPECT_EQ(ask(m.second, 1), Bytes{NACK}) << m.name;
        }
    }
    ASSERT_EQ(ask(cmd(0x31), 1), Bytes{ACK});
    ASSERT_EQ(ask(address(kBase), 1), Bytes{ACK});
    EXPECT_EQ(ask(badSumWrite, 1), Bytes{NACK});
    EXPECT_EQ(ask(cmd(0x11), 1), Bytes{ACK});
    ASSERT_EQ(ask(address(kBase), 1), Bytes{ACK});
    EXPECT_EQ(ask({0x03, 0x03}, 1), Bytes{NACK}) << "length complement";
    EXPECT_EQ(f.sim.counters().bootNacks, 11u);
    EXPECT_EQ(f.sim.flash()[0], 0xFF);
}

struct BootEraseOffers : ::testing::TestWithParam<std::pair<bool, bool>> {};

TEST_P(BootEraseOffers, OnlyOfferedEraseCommandsAnswer) {
    KivoSim::Options o;
    o.bootloader = true;
    o.offerErase = GetParam().first;
    o.offerExtendedErase = GetParam().second;
    SimFixture f(o);
    ASSERT_TRUE(f.started);
    f.line->send(Bytes{0x7F});
    f.line->read(1);
    f.line->send(cmd(0x00));
    const Bytes get = f.line->read(2);
    ASSERT_EQ(get.size(), 2u);
    const Bytes rest = f.line->read(get[1] + 2u);
    EXPECT_EQ(std::count(rest.begin(), rest.end(), 0x43), o.offerErase ? 1 : 0);
    EXPECT_EQ(std::count(rest.begin(), rest.end(), 0x44), o.offerExtendedErase ? 1 : 0);
    f.line->send(cmd(0x43));
    EXPECT_EQ(f.line->read(1), Bytes{o.offerErase ? ACK : NACK});
    if (o.offerErase) f.line->send(Bytes{0xFF, 0x00}), f.line->read(1);
    f.line->send(cmd(0x44));
    EXPECT_EQ(f.line->read(1), Bytes{o.offerExtendedErase ? ACK : NACK});
}

INSTANTIATE_TEST_SUITE_P(Sim, BootEraseOffers,
                         ::testing::Values(std::make_pair(true, false), std::make_pair(false, true),
                                           std::make_pair(true, true)));

} // namespace

namespace {

TEST(SimBootPaced, ReadMemoryOnAPacedLine) {
    KivoSim::Options o;
    o.bootloader = true;
    o.baud = 57600;
    SimFixture f(o);
    ASSERT_TRUE(f.started);
    f.line->send(Bytes{0x7F, 0x11, 0xEE, 0x08, 0x00, 0x00, 0x00, 0x08, 0x0F, 0xF0});
    Bytes want(3, 0x79);
    want.push_back(0x79);
    want.insert(want.end(), 16, 0xFF);
    EXPECT_EQ(f.line->read(want.size()), want);
}

} // namespace
