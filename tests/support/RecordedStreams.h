#pragma once
// Every stream made by SerialIo::PlatformSIo() in a binary linked with RecordedStreams.cpp
// (and -Wl,--wrap=_ZN8SerialIo11PlatformSIoEv) records its initialize arguments: a pty cannot
// show parity or data bits, so they are checked where they are set.
#include <string>
#include <vector>

namespace recorded {
// One "115200 8N1" / "115200 8E1" entry per initialize call so far; clear() forgets them.
std::vector<std::string> framings();
void clear();
} // namespace recorded
