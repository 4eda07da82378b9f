// ports, ping, versions, get and set: one short conversation with one generator each.
#include "cli/Cli.h"
#include "cli/Commands.h"
#include "cli/Port.h"
#include "cli/Settings.h"

#include "device/KivoIo.h"
#include "serial/SerialPorts.h"

#include <functional>
#include <vector>

namespace kivo {
namespace {

const char* const kAllSettings = "all";

// Resolves the single PORT of a device command; prints the refusal.
bool singlePort(const std::string& given, PortTarget& target, Console& con, int& status) {
    std::string error;
    if (given.find(',') != std::string::npos) {
        con.error("only 'ping', 'pattern' and 'firmware' take a list of ports\n");
        status = ExitUsage;
        return false;
    }
    if (!resolvePort(given, target, error, status)) {
        con.error("%s", error.c_str());
        return false;
    }
    return true;
}

// Opens the single PORT of a device command, verifies a generator there and hands the link on.
int withVerifiedLink(const std::string& given, Console& con,
                     const std::function<int(Connection&)>& talk) {
    PortTarget target;
    int status = ExitOk;
    if (!singlePort(given, target, con, status)) return status;
    Connection c(target);
    if (!c.openVerified(con)) return ExitFailed;
    return talk(c);
}

int getOne(KivoIo& io, const Setting& s, Console& con, const std::string& port, bool named) {
    unsigned value = 0;
    if (!s.get(io, value)) {
        con.error("Couldn't read %s from %s\n", s.name, port.c_str());
        return ExitFailed;
    }
    if (named)
        con.result("%s\t%s\n", s.name, formatSettingValue(s, value).c_str());
    else
        con.result("%s\n", formatSettingValue(s, value).c_str());
    return ExitOk;
}

} // namespace

int runPorts(const Invocation& inv, Console& con) {
    SioPort* ports = nullptr;
    unsigned count = 0;
    bool ok = enumSerialPorts(ports, count);
    for (unsigned i = 0; i < count; ++i) {
        if (!ports[i].dev) continue;
        con.result("%s\t%s", ports[i].dev, ports[i].product ? ports[i].product : "");
        SioPortIds ids;
        if (inv.options & OptLong) {
            serialPortIds(ports[i].dev, ids);
            const std::string usb = ids.vendorId.empty() ? "" : ids.vendorId + ":" + ids.productId;
            con.result("\t%s\t%s\t%s", usb.c_str(), ids.serial.c_str(), ids.byId.c_str());
        }
        con.result("\n");
    }
    freeSerialPorts(ports, count);
    if (!ok) {
        con.error("Couldn't list every serial port\n");
        return ExitFailed;
    }
    return ExitOk;
}

// Every port of a list in turn, so that a line can check each station before it starts.
int runPing(const Invocation& inv, Console& con) {
    std::vector<std::string> names;
    std::string error;
    if (!splitPortList(inv.args[0], names, error)) {
        con.error("%s\n", error.c_str());
        return ExitUsage;
    }
    int status = ExitOk;
    for (const std::string& name : names) {
        int one = withVerifiedLink(name, con, [&con](Connection& c) {
            con.result("Kivo found on %s\n", c.name().c_str());
            return int(ExitOk);
        });
        if (one != ExitOk) status = status == ExitOk || one == ExitFailed ? one : status;
    }
    return status;
}

int runVersions(const Invocation& inv, Console& con) {
    return withVerifiedLink(inv.args[0], con, [&con](Connection& c) {
        unsigned v[4] = {0, 0, 0, 0};
        if (!c.link()->getVersions(v[0], v[1], v[2], v[3])) {
            con.error("Couldn't read the versions from %s\n", c.name().c_str());
            return int(ExitFailed);
        }
        for (int i = 0; i < 4; ++i) con.result("version%d 0x%08x\n", i + 1, v[i]);
        return int(ExitOk);
    });
}

int runGet(const Invocation& inv, Console& con) {
    const std::string& name = inv.args[1];
    const Setting* s = findSetting(name);
    if (!s && name != kAllSettings) {
        con.error("unknown setting '%s' (see 'kivo get --help')\n", name.c_str());
        return ExitUsage;
    }
    return withVerifiedLink(inv.args[0], con, [&con, s](Connection& c) {
        if (s) return getOne(*c.link(), *s, con, c.name(), false);
        int status = ExitOk;
        for (const Setting& each : settings()) {
            int r = getOne(*c.link(), each, con, c.name(), true);
            if (r != ExitOk) status = r;
        }
        return status;
    });
}

int runSet(const Invocation& inv, Console& con) {
    const Setting* s = findSetting(inv.args[1]);
    if (!s) {
        con.error("unknown setting '%s' (see 'kivo set --help')\n", inv.args[1].c_str());
        return ExitUsage;
    }
    unsigned value = 0;
    if (!parseSettingValue(*s, inv.args[2], value)) {
        con.error("'%s' is not a value of %s (see 'kivo set --help')\n", inv.args[2].c_str(),
                  s->name);
        return ExitUsage;
    }
    return withVerifiedLink(inv.args[0], con, [&con, s, value](Connection& c) {
        if (!s->set(*c.link(), value)) {
            con.error("Couldn't write %s to %s\n", s->name, c.name().c_str());
            return int(ExitFailed);
        }
        return int(ExitOk);
    });
}

} // namespace kivo
