// Linux: a USB serial adapter of the most common kind holds received bytes for its latency
// timer (16 ms) before passing them on, and every protocol turnaround pays that. Low latency
// makes its driver hand them over at once.
#include "serial/internal/LineTuning.h"
#include "serial/internal/SIoUnixState.h"

#include <linux/serial.h>
#include <sys/ioctl.h>

void tuneLine(SIoUnixState& s) {
    serial_struct line{};
    // Pseudo-terminals and other non-serial drivers refuse the request; they have no timer.
    if (ioctl(s.fd, TIOCGSERIAL, &line) != 0 || (line.flags & ASYNC_LOW_LATENCY)) return;
    const int before = line.flags;
    line.flags |= ASYNC_LOW_LATENCY;
    if (ioctl(s.fd, TIOCSSERIAL, &line) != 0) return;
    s.savedLineFlags = before;
    s.tuned = true;
}

void untuneLine(SIoUnixState& s) {
    if (!s.tuned) return;
    s.tuned = false;
    serial_struct line{};
    if (ioctl(s.fd, TIOCGSERIAL, &line) != 0) return;
    line.flags = (line.flags & ~ASYNC_LOW_LATENCY) | (s.savedLineFlags & ASYNC_LOW_LATENCY);
    ioctl(s.fd, TIOCSSERIAL, &line);
}
