#pragma once
// Whether the generator answers on a port and, when it does not, whether its bootloader does: a
// firmware update that stopped half-way leaves it there, deaf to its own protocol.
#include "serial/SerialIo.h"
#include "serial/TimeSource.h"

#include <functional>
#include <memory>

class KivoIo;
class KivoProgress;

constexpr int kPingTries = 3;

enum class PortState { Generator, Bootloader, Silent };

// Opens dev at the bootloader's framing and probes it (probeBootloader), slicing its waits for
// idle when not null (on time). The open line, synchronised and ready for a command, when a
// bootloader answered; null otherwise.
std::unique_ptr<SerialIo> findBootloader(const char* dev, KivoProgress* idle,
                                         TimeSource& time = TimeSource::real());

// Pings the generator on link. When nothing answers, calls release, which must delete the link
// and close its port, and probes dev (a copy is kept) for the bootloader.
PortState checkPort(KivoIo& link, const char* dev, const std::function<void()>& release);
