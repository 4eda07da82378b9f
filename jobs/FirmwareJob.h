#pragma once
// Installs firmware from an Intel HEX file: ping the generator, send it into its bootloader,
// release the link, then erase, write and start through the bootloader client on the same port.
// A port where the generator does not answer but its bootloader does (an earlier update stopped
// half-way) is recovered: the image goes straight to the bootloader.
#include "jobs/JobTypes.h"

#include <QString>

#include <functional>
#include <string>

class KivoIo;
class SerialIo;
class TimeSource;

struct FirmwareRequest {
    QString hexPath;
    KivoIo* link = nullptr;     // the verified link; null when there is none
    SerialIo* stream = nullptr; // the open stream under link; its devName() is the port to reopen
    // The port's device path when there is no stream: the job opens its own link there.
    std::string port;
    // The port was found holding the generator's bootloader: no ping, no bootloader command.
    bool inBootloader = false;
    // Called once before the job reopens the port (after the bootloader command and its pause, or
    // after an unanswered ping): the caller deletes link and stream and forgets them. The job
    // never touches either afterwards.
    std::function<void()> releaseLink;
    // Reads the flash back before Go and fails at the first differing address.
    bool verify = false;
    // The clock and sleeper of the job's own pauses and sliced waits (the streams keep their
    // own); the real ones when null. A link the job opens gets it too; the caller's keeps its own.
    TimeSource* time = nullptr;
};

// Runs the whole update synchronously; every wait reports through callbacks.progress (the last
// percent again), so a caller's event loop keeps turning. Failure messages name the failing
// step exactly as the wizard shows them ("Couldn't read " + path, "Couldn't verify KIVO", ...);
// a failure that leaves the generator in its bootloader carries result.advice, which the
// failure callback gets after the message.
JobResult runFirmwareJob(const FirmwareRequest& request, const JobCallbacks& callbacks);
