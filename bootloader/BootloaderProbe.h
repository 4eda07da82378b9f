#pragma once
// Finds out whether the microcontroller's system bootloader listens on a line, as it does after a
// firmware update that stopped half-way: the generator then no longer answers its own protocol.
#include "serial/SerialIo.h"

// Reply wait for each probe byte; a bootloader answers within a byte time.
constexpr unsigned kProbeReplyMs = 1000;
// Input quiet before the probe: whatever earlier traffic provoked is discarded first.
constexpr unsigned kProbeQuietMs = 100;

// Opens dev as the bootloader speaks: 115200 bit/s, 8 data bits, even parity, 1 stop bit.
bool openBootloaderLine(SerialIo& line, const char* dev);

// On an open bootloader line: flushes the input and sends 0x7F. A fresh bootloader answers it
// (ACK); one synchronised earlier takes it as a command byte and waits for its complement, so a
// second 0x7F then draws a NACK. An ACK or a NACK to either byte means a bootloader is there,
// synchronised and waiting for a command. Nothing else is sent.
bool probeBootloader(SerialIo& line);
