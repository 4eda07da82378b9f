#pragma once
// Simulator options for tests of the protocol and the flows rather than of the hardware's pace:
// the chip's erase and programming times are left out, and a slot erase answers within the
// console's own silence, as a small slot would. Rows that keep the hardware's timings say so.
#include "sim/KivoSim.h"

inline KivoSim::Options quickSim(KivoSim::Options o = {}) {
    o.timings = KivoSim::Timings::none();
    o.timings.slotEraseMs = 20;
    return o;
}
