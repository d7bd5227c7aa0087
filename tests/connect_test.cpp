// The table of supported models.
#include "isp/connect.h"

#include <gtest/gtest.h>

#include <string>

namespace {

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
