#include "serial/SerialPorts.h"
#include "serial/internal/PortRegistry.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {
// A registry tree held in memory. Node 0 is unused so that a null entry stays distinct.
class FakeRegistry : public PortRegistry {
public:
    struct Node {
        int parent;
        const char* dev;
        const char* product;
    };
    std::vector<Node> nodes{{0, nullptr, nullptr}};
    std::vector<int> results[2];
    bool preparable[2] = {true, true};
    int runCode[2] = {0, 0};
    int released = 0, finished = 0;

    int add(int parent, const char* dev, const char* product) {
        nodes.push_back({parent, dev, product});
        return static_cast<int>(nodes.size() - 1);
    }

    bool prepare(Search s) override {
        current_ = s;
        pos_ = 0;
        return preparable[s];
    }
    int run() override { return runCode[current_]; }
    Entry next() override {
        const auto& r = results[current_];
        return pos_ < r.size() ? entry(r[pos_++]) : nullptr;
    }
    void release(Entry) override { ++released; }
    Entry parent(Entry e) override {
        int p = nodes[index(e)].parent;
        return p ? entry(p) : nullptr;
    }
    const char* property(Entry e, Property which) override {
        const Node& n = nodes[index(e)];
        return which == DevicePath ? n.dev : n.product;
    }
    void finish() override { ++finished; }

private:
    Entry entry(int i) const { return &nodes[static_cast<size_t>(i)]; }
    int index(Entry e) const { return static_cast<int>(static_cast<const Node*>(e) - &nodes[0]); }
    Search current_ = SerialStreams;
    size_t pos_ = 0;
};

std::string str(const char* s) {
    return s ? s : "<null>";
}

struct Scan {
    SioPort* ports = reinterpret_cast<SioPort*>(0x1); // proves the scan resets it
    unsigned count = 99;
    bool ok = false;
    std::string warnings;
    explicit Scan(PortRegistry& r) {
        CaptureStderr();
        ok = enumSerialPorts(r, ports, count);
        warnings = GetCapturedStderr();
    }
    ~Scan() { freeSerialPorts(ports, count); }
    std::string at(unsigned i) const { return str(ports[i].dev) + "|" + str(ports[i].product); }
};
} // namespace

TEST(PortScan, EmptyMachine) {
    FakeRegistry r;
    Scan s(r);
    EXPECT_TRUE(s.ok);
    EXPECT_EQ(s.ports, nullptr);
    EXPECT_EQ(s.count, 0u);
    EXPECT_EQ(s.warnings, "");
}

TEST(PortScan, StreamsFirstThenDriversWithProductFromNearestAncestor) {
    FakeRegistry r;
    int usb = r.add(0, nullptr, "Kivo Serial");
    int iface = r.add(usb, nullptr, nullptr);
    int tty = r.add(iface, "/dev/ttyACM0", nullptr);
    int hub = r.add(0, nullptr, "Hub");
    int adapter = r.add(hub, nullptr, "USB-Serial Cable"); // nearer than the hub
    int ttyUsb = r.add(adapter, "/dev/ttyUSB0", "own value is not a product source");
    int bare = r.add(r.add(0, nullptr, nullptr), "/dev/ttyS0", nullptr);
    r.results[PortRegistry::SerialStreams] = {tty, ttyUsb, bare};
    r.results[PortRegistry::CdcDrivers] = {iface};
    Scan s(r);
    ASSERT_TRUE(s.ok);
    ASSERT_EQ(s.count, 4u);
    EXPECT_EQ(s.at(0), "/dev/ttyACM0|Kivo Serial");
    EXPECT_EQ(s.at(1), "/dev/ttyUSB0|USB-Serial Cable");
    EXPECT_EQ(s.at(2), "/dev/ttyS0|<null>");
    EXPECT_EQ(s.at(3), "<null>|Kivo Serial") << "driver entry has no node of its own";
    EXPECT_EQ(r.released, 4);
    EXPECT_EQ(r.finished, 2);
}

TEST(PortScan, ValuesOverLimitAreLeftNull) {
    FakeRegistry r;
    const std::string fits(1023, 'p'), tooLong(1024, 'q');
    const std::string longPath = "/dev/" + std::string(1019, 'x'); // 1024 bytes
    int a = r.add(0, nullptr, fits.c_str());
    int b = r.add(0, nullptr, tooLong.c_str());
    r.results[PortRegistry::SerialStreams] = {r.add(a, "/dev/ttyUSB1", nullptr),
                                              r.add(b, longPath.c_str(), nullptr)};
    Scan s(r);
    ASSERT_EQ(s.count, 2u);
    EXPECT_EQ(str(s.ports[0].product), fits);
    EXPECT_EQ(s.ports[1].dev, nullptr);
    EXPECT_EQ(s.ports[1].product, nullptr) << "the record is still counted";
}

TEST(PortScan, WarningsAndPartialResults) {
    struct Case {
        int failingSearch;
        bool noQuery;
        int code;
        std::string warning;
        unsigned count;
    } const cases[] = {
        {0, true, 0,
         "warning: enumSerialPorts: IOServiceMatching returned a NULL dictionary "
         "(IOSerialBSDClient).",
         0},
        {0, false, -5,
         "warning: enumSerialPorts: IOServiceGetMatchingServices failed, returned -5 ", 0},
        {1, true, 0,
         "warning: enumSerialPorts: IOServiceNameMatching returned a NULL dictionary "
         "(AppleUSBCDC).",
         1},
        {1, false, -13,
         "warning: enumSerialPorts: IOServiceGetMatchingServices failed, returned -13", 1},
    };
    for (const Case& c : cases) {
        FakeRegistry r;
        r.results[PortRegistry::SerialStreams] = {r.add(0, "/dev/ttyUSB0", nullptr)};
        r.results[PortRegistry::CdcDrivers] = {r.add(0, nullptr, nullptr)};
        if (c.noQuery)
            r.preparable[c.failingSearch] = false;
        else
            r.runCode[c.failingSearch] = c.code;
        Scan s(r);
        EXPECT_FALSE(s.ok) << c.warning;
        EXPECT_EQ(s.warnings, c.warning);
        ASSERT_EQ(s.count, c.count) << c.warning;
        if (c.count) {
            EXPECT_EQ(s.at(0), "/dev/ttyUSB0|<null>");
        }
    }
}

TEST(PortScan, FreeResetsTheResult) {
    SioPort* ports = nullptr;
    unsigned count = 0;
    freeSerialPorts(ports, count); // an empty result is fine
    EXPECT_EQ(ports, nullptr);
}
