// Runs under umockdev-wrapper, which points libudev and /sys at the test bed.
#include "serial/SIoUnix.h"
#include "serial/SerialPorts.h"

#include <gtest/gtest.h>
#include <umockdev.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {
UMockdevTestbed* testbed = nullptr;

// A USB serial adapter that names its product, one that does not, a CDC ACM device and a
// virtual console, as a recording of the machine would describe them.
const char kDevices[] = R"(P: /devices/pci0000:00/0000:00:14.0/usb1/1-1/1-1:1.0/ttyUSB0/tty/ttyUSB0
N: ttyUSB0
E: DEVNAME=/dev/ttyUSB0
E: SUBSYSTEM=tty

P: /devices/pci0000:00/0000:00:14.0/usb1/1-1/1-1:1.0/ttyUSB0
E: SUBSYSTEM=usb-serial
E: DRIVER=pl2303
L: driver=../../../../../../bus/usb-serial/drivers/pl2303

P: /devices/pci0000:00/0000:00:14.0/usb1/1-1/1-1:1.0
E: DEVTYPE=usb_interface
E: DRIVER=pl2303
E: SUBSYSTEM=usb
L: driver=../../../../../bus/usb/drivers/pl2303
A: bInterfaceClass=ff

P: /devices/pci0000:00/0000:00:14.0/usb1/1-1
E: DEVTYPE=usb_device
E: SUBSYSTEM=usb
A: idVendor=1234
A: product=USB-Serial Controller

P: /devices/pci0000:00/0000:00:1d.0/usb2/2-1/2-1:1.0/ttyUSB1/tty/ttyUSB1
E: DEVNAME=/dev/ttyUSB1
E: SUBSYSTEM=tty

P: /devices/pci0000:00/0000:00:1d.0/usb2/2-1/2-1:1.0/ttyUSB1
E: SUBSYSTEM=usb-serial

P: /devices/pci0000:00/0000:00:1d.0/usb2/2-1/2-1:1.0
E: DEVTYPE=usb_interface
E: SUBSYSTEM=usb

P: /devices/pci0000:00/0000:00:1d.0/usb2/2-1
E: DEVTYPE=usb_device
E: SUBSYSTEM=usb
A: idVendor=4321

P: /devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0/tty/ttyACM0
N: ttyACM0
E: DEVNAME=/dev/ttyACM0
E: SUBSYSTEM=tty

P: /devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0
E: DEVTYPE=usb_interface
E: DRIVER=cdc_acm
E: SUBSYSTEM=usb
L: driver=../../../../../bus/usb/drivers/cdc_acm
A: bInterfaceClass=02

P: /devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.1
E: DEVTYPE=usb_interface
E: DRIVER=cdc_acm
E: SUBSYSTEM=usb
L: driver=../../../../../bus/usb/drivers/cdc_acm
A: bInterfaceClass=0a

P: /devices/pci0000:00/0000:00:14.0/usb1/1-2
E: DEVTYPE=usb_device
E: SUBSYSTEM=usb
A: product=Kivo CDC

P: /devices/pci0000:00/0000:00:14.0/usb1
E: DEVTYPE=usb_device
E: SUBSYSTEM=usb
A: product=xHCI Host Controller

P: /devices/pci0000:00/0000:00:1d.0/usb2
E: DEVTYPE=usb_device
E: SUBSYSTEM=usb

P: /devices/virtual/tty/tty0
N: tty0
E: DEVNAME=/dev/tty0
E: SUBSYSTEM=tty
)";

std::string str(const char* s) {
    return s ? s : "<null>";
}

struct Scan {
    SioPort* ports = nullptr;
    unsigned count = 0;
    bool ok = enumSerialPorts(ports, count);
    ~Scan() { freeSerialPorts(ports, count); }
    std::vector<std::string> lines() const {
        std::vector<std::string> out;
        for (unsigned i = 0; i < count; ++i)
            out.push_back(str(ports[i].dev) + "|" + str(ports[i].product));
        return out;
    }
};
} // namespace

TEST(UdevPorts, ListsSerialDevicesThenCdcInterfaces) {
    Scan s;
    EXPECT_TRUE(s.ok);
    EXPECT_EQ(s.lines(), (std::vector<std::string>{
                             "/dev/ttyUSB0|USB-Serial Controller",
                             "/dev/ttyACM0|Kivo CDC",
                             "/dev/ttyUSB1|<null>",
                             "<null>|Kivo CDC",
                             "<null>|Kivo CDC",
                         }));
}

TEST(UdevPorts, ScannedDeviceNodeOpens) {
    Scan s;
    ASSERT_GE(s.count, 2u);
    ASSERT_STREQ(s.ports[1].dev, "/dev/ttyACM0");
    SIoUnix io;
    ASSERT_TRUE(io.initialize(s.ports[1].dev, SerialIo::Baud115200, 8, SerialIo::ParityNone, 1));
    const unsigned char ping = 0xAA;
    EXPECT_EQ(io.write(&ping, 1), 1);
}

int main(int argc, char** argv) {
    // The test bed must exist before anything touches libudev.
    testbed = umockdev_testbed_new();
    GError* error = nullptr;
    if (!umockdev_testbed_add_from_string(testbed, kDevices, &error)) {
        fprintf(stderr, "test bed: %s\n", error ? error->message : "?");
        return 1;
    }
    ::testing::InitGoogleTest(&argc, argv);
    int rc = RUN_ALL_TESTS();
    g_object_unref(testbed);
    return rc;
}
