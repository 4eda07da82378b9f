#include "serial/TermiosAttrs.h"

#include <gtest/gtest.h>

namespace {
termios cooked() {
    termios t{};
    t.c_iflag = ICRNL | IXON | BRKINT;
    t.c_oflag = OPOST | ONLCR;
    t.c_lflag = ICANON | ECHO | ISIG | IEXTEN;
    t.c_cflag = CS7 | CREAD | PARENB | PARODD | CSTOPB | CRTSCTS;
    cfsetispeed(&t, B4800);
    cfsetospeed(&t, B4800);
    return t;
}

struct SpeedCase {
    SerialIo::Baudrate baud;
    speed_t speed;
};

const SpeedCase kSpeedCases[] = {
    {SerialIo::Baud9600, B9600},
    {SerialIo::Baud19200, B19200},
    {SerialIo::Baud38400, B38400},
    {SerialIo::Baud115200, B115200},
};
} // namespace

TEST(TermiosAttrs, SpeedOutsideTableLeavesSpeedAlone) {
    for (int bad : {-1, 4, 1000}) {
        auto baud = static_cast<SerialIo::Baudrate>(bad);
        termios t = buildTermiosAttrs(cooked(), baud, 8, SerialIo::ParityNone, 1);
        EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B4800)) << bad;
        EXPECT_EQ(baudSpeed(baud), static_cast<speed_t>(B0));
    }
}

TEST(TermiosAttrs, CountsOutsideTheRangeFallBack) {
    // Any data-bit count but 6, 7 and 8 is CS5; any stop-bit count but 1 sets CSTOPB.
    for (unsigned n : {0u, 4u, 9u, 100u}) {
        termios t = buildTermiosAttrs(cooked(), SerialIo::Baud115200, n, SerialIo::ParityNone, n);
        EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS5)) << n;
        EXPECT_NE(t.c_cflag & CSTOPB, 0u) << n;
    }
}

TEST(TermiosAttrs, RawModeAndUntouchedFlowControl) {
    // Framing of the bootloader line: 115200 8E1.
    termios t = buildTermiosAttrs(cooked(), SerialIo::Baud115200, 8, SerialIo::ParityEven, 1);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(t.c_iflag & (ICRNL | IXON | BRKINT), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_NE(t.c_cflag & CRTSCTS, 0u); // hardware flow control stays as the device had it
    EXPECT_NE(t.c_cflag & CREAD, 0u);
    EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | PARODD | CSTOPB), static_cast<tcflag_t>(CS8 | PARENB));
}

TEST(TermiosAttrs, EveryCombinationIsConsistent) {
    for (const SpeedCase& s : kSpeedCases)
        for (int p = 0; p <= 2; ++p)
            for (unsigned bits = 5; bits <= 8; ++bits)
                for (unsigned stop = 1; stop <= 2; ++stop) {
                    auto parity = static_cast<SerialIo::Parity>(p);
                    termios t = buildTermiosAttrs(cooked(), s.baud, bits, parity, stop);
                    const tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
                    tcflag_t want = sizes[bits - 5] | (stop == 2 ? CSTOPB : 0) |
                                    (p != 2 ? PARENB : 0) | (p == 1 ? PARODD : 0);
                    // Without parity PARODD means nothing and is left as it was.
                    tcflag_t mask = CSIZE | CSTOPB | PARENB | (p != 2 ? PARODD : 0);
                    EXPECT_EQ(t.c_cflag & mask, want)
                        << s.baud << " " << p << " " << bits << " " << stop;
                    EXPECT_EQ(cfgetispeed(&t), s.speed);
                    EXPECT_EQ(cfgetospeed(&t), s.speed);
                }
}
