#pragma once
// The device registry as the port scan sees it, so that the scan is written once and each
// platform supplies a backend (chosen by the build).
#include "serial/SerialPorts.h"

class PortRegistry {
public:
    using Entry = const void*;
    enum Search { SerialStreams = 0, CdcDrivers = 1 };
    enum Property { DevicePath, ProductName };

    virtual ~PortRegistry() = default;
    // Builds the query of a search; false when none could be built.
    virtual bool prepare(Search search) = 0;
    // Runs the prepared query; 0 on success, otherwise the failure code.
    virtual int run() = 0;
    // The next entry found, null at the end; valid until released.
    virtual Entry next() = 0;
    virtual void release(Entry entry) = 0;
    // The entry's parent, null at the root and above the device that names its ports; valid as
    // long as the entry.
    virtual Entry parent(Entry entry) = 0;
    // A value the entry itself carries (no search of its ancestors), or null.
    virtual const char* property(Entry entry, Property which) = 0;
    // Ends the current search.
    virtual void finish() = 0;
};

bool enumSerialPorts(PortRegistry& registry, SioPort*& ports, unsigned& count);
// Fills port from one entry and releases the entry.
void getServiceDetails(PortRegistry& registry, PortRegistry::Entry entry, SioPort& port);
// This platform's registry; the caller owns it.
PortRegistry* platformPortRegistry();
