#pragma once
// Every stream made by SerialIo::PlatformSIo() in a binary linked with RecordedStreams.cpp
// (and -Wl,--wrap=_ZN8SerialIo11PlatformSIoEv) records its initialize arguments: a pty cannot
// show parity or data bits, so they are checked where they are set. A muted port is deaf and
// dumb: what is written there vanishes and a wait ends at once, as its time-out would.
#include <string>
#include <vector>

namespace recorded {
// One "115200 8N1" / "115200 8E1" entry per initialize call so far; clear() forgets them
// and the mutes.
std::vector<std::string> framings();
void clear();
// Mutes dev for the streams opened from now on at framing ("115200 8N1"), or at any if empty.
void mute(const std::string& dev, const std::string& framing = std::string());
} // namespace recorded
