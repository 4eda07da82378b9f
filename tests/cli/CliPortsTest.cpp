// kivo ports and PORT given by product name, on a mocked device tree that the kivo child
// inherits (the test binary runs under umockdev-wrapper).
#include "RunKivo.h"

#include <gtest/gtest.h>
#include <umockdev.h>

using kivotest::runKivo;
using kivotest::RunResult;

namespace {

const char kAdapter[] = R"(P: /devices/usb1/1-1/1-1:1.0/ttyUSB0/tty/ttyUSB0
N: ttyUSB0
E: DEVNAME=/dev/ttyUSB0
E: SUBSYSTEM=tty

P: /devices/usb1/1-1/1-1:1.0
E: DEVTYPE=usb_interface
E: SUBSYSTEM=usb
L: driver=../../../../bus/usb/drivers/pl2303

P: /devices/usb1/1-1
E: DEVTYPE=usb_device
E: SUBSYSTEM=usb
A: product=Bench Adapter
)";

class MockedPorts : public ::testing::Test {
protected:
    void SetUp() override {
        bed = umockdev_testbed_new();
        GError* error = nullptr;
        ASSERT_TRUE(umockdev_testbed_add_from_string(bed, kAdapter, &error)) << error->message;
    }
    void TearDown() override { g_object_unref(bed); }
    UMockdevTestbed* bed = nullptr;
};

TEST_F(MockedPorts, ListedWithPathTabProduct) {
    RunResult r = runKivo({"ports"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("/dev/ttyUSB0\tBench Adapter\n"), std::string::npos) << r.out;
}

TEST_F(MockedPorts, ProductNameNamesThePort) {
    // The name resolves to /dev/ttyUSB0; nothing answers on the mocked node.
    RunResult r = runKivo({"ping", "Bench Adapter"});
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.err.find("Kivo not found on Bench Adapter"), std::string::npos) << r.err;

    RunResult other = runKivo({"ping", "Bench"});
    EXPECT_EQ(other.status, 2);
    EXPECT_NE(other.err.find("no serial port 'Bench'"), std::string::npos) << other.err;
}

} // namespace
