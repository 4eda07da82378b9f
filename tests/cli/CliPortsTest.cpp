// kivo ports and PORT given by product name, on the mocked device tree of a typical PC that the
// kivo children inherit (the test binary runs under umockdev-wrapper).
#include "RunKivo.h"

#include <gtest/gtest.h>
#include <umockdev.h>

using kivotest::contains;
using kivotest::runKivo;

namespace {

const std::string kFt232 = "/dev/ttyUSB0\tFT232R USB UART";
const std::string kFt232ById = "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0";

TEST(MockedPorts, ListedNamedAndRefusedWhenAmbiguous) {
    UMockdevTestbed* bed = umockdev_testbed_new();
    GError* error = nullptr;
    ASSERT_TRUE(umockdev_testbed_add_from_file(bed, KIVO_TESTBEDS "/typical-pc.umockdev", &error))
        << error->message;
    struct {
        std::vector<std::string> args;
        int status;
        std::string out, err; // expected within the output
    } const cases[] = {
        {{"ports"}, 0, kFt232 + "\n/dev/ttyUSB1\tCH340 serial converter\n/dev/ttyACM0\tCDC", ""},
        {{"ports", "--long"}, 0, kFt232 + "\t0403:6001\tA50285BI\t" + kFt232ById + "\n", ""},
        {{"ports", "--long"}, 0, "\n/dev/ttyS0\t\t\t\t\n", ""},
        // Every port of a list resolves before any is opened: only the last is unknown.
        {{"firmware", "FT232R USB UART," + kFt232ById + ",/dev/none", "fw.hex"},
         1,
         "",
         "kivo: no serial port '/dev/none'"},
        {{"ping", "FT230X Basic UART"}, 2, "", "names 2 ports: /dev/ttyUSB2 /dev/ttyUSB3;"},
        {{"ping", "FT230X"}, 1, "", "kivo: no serial port 'FT230X'"},
    };
    TempDir dir;
    kivotest::put(dir, "fw.hex", kivotest::hexText(0x08000000, {1, 2, 3, 4}));
    for (auto c : cases) {
        if (c.args.back() == "fw.hex") c.args.back() = dir.file("fw.hex");
        const kivotest::RunResult r = runKivo(c.args);
        EXPECT_EQ(r.status, c.status) << c.args.back() << r.err;
        EXPECT_TRUE(contains(r.out, c.out)) << r.out;
        EXPECT_TRUE(contains(r.err, c.err)) << r.err;
    }
    g_object_unref(bed);
}

} // namespace
