// Synchronisation: Programming Enable until the echo, one extra clock after each miss.
#include "isp/connect.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "tests/support.h"

namespace {

class Synchronisation : public ::testing::TestWithParam<int> {};

TEST_P(Synchronisation, RetriesWithOneExtraClockUntilTheEcho) {
    int echoAt = GetParam();  // 0: never
    vtarget::Config config = testsupport::tracing();
    config.syncAttempt = echoAt;
    testsupport::AttachedChip target(config);
    testing::internal::CaptureStderr();
    EXPECT_EQ(isp::connect(false, true) != isp::Connection::NoSync, echoAt != 0);
    testing::internal::GetCapturedStderr();
    long attempts = echoAt == 0 ? 32 : echoAt;
    long pulses = echoAt == 0 ? 32 : echoAt - 1;
    // Each attempt reads MISO 8 times; a synchronised chip is then read for fuse and lock twice.
    EXPECT_EQ(static_cast<long>(target.chip.statusReads()), 8 * attempts + (echoAt ? 24 : 0));
    const auto& trace = target.chip.trace();
    EXPECT_EQ(std::count(trace.begin(), trace.end(), "SLEEP 10"), pulses);
}

INSTANTIATE_TEST_SUITE_P(Attempts, Synchronisation, ::testing::Values(1, 2, 32, 0));

TEST(SupportedModels, SignaturesAndNumbersAreDistinctAndMessagesNameTheModel) {
    for (const isp::SupportedModel& a : isp::kSupportedModels) {
        std::string name = "ATTiny" + std::to_string(a.model) + " detected!";
        EXPECT_NE(std::string(a.message).find(name), std::string::npos) << a.message;
        EXPECT_EQ(std::string(a.message).find("%02X") != std::string::npos, a.hasCalibration);
        for (const isp::SupportedModel& b : isp::kSupportedModels) {
            EXPECT_TRUE(&a == &b || (a.signature != b.signature && a.model != b.model));
        }
    }
}

}  // namespace
