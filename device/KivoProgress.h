#pragma once

// Progress sink of long device operations: percent runs 0..100; false asks the operation to stop.
// Sinks are owned by their creators and never deleted through this interface.
class KivoProgress {
public:
    virtual bool progress(double percent) = 0;

protected:
    ~KivoProgress() = default;
};
