#pragma once
#include "serial/SerialIo.h"
#include <termios.h>

// Line speed of a Baudrate value; B0 for a value outside the table.
speed_t baudSpeed(SerialIo::Baudrate baud);

// Raw-mode attributes for the given framing, built from the attributes a device already has.
// The modem lines are ignored (CLOCAL); flow control and the read timers stay as cfmakeraw
// leaves them. An unknown
// speed leaves the speed unchanged.
termios buildTermiosAttrs(const termios& current, SerialIo::Baudrate baud, unsigned bits,
                          SerialIo::Parity parity, unsigned stop);
