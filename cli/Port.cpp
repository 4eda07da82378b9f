#include "cli/Port.h"
#include "cli/Cli.h"

#include "device/KivoIo.h"
#include "jobs/LinkCheck.h"
#include "serial/SIoUnix.h"
#include "serial/SerialPorts.h"
#include "sim/KivoSim.h"

#include <cerrno>
#include <cstring>
#include <grp.h>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

namespace kivo {
namespace {

const char* const kSimPort = "sim";
const char* const kDevDir = "/dev/";
constexpr unsigned kDataBits = 8;
constexpr unsigned kStopBits = 1;

// The device paths of the listed ports with this product name, in scan order.
std::vector<std::string> devicesOfProduct(const std::string& product) {
    SioPort* ports = nullptr;
    unsigned count = 0;
    enumSerialPorts(ports, count);
    std::vector<std::string> devs;
    for (unsigned i = 0; i < count; ++i)
        if (ports[i].product && ports[i].dev && product == ports[i].product)
            devs.push_back(ports[i].dev);
    freeSerialPorts(ports, count);
    return devs;
}

// Two identical adapters share a name; guessing one could update the wrong generator.
std::string ambiguousName(const std::string& given, const std::vector<std::string>& devs) {
    std::string text = "'" + given + "' names " + std::to_string(devs.size()) + " ports:";
    for (const std::string& dev : devs) text += " " + dev;
    return text + "; give one of these paths, or its /dev/serial/by-id/ path "
                  "('kivo ports --long')\n";
}

bool mayOpen(const std::string& dev) {
    return access(dev.c_str(), R_OK | W_OK) == 0 || errno != EACCES;
}

} // namespace

std::string permissionHint(const std::string& dev) {
    std::string text = "Permission denied on " + dev;
    struct stat st;
    if (stat(dev.c_str(), &st) != 0) return text + "\n";
    // Joining a group helps only when that group may read and write the node; root never is one
    // to join.
    const bool groupMay = (st.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP);
    struct group* g = getgrgid(st.st_gid);
    if (!groupMay || st.st_gid == 0 || !g)
        return text + ": ask the administrator for access to it.\n";
    std::string group = g->gr_name;
    return text + ": the device belongs to group '" + group +
           "'.\nAdd yourself to it (sudo usermod -a -G " + group +
           " $USER), then log out and in again.\n";
}

bool resolvePort(const std::string& given, PortTarget& target, std::string& error, int& status) {
    target = PortTarget();
    target.given = given;
    status = ExitOk;
    if (given == kSimPort) {
        target.simulated = true;
        return true;
    }
    if (given.find('/') != std::string::npos) {
        target.dev = given;
    } else {
        const std::vector<std::string> devs = devicesOfProduct(given);
        if (devs.size() > 1) {
            error = ambiguousName(given, devs);
            status = ExitUsage;
            return false;
        }
        if (!devs.empty()) target.dev = devs[0];
    }
    if (target.dev.empty() && !given.empty() && access((kDevDir + given).c_str(), F_OK) == 0)
        target.dev = kDevDir + given;
    struct stat st;
    if (target.dev.empty() || stat(target.dev.c_str(), &st) != 0) {
        error = "no serial port '" + given + "' (see 'kivo ports')\n";
        status = ExitFailed;
        return false;
    }
    if (!mayOpen(target.dev)) {
        error = permissionHint(target.dev);
        status = ExitFailed;
        return false;
    }
    return true;
}

bool splitPortList(const std::string& list, std::vector<std::string>& ports, std::string& error) {
    ports.clear();
    std::set<std::string> seen;
    size_t start = 0;
    while (true) {
        size_t comma = list.find(',', start);
        std::string one = list.substr(start, comma == std::string::npos ? comma : comma - start);
        if (one.empty()) {
            error = "an empty port in the list '" + list + "'";
            return false;
        }
        // Each "sim" is a simulator of its own; any other port may appear only once.
        if (one != kSimPort && !seen.insert(one).second) {
            error = "port '" + one + "' appears twice";
            return false;
        }
        ports.push_back(one);
        if (comma == std::string::npos) return true;
        start = comma + 1;
    }
}

Connection::Connection(const PortTarget& target) : target_(target) {}

Connection::~Connection() {
    releaseLink();
    if (sim_) sim_->stop();
}

bool Connection::open(Console& con) {
    if (target_.simulated && !sim_) {
        sim_.reset(new KivoSim());
        if (!sim_->start()) {
            con.error("Couldn't start the simulated Kivo\n");
            return false;
        }
        target_.dev = sim_->slavePath();
    }
    stream_.reset(new SIoUnix());
    if (!stream_->initialize(target_.dev.c_str(), SerialIo::Baud115200, kDataBits,
                             SerialIo::ParityNone, kStopBits)) {
        int err = errno;
        if (err == EACCES)
            con.error("%s", permissionHint(target_.dev).c_str());
        else
            con.error("Couldn't open %s: %s\n", target_.dev.c_str(), strerror(err));
        stream_.reset();
        return false;
    }
    link_.reset(new KivoIo(*stream_));
    return true;
}

std::string bootloaderNotice(const std::string& port) {
    return "KIVO is in bootloader mode on " + port + ". 'kivo firmware " + port +
           " FILE.hex' recovers it.";
}

bool Connection::openVerified(Console& con) {
    if (!open(con)) return false;
    const PortState state = checkPort(*link_, target_.dev.c_str(), [this] { releaseLink(); });
    if (state == PortState::Generator) return true;
    inBootloader_ = state == PortState::Bootloader;
    if (inBootloader_)
        con.error("%s\n", bootloaderNotice(target_.given).c_str());
    else
        con.error("Kivo not found on %s\n", target_.given.c_str());
    return false;
}

void Connection::releaseLink() {
    link_.reset();
    stream_.reset();
}

} // namespace kivo
