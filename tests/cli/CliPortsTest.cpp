// kivo ports and PORT given by product name, on a mocked device tree that the kivo child
// inherits (the test binary runs under umockdev-wrapper).
#include "RunKivo.h"

#include <gtest/gtest.h>
#include <umockdev.h>

using kivotest::contains;
using kivotest::runKivo;

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

TEST(MockedPorts, ListedAndNamedByProduct) {
    UMockdevTestbed* bed = umockdev_testbed_new();
    GError* error = nullptr;
    ASSERT_TRUE(umockdev_testbed_add_from_string(bed, kAdapter, &error)) << error->message;

    const kivotest::RunResult list = runKivo({"ports"});
    EXPECT_EQ(list.status, 0) << list.err;
    EXPECT_TRUE(contains(list.out, "/dev/ttyUSB0\tBench Adapter\n")) << list.out;
    // The name resolves to /dev/ttyUSB0; nothing answers on the mocked node.
    const kivotest::RunResult named = runKivo({"ping", "Bench Adapter"});
    EXPECT_EQ(named.status, 1) << named.err;
    EXPECT_TRUE(contains(named.err, "Kivo not found on Bench Adapter")) << named.err;
    const kivotest::RunResult part = runKivo({"ping", "Bench"});
    EXPECT_EQ(part.status, 1);
    EXPECT_TRUE(contains(part.err, "no serial port 'Bench'")) << part.err;
    g_object_unref(bed);
}

} // namespace
