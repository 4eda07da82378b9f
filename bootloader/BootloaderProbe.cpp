#include "bootloader/BootloaderProbe.h"

#include "bootloader/Stm32Bootload.h"

namespace {

constexpr unsigned kProbeBytes = 2;

bool answered(SerialIo& line) {
    unsigned char b = 0;
    if (line.readyForRead(kProbeReplyMs) != 1 || line.read(&b, 1) != 1) return false;
    return b == Stm32Proto::Ack || b == Stm32Proto::Nack;
}

} // namespace

bool openBootloaderLine(SerialIo& line, const char* dev) {
    return dev && *dev && line.initialize(dev, SerialIo::Baud115200, 8, SerialIo::ParityEven, 1);
}

bool probeBootloader(SerialIo& line) {
    line.flush(kProbeQuietMs);
    for (unsigned i = 0; i < kProbeBytes; ++i) {
        if (line.writeByte(Stm32Proto::Sync) != 1) return false;
        if (answered(line)) return true;
    }
    return false;
}
