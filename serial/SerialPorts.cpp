#include "serial/SerialPorts.h"
#include "serial/internal/PortRegistry.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {
const char kFunction[] = "enumSerialPorts";
// A value that needs more bytes than this (plus its terminator) is left null.
const size_t kMaxValue = 1023;

struct SearchTexts {
    const char* name;
    const char* noQuery;
    const char* failed;
};

// The warnings end without a line feed; only the first failure text ends with a blank.
const SearchTexts kTexts[] = {
    {"IOSerialBSDClient", "warning: %s: IOServiceMatching returned a NULL dictionary (%s).",
     "warning: %s: IOServiceGetMatchingServices failed, returned %d "},
    {"AppleUSBCDC", "warning: %s: IOServiceNameMatching returned a NULL dictionary (%s).",
     "warning: %s: IOServiceGetMatchingServices failed, returned %d"},
};

char* copyValue(const char* value) {
    if (!value || strnlen(value, kMaxValue + 1) > kMaxValue) return nullptr;
    return strdup(value);
}

bool grow(SioPort*& ports, unsigned count) {
    void* p = realloc(ports, (count + 1) * sizeof(SioPort));
    if (!p) return false;
    ports = static_cast<SioPort*>(p);
    ports[count] = SioPort{nullptr, nullptr};
    return true;
}

bool collect(PortRegistry& registry, PortRegistry::Search search, SioPort*& ports,
             unsigned& count) {
    const SearchTexts& t = kTexts[search];
    if (!registry.prepare(search)) {
        fprintf(stderr, t.noQuery, kFunction, t.name);
        return false;
    }
    int rc = registry.run();
    if (rc != 0) {
        fprintf(stderr, t.failed, kFunction, rc);
        registry.finish();
        return false;
    }
    bool ok = true;
    while (PortRegistry::Entry e = registry.next()) {
        if (!(ok = grow(ports, count))) { // out of memory: end with what was found
            registry.release(e);
            break;
        }
        getServiceDetails(registry, e, ports[count]);
        ++count;
    }
    registry.finish();
    return ok;
}
} // namespace

void getServiceDetails(PortRegistry& registry, PortRegistry::Entry entry, SioPort& port) {
    const char* dev = registry.property(entry, PortRegistry::DevicePath);
    const char* product = nullptr;
    for (auto p = registry.parent(entry); p && !product; p = registry.parent(p))
        product = registry.property(p, PortRegistry::ProductName);
    port.dev = copyValue(dev);
    port.product = copyValue(product);
    registry.release(entry);
}

bool enumSerialPorts(PortRegistry& registry, SioPort*& ports, unsigned& count) {
    ports = nullptr;
    count = 0;
    return collect(registry, PortRegistry::SerialStreams, ports, count) &&
           collect(registry, PortRegistry::CdcDrivers, ports, count);
}

bool enumSerialPorts(SioPort*& ports, unsigned& count) {
    std::unique_ptr<PortRegistry> registry(platformPortRegistry());
    if (registry) return enumSerialPorts(*registry, ports, count);
    ports = nullptr;
    count = 0;
    fprintf(stderr, kTexts[0].noQuery, kFunction, kTexts[0].name);
    return false;
}

void freeSerialPorts(SioPort*& ports, unsigned& count) {
    for (unsigned i = 0; i < count; ++i) {
        free(ports[i].dev);
        free(ports[i].product);
    }
    free(ports);
    ports = nullptr;
    count = 0;
}
