#pragma once
#include "cli/Console.h"

#include <memory>
#include <string>
#include <vector>

class KivoIo;
class KivoSim;
class SerialIo;

// Naming and opening the generator behind a PORT word of the command line.
namespace kivo {

struct PortTarget {
    std::string given;       // as given: a path, a product name or "sim"
    std::string dev;        // the device path to open; empty for "sim" until the simulator runs
    bool simulated = false; // an in-process simulated generator
};

// Turns a PORT word into a target without sending anything. False, with the reason in error,
// when no such port exists or it may not be opened; status tells which exit status that is.
bool resolvePort(const std::string& given, PortTarget& target, std::string& error, int& status);

// Splits "a,b,c" into its ports; empty entries and repeats are refused.
bool splitPortList(const std::string& list, std::vector<std::string>& ports, std::string& error);

// The hint for a port that may not be opened: names the group that owns the device node.
std::string permissionHint(const std::string& dev);

// One open link: the stream on the port, the device object on it, and the simulator behind a
// "sim" port. Closing order is the reverse of opening.
class Connection {
public:
    explicit Connection(const PortTarget& target);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Opens the port at 115200 8N1; prints what went wrong.
    bool open(Console& con);
    // open(), then up to three pings; when none is answered, the port is probed for the
    // generator's bootloader: "Kivo not found on PORT", or the bootloader notice.
    bool openVerified(Console& con);
    // openVerified found the generator's bootloader instead of the generator.
    bool inBootloader() const { return inBootloader_; }
    // Deletes the link and its stream, closing the port (the simulator keeps running).
    void releaseLink();

    KivoIo* link() const { return link_.get(); }
    SerialIo* stream() const { return stream_.get(); }
    const std::string& name() const { return target_.given; }
    const std::string& dev() const { return target_.dev; }
    KivoSim* sim() const { return sim_.get(); }

private:
    PortTarget target_;
    std::unique_ptr<KivoSim> sim_;
    std::unique_ptr<SerialIo> stream_;
    std::unique_ptr<KivoIo> link_;
    bool inBootloader_ = false;
};

// What a port left in the bootloader needs: "kivo firmware" brings it back.
std::string bootloaderNotice(const std::string& port);

} // namespace kivo
