// The port scan: over an in-memory registry for order, limits and warnings, and through
// libudev on a mocked device tree (the binary runs under umockdev-wrapper).
#include "serial/internal/PortRegistry.h"

#include <gtest/gtest.h>
#include <umockdev.h>

#include <string>
#include <vector>

using Strings = std::vector<std::string>;

namespace {
// Node 0 is the root, so that a null entry stays distinct from every node.
struct FakeRegistry : PortRegistry {
    struct Node {
        size_t parent;
        std::string dev, product; // "-": the property is missing
    };
    std::vector<Node> nodes{{0, "-", "-"}};
    std::vector<size_t> found[2];
    bool preparable[2] = {true, true};
    int runCode[2] = {0, 0}, released = 0, finished = 0;
    Search now = SerialStreams;
    size_t pos = 0;

    size_t add(size_t parent, std::string dev, std::string product) {
        nodes.push_back({parent, dev, product});
        return nodes.size() - 1;
    }
    Entry at(size_t i) const { return i ? &nodes[i] : nullptr; }
    const Node& node(Entry e) const { return *static_cast<const Node*>(e); }
    bool prepare(Search s) override { return now = s, pos = 0, preparable[s]; }
    int run() override { return runCode[now]; }
    Entry next() override { return pos < found[now].size() ? at(found[now][pos++]) : nullptr; }
    void release(Entry) override { ++released; }
    Entry parent(Entry e) override { return at(node(e).parent); }
    const char* property(Entry e, Property p) override {
        const std::string& v = p == DevicePath ? node(e).dev : node(e).product;
        return v == "-" ? nullptr : v.c_str();
    }
    void finish() override { ++finished; }
};

// Each port as "dev|product", "-" for a null value, with "|vendor:product|serial|by-id path"
// after it when ids are asked for and the device has them; the result is freed.
Strings described(SioPort*& ports, unsigned& count, bool withIds = false) {
    Strings out;
    for (unsigned i = 0; i < count; ++i) {
        const char* dev = ports[i].dev;
        out.push_back(std::string(dev ? dev : "-") + "|" +
                      (ports[i].product ? ports[i].product : "-"));
        SioPortIds ids;
        if (withIds && dev && serialPortIds(dev, ids))
            out.back() +=
                "|" + ids.vendorId + ":" + ids.productId + "|" + ids.serial + "|" + ids.byId;
    }
    freeSerialPorts(ports, count);
    EXPECT_EQ(ports, nullptr);
    return out;
}
} // namespace

// One tree; a failing search keeps what the searches before it found.
TEST(PortScan, OrderProductsLimitsAndFailedSearches) {
    const std::string fits(1023, 'p'), tooLong(1024, 'q'), longPath = "/dev/" + tooLong.substr(5);
    const Strings all = {"/dev/ttyACM0|Kivo Serial", "/dev/ttyUSB0|USB-Serial Cable",
                         "/dev/ttyS0|" + fits, "-|-", "-|Kivo Serial"};
    struct {
        int search, code; // code 0: no query could be built
        std::string warning;
        int count, finished;
    } const cases[] = {
        {-1, 0, "", 5, 2},
        {0, 0, "IOServiceMatching returned a NULL dictionary (IOSerialBSDClient).", 0, 0},
        {0, -5, "IOServiceGetMatchingServices failed, returned -5 ", 0, 1},
        {1, 0, "IOServiceNameMatching returned a NULL dictionary (AppleUSBCDC).", 4, 1},
        {1, -13, "IOServiceGetMatchingServices failed, returned -13", 4, 2},
    };
    for (const auto& c : cases) {
        FakeRegistry r;
        size_t usb = r.add(0, "-", "Kivo Serial"), iface = r.add(usb, "-", "-");
        size_t adapter = r.add(r.add(0, "-", "Hub"), "-", "USB-Serial Cable"); // the nearer one
        r.found[0] = {r.add(iface, "/dev/ttyACM0", "-"), r.add(adapter, "/dev/ttyUSB0", "own"),
                      r.add(r.add(0, "-", fits), "/dev/ttyS0", "-"),
                      r.add(r.add(0, "-", tooLong), longPath, "-")};
        r.found[1] = {iface};
        if (c.search >= 0) r.preparable[c.search] = c.code != 0, r.runCode[c.search] = c.code;
        SioPort* ports = reinterpret_cast<SioPort*>(1); // the scan must reset it
        unsigned count = 99;
        testing::internal::CaptureStderr();
        EXPECT_EQ(enumSerialPorts(r, ports, count), c.search < 0);
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  c.search < 0 ? "" : "warning: enumSerialPorts: " + c.warning);
        EXPECT_EQ(described(ports, count), Strings(all.begin(), all.begin() + c.count));
        EXPECT_EQ(r.released, c.count);
        EXPECT_EQ(r.finished, c.finished) << c.warning;
    }
}

// A device tree written from the sysfs layout of a real machine: each port that exists, once,
// named after its own USB device.
TEST(UdevPorts, DeviceTreeInPortsOut) {
    const std::string ft230 = "FT230X Basic UART|0403:6015|D30A1B";
    const std::string byId = "/dev/serial/by-id/usb-";
    const Strings want = {
        "/dev/ttyUSB0|FT232R USB UART|0403:6001|A50285BI|" + byId +
            "FTDI_FT232R_USB_UART_A50285BI-if00-port0",
        "/dev/ttyUSB1|CH340 serial converter|1a86:7523||" + byId + "1a86_USB2.0-Serial-if00-port0",
        "/dev/ttyACM0|CDC Serial Board|1209:c0de|CDC0001|" + byId +
            "Bench_CDC_Serial_Board_CDC0001-if00",
        "/dev/ttyUSB2|" + ft230 + "2C|" + byId + "FTDI_FT230X_Basic_UART_D30A1B2C-if00-port0",
        "/dev/ttyUSB3|" + ft230 + "3F|" + byId + "FTDI_FT230X_Basic_UART_D30A1B3F-if00-port0",
        "/dev/ttyS4|-|:||",
        "/dev/ttyS0|-|:||",
        "-|CDC Serial Board"};
    GError* error = nullptr;
    UMockdevTestbed* bed = umockdev_testbed_new();
    const std::string file = std::string(KIVO_TESTBEDS) + "/typical-pc.umockdev";
    ASSERT_TRUE(umockdev_testbed_add_from_file(bed, file.c_str(), &error)) << error->message;
    SioPort* ports = nullptr;
    unsigned count = 0;
    EXPECT_TRUE(enumSerialPorts(ports, count));
    EXPECT_EQ(described(ports, count, true), want);
    g_object_unref(bed);
}
