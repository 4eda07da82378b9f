#pragma once
// Driver settings of an open terminal line that speed up protocol turnarounds; one
// implementation per platform, chosen by the build.
struct SIoUnixState;

// Asks the driver for low latency where it offers it; a line that refuses is left as it is.
void tuneLine(SIoUnixState& s);
// Puts back what tuneLine changed, before the descriptor is closed.
void untuneLine(SIoUnixState& s);
