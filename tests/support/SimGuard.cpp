#include "tests/support/SimGuard.h"

#include "sim/KivoSim.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>

namespace {
std::atomic<uint64_t> expected{0};

class Guard : public testing::EmptyTestEventListener {
    uint64_t before = 0;
    void OnTestStart(const testing::TestInfo&) override {
        before = KivoSim::violationsInProcess();
        expected = 0;
    }
    void OnTestEnd(const testing::TestInfo&) override {
        const uint64_t seen = KivoSim::violationsInProcess() - before;
        if (seen == expected) return;
        std::string last;
        for (const std::string& t : KivoSim::recentViolations()) last += "\n  " + t;
        ADD_FAILURE() << seen << " simulator violations where " << expected
                      << " were expected; the last ones:" << last;
    }
};

const bool installed = [] {
    testing::UnitTest::GetInstance()->listeners().Append(new Guard);
    return true;
}();
} // namespace

void simguard::expectViolations(uint64_t n) {
    expected += n;
}
