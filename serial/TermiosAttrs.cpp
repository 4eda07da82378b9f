#include "serial/TermiosAttrs.h"

namespace {
const speed_t kSpeeds[] = {B9600, B19200, B38400, B115200};
const unsigned kSpeedCount = sizeof(kSpeeds) / sizeof(kSpeeds[0]);

tcflag_t charSize(unsigned bits) {
    switch (bits) {
    case 6:
        return CS6;
    case 7:
        return CS7;
    case 8:
        return CS8;
    default:
        return CS5;
    }
}
} // namespace

speed_t baudSpeed(SerialIo::Baudrate baud) {
    auto i = static_cast<unsigned>(baud);
    return i < kSpeedCount ? kSpeeds[i] : B0;
}

termios buildTermiosAttrs(const termios& current, SerialIo::Baudrate baud, unsigned bits,
                          SerialIo::Parity parity, unsigned stop) {
    termios t = current;
    cfmakeraw(&t);
    speed_t speed = baudSpeed(baud);
    if (speed != B0) {
        cfsetispeed(&t, speed);
        cfsetospeed(&t, speed);
    }
    if (parity == SerialIo::ParityNone) {
        t.c_cflag &= ~PARENB;
    } else {
        t.c_cflag |= PARENB;
        if (parity == SerialIo::ParityOdd)
            t.c_cflag |= PARODD;
        else
            t.c_cflag &= ~PARODD;
    }
    t.c_cflag = (t.c_cflag & ~CSIZE) | charSize(bits);
    if (stop == 1)
        t.c_cflag &= ~CSTOPB;
    else
        t.c_cflag |= CSTOPB;
    t.c_cflag |= CLOCAL; // the modem lines of an adapter without a modem mean nothing
    return t;
}
