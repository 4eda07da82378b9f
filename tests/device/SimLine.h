#pragma once
// The simulated generator and the host's port to it, keeping what the host wrote.
#include "serial/SIoUnix.h"
#include "sim/KivoSim.h"
#include "tests/device/Frames.h"
#include "tests/support/QuickSim.h"

struct SimLine : SIoUnix {
    KivoSim sim;
    KivoIo kivo{*this};
    std::string console;
    std::vector<Frame> frames;

    explicit SimLine(const KivoSim::Options& o = quickSim()) : sim(o) {
        EXPECT_TRUE(sim.start() &&
                    initialize(sim.slavePath().c_str(), Baud115200, 8, ParityNone, 1));
        sim.setReg(0x62, {3});
    }
    int write(const unsigned char* b, unsigned n) override {
        if (n && b[0] == 0xAA)
            frames.push_back(asFrame(b, n));
        else
            console.append(reinterpret_cast<const char*>(b), n);
        return SIoUnix::write(b, n);
    }
};
