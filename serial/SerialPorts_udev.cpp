// Port registry backend on libudev.
#include "serial/internal/PortRegistry.h"

#include <cstring>
#include <libudev.h>

namespace {
const char kTtySubsystem[] = "tty";
const char kUsbSubsystem[] = "usb";
const char kUsbInterface[] = "usb_interface";
const char kCdcAcmDriver[] = "cdc_acm";
const char kProductAttr[] = "product";

udev_device* dev(PortRegistry::Entry e) {
    return const_cast<udev_device*>(static_cast<const udev_device*>(e));
}

bool same(const char* a, const char* b) {
    return a && strcmp(a, b) == 0;
}

class UdevRegistry : public PortRegistry {
public:
    UdevRegistry() : udev_(udev_new()) {}
    ~UdevRegistry() override {
        finish();
        udev_unref(udev_);
    }

    bool prepare(Search search) override {
        finish();
        search_ = search;
        enumerate_ = udev_ ? udev_enumerate_new(udev_) : nullptr;
        if (!enumerate_) return false;
        const char* subsystem = search == SerialStreams ? kTtySubsystem : kUsbSubsystem;
        return udev_enumerate_add_match_subsystem(enumerate_, subsystem) >= 0;
    }

    int run() override {
        int rc = udev_enumerate_scan_devices(enumerate_);
        if (rc < 0) return rc;
        cursor_ = udev_enumerate_get_list_entry(enumerate_);
        return 0;
    }

    Entry next() override {
        while (cursor_) {
            const char* syspath = udev_list_entry_get_name(cursor_);
            cursor_ = udev_list_entry_get_next(cursor_);
            udev_device* d = udev_device_new_from_syspath(udev_, syspath);
            if (d && wanted(d)) return d;
            udev_device_unref(d);
        }
        return nullptr;
    }

    void release(Entry e) override { udev_device_unref(dev(e)); }
    Entry parent(Entry e) override { return udev_device_get_parent(dev(e)); }

    const char* property(Entry e, Property which) override {
        if (which == DevicePath) return udev_device_get_devnode(dev(e));
        return udev_device_get_sysattr_value(dev(e), kProductAttr);
    }

    void finish() override {
        cursor_ = nullptr;
        enumerate_ = udev_enumerate_unref(enumerate_);
    }

private:
    // Serial streams are terminals on hardware (virtual consoles and pseudo-terminals have no
    // parent); communications-class drivers are the USB interfaces cdc_acm is bound to.
    bool wanted(udev_device* d) const {
        if (search_ == SerialStreams) return udev_device_get_parent(d) != nullptr;
        return same(udev_device_get_devtype(d), kUsbInterface) &&
               same(udev_device_get_driver(d), kCdcAcmDriver);
    }

    udev* udev_;
    udev_enumerate* enumerate_ = nullptr;
    udev_list_entry* cursor_ = nullptr;
    Search search_ = SerialStreams;
};
} // namespace

PortRegistry* platformPortRegistry() {
    return new UdevRegistry();
}
