// Prints the serial ports the wizard would offer: device and product name, one port a line.
#include "serial/SerialPorts.h"

#include <cstdio>

int main() {
    SioPort* ports = nullptr;
    unsigned count = 0;
    bool complete = enumSerialPorts(ports, count);
    if (!complete) fputc('\n', stderr); // the scan's warnings end without a line feed
    for (unsigned i = 0; i < count; ++i)
        printf("%s\t%s\n", ports[i].dev ? ports[i].dev : "-",
               ports[i].product ? ports[i].product : "-");
    freeSerialPorts(ports, count);
    return complete ? 0 : 1;
}
