#pragma once

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
