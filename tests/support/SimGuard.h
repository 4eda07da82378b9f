#pragma once
// Every gtest binary linked with the simulator fails a test that leaves a simulator violation
// it did not announce here beforehand (violations of all simulators of the process count).
#include <cstdint>

namespace simguard {
void expectViolations(uint64_t n);
}
