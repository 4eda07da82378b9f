#pragma once
// Installs firmware from an Intel HEX file: ping the generator, send it into its bootloader,
// release the link, then erase, write and start through the bootloader client on the same port.
#include "jobs/JobTypes.h"

#include <QString>

#include <functional>
#include <memory>

class KivoIo;
class SerialIo;
class Stm32Bootload;

struct FirmwareRequest {
    QString hexPath;
    KivoIo* link = nullptr;     // the verified link; may be null (the job then stops at once)
    SerialIo* stream = nullptr; // the open stream under link; its devName() is the port to reopen
    // Called once after the bootloader command and its pause: the caller deletes link and stream
    // (closing the port) and forgets them. The job never touches either afterwards.
    std::function<void()> releaseLink;
    // Builds the bootloader client (for example one whose progress() drives a GUI); null means a
    // plain client whose write progress goes to the callbacks. Its write_flash progress result is
    // the caller's business then.
    std::function<std::shared_ptr<Stm32Bootload>()> makeLoader;
    // Reads the flash back before Go and fails at the first differing address.
    bool verify = false;
    // Asks the bootloader for its command list and uses the Extended Erase mass erase when it
    // offers 0x44 but not 0x43.
    bool eraseFallback = false;
};

// Runs the whole update synchronously. Failure messages name the failing step exactly as the
// wizard shows them ("Couldn't read " + path, "Couldn't verify KIVO", ...).
JobResult runFirmwareJob(const FirmwareRequest& request, const JobCallbacks& callbacks);
