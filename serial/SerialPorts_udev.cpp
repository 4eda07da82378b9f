// Port registry backend on libudev.
#include "serial/internal/PortRegistry.h"

#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <libudev.h>
#include <linux/serial.h>
#include <string>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {
const char kTtySubsystem[] = "tty";
const char kUsbSubsystem[] = "usb";
const char kUsbDevice[] = "usb_device";
const char kUsbInterface[] = "usb_interface";
const char kCdcAcmDriver[] = "cdc_acm";
const char kInterfaceClassAttr[] = "bInterfaceClass";
const char kCommunicationsClass[] = "02"; // the interface of a CDC function that owns its tty
const char kProductAttr[] = "product";
const char kModelFromDatabase[] = "ID_MODEL_FROM_DATABASE";
const char kPlaceholderDriver[] = "serial8250";
const char kUartTypeAttr[] = "type";
const char kVendorIdAttr[] = "idVendor";
const char kProductIdAttr[] = "idProduct";
const char kSerialAttr[] = "serial";
const char kLinksProperty[] = "DEVLINKS"; // the links udev made to a node, blank-separated
const char kByIdDir[] = "/dev/serial/by-id/";
const char kUdevEvents[] = "udev"; // events sent once udev has made the nodes

udev_device* dev(PortRegistry::Entry e) {
    return const_cast<udev_device*>(static_cast<const udev_device*>(e));
}

bool same(const char* a, const char* b) {
    return a && strcmp(a, b) == 0;
}

bool isUsbDevice(udev_device* d) {
    return same(udev_device_get_devtype(d), kUsbDevice);
}

// The kernel creates place-holder ports of the 8250 driver whether or not a UART is there;
// one exists when its UART type is known. The type is read from sysfs, or asked of the
// driver where sysfs lacks it (a line that cannot be asked counts as absent).
bool uartPresent(udev_device* tty) {
    if (const char* type = udev_device_get_sysattr_value(tty, kUartTypeAttr))
        return atoi(type) != PORT_UNKNOWN;
    const char* node = udev_device_get_devnode(tty);
    int fd = node ? open(node, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC) : -1;
    if (fd < 0) return false;
    serial_struct line{};
    bool known = ioctl(fd, TIOCGSERIAL, &line) == 0 && line.type != PORT_UNKNOWN;
    close(fd);
    return known;
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
    // A port's name belongs to its USB device; the hubs and the host controller above it
    // have names of their own.
    Entry parent(Entry e) override {
        return isUsbDevice(dev(e)) ? nullptr : udev_device_get_parent(dev(e));
    }

    // A USB device without a product string is named as the hardware database knows it.
    const char* property(Entry e, Property which) override {
        udev_device* d = dev(e);
        if (which == DevicePath) return udev_device_get_devnode(d);
        const char* product = udev_device_get_sysattr_value(d, kProductAttr);
        if (!product && isUsbDevice(d))
            product = udev_device_get_property_value(d, kModelFromDatabase);
        return product;
    }

    void finish() override {
        cursor_ = nullptr;
        enumerate_ = udev_enumerate_unref(enumerate_);
    }

private:
    // Serial streams are terminals on hardware (virtual consoles and pseudo-terminals have no
    // parent) that exist; communications-class drivers are the communications interfaces
    // cdc_acm is bound to, one a function (its data interface is bound too).
    bool wanted(udev_device* d) const {
        if (search_ == SerialStreams) {
            udev_device* parent = udev_device_get_parent(d);
            return parent &&
                   (!same(udev_device_get_driver(parent), kPlaceholderDriver) || uartPresent(d));
        }
        return same(udev_device_get_devtype(d), kUsbInterface) &&
               same(udev_device_get_driver(d), kCdcAcmDriver) &&
               same(udev_device_get_sysattr_value(d, kInterfaceClassAttr), kCommunicationsClass);
    }

    udev* udev_;
    udev_enumerate* enumerate_ = nullptr;
    udev_list_entry* cursor_ = nullptr;
    Search search_ = SerialStreams;
};

std::string attr(udev_device* d, const char* name) {
    const char* v = udev_device_get_sysattr_value(d, name);
    return v ? v : "";
}

// The terminal device whose node is dev, or null; the caller unrefs it.
udev_device* ttyOfNode(udev* u, const char* dev) {
    udev_enumerate* e = udev_enumerate_new(u);
    udev_device* found = nullptr;
    if (e && udev_enumerate_add_match_subsystem(e, kTtySubsystem) >= 0 &&
        udev_enumerate_scan_devices(e) >= 0) {
        udev_list_entry* it;
        udev_list_entry_foreach(it, udev_enumerate_get_list_entry(e)) {
            udev_device* d = udev_device_new_from_syspath(u, udev_list_entry_get_name(it));
            if (d && same(udev_device_get_devnode(d), dev)) {
                found = d;
                break;
            }
            udev_device_unref(d);
        }
    }
    udev_enumerate_unref(e);
    return found;
}

void fillIds(udev_device* tty, SioPortIds& ids) {
    const char* value = udev_device_get_property_value(tty, kLinksProperty);
    const std::string links = value ? value : "";
    for (size_t at = links.find(kByIdDir); at != std::string::npos && ids.byId.empty();
         at = links.find(kByIdDir, at + 1))
        if (at == 0 || links[at - 1] == ' ') ids.byId = links.substr(at, links.find(' ', at) - at);
    udev_device* usb =
        udev_device_get_parent_with_subsystem_devtype(tty, kUsbSubsystem, kUsbDevice);
    if (!usb) return;
    ids.vendorId = attr(usb, kVendorIdAttr);
    ids.productId = attr(usb, kProductIdAttr);
    ids.serial = attr(usb, kSerialAttr);
}

// Terminals coming and going, as udev announces them.
class UdevWatch : public SerialPortWatch {
public:
    UdevWatch() : udev_(udev_new()) {
        monitor_ = udev_ ? udev_monitor_new_from_netlink(udev_, kUdevEvents) : nullptr;
        if (monitor_ && (udev_monitor_filter_add_match_subsystem_devtype(monitor_, kTtySubsystem,
                                                                         nullptr) < 0 ||
                         udev_monitor_enable_receiving(monitor_) < 0))
            monitor_ = udev_monitor_unref(monitor_);
    }
    ~UdevWatch() override {
        udev_monitor_unref(monitor_);
        udev_unref(udev_);
    }
    int fd() const override { return monitor_ ? udev_monitor_get_fd(monitor_) : -1; }
    bool changed() override {
        bool any = false;
        while (udev_device* d = monitor_ ? udev_monitor_receive_device(monitor_) : nullptr) {
            const char* action = udev_device_get_action(d);
            any = any || same(action, "add") || same(action, "remove");
            udev_device_unref(d);
        }
        return any;
    }

private:
    udev* udev_;
    udev_monitor* monitor_ = nullptr;
};
} // namespace

SerialPortWatch* platformPortWatch() {
    return new UdevWatch();
}

PortRegistry* platformPortRegistry() {
    return new UdevRegistry();
}

bool serialPortIds(const char* dev, SioPortIds& ids) {
    ids = SioPortIds();
    udev* u = dev ? udev_new() : nullptr;
    udev_device* tty = u ? ttyOfNode(u, dev) : nullptr;
    if (tty) fillIds(tty, ids);
    udev_device_unref(tty);
    udev_unref(u);
    return tty != nullptr;
}
