#pragma once
#include <string>

// One discovered serial port. Both strings are malloc'ed and may be null.
struct SioPort {
    char* dev;     // device node to open, e.g. /dev/ttyUSB0
    char* product; // product name of the hardware behind the port
};

// Lists the machine's serial ports: serial stream devices first, then USB communications-class
// serial interfaces. Sets ports to null and count to 0 first, without freeing anything; the
// caller frees every string and the array. False when a search could not run (the records
// found before stay in the result).
bool enumSerialPorts(SioPort*& ports, unsigned& count);

// Frees a scan result and resets it to empty.
void freeSerialPorts(SioPort*& ports, unsigned& count);

// What names the adapter behind a port for good; each empty where there is none.
struct SioPortIds {
    std::string vendorId, productId; // the USB ids, four hexadecimal digits each
    std::string serial;              // the adapter's serial number
    std::string byId;                // the stable path udev made under /dev/serial/by-id/
};

// The ids of the port whose device path is dev; false when no port has that path.
bool serialPortIds(const char* dev, SioPortIds& ids);

// Tells when serial ports come or go (an adapter plugged in or pulled out), so that a list of
// them can follow the machine.
class SerialPortWatch {
public:
    virtual ~SerialPortWatch() = default;
    // Readable when something happened; -1 when this platform or machine cannot watch.
    virtual int fd() const = 0;
    // Takes in what happened without waiting; true when a port came or went.
    virtual bool changed() = 0;
};

// This platform's watch; the caller owns it.
SerialPortWatch* platformPortWatch();
