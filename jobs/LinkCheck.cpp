#include "jobs/LinkCheck.h"

#include "bootloader/BootloaderProbe.h"
#include "device/KivoIo.h"
#include "jobs/IdleLine.h"

#include <string>

std::unique_ptr<SerialIo> findBootloader(const char* dev, KivoProgress* idle, TimeSource& time) {
    std::unique_ptr<SerialIo> line(new IdleLine(SerialIo::ForPort(dev), idle, time));
    if (!openBootloaderLine(*line, dev) || !probeBootloader(*line)) return nullptr;
    return line;
}

PortState checkPort(KivoIo& link, const char* dev, const std::function<void()>& release) {
    if (link.ping(kPingTries)) return PortState::Generator;
    const std::string path = dev ? dev : ""; // dev may die with the link's stream
    release();
    return findBootloader(path.c_str(), nullptr) ? PortState::Bootloader : PortState::Silent;
}
