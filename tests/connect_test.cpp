// Reset, synchronisation, the protected-target erase and identification.
#include "isp/connect.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "tests/support.h"

namespace {

using testsupport::AttachedChip;

long countOf(const vtarget::Chip& chip, const std::string& line) {
    return std::count(chip.trace().begin(), chip.trace().end(), line);
}

struct Sync {
    int echoAt;  // 0: never
    bool synchronised;
    long attempts;
    long pulses;
};

class Synchronisation : public ::testing::TestWithParam<Sync> {};

TEST_P(Synchronisation, RetriesWithOneExtraClockUntilTheEcho) {
    vtarget::Config config = testsupport::tracing();
    config.syncAttempt = GetParam().echoAt;
    AttachedChip target(config);
    testing::internal::CaptureStderr();
    EXPECT_EQ(isp::connect(), GetParam().synchronised);
    std::string output = testing::internal::GetCapturedStderr();

    // Each attempt reads MISO 8 times; a synchronised chip is then read for fuse and lock twice.
    long reads = 8 * GetParam().attempts + (GetParam().synchronised ? 24 : 0);
    EXPECT_EQ(static_cast<long>(target.chip.statusReads()), reads);
    EXPECT_EQ(countOf(target.chip, "SLEEP 10"), GetParam().pulses);
    if (GetParam().synchronised) {
        EXPECT_EQ(output, "  Lock bits readed = 06h, fuse bits readed = 12h\n");
        EXPECT_TRUE(target.chip.inProgrammingMode());
    } else {
        EXPECT_EQ(output, ">>>Sync error (possibly disconnected device). Programming canceled!\n");
        EXPECT_FALSE(target.chip.pinLevel(vtarget::Pin::Reset));
    }
    EXPECT_TRUE(target.chip.violations().empty());
}

INSTANTIATE_TEST_SUITE_P(Attempts, Synchronisation,
                         ::testing::Values(Sync{1, true, 1, 0}, Sync{2, true, 2, 1},
                                           Sync{17, true, 17, 16}, Sync{32, true, 32, 31},
                                           Sync{0, false, 32, 32}),
                         [](const auto& info) {
                             return "EchoAt" + std::to_string(info.param.echoAt);
                         });

TEST(Connect, ResetSequenceComesFirst) {
    AttachedChip target(testsupport::tracing());
    testing::internal::CaptureStderr();
    ASSERT_TRUE(isp::connect());
    testing::internal::GetCapturedStderr();
    std::vector<std::string> start(target.chip.trace().begin(), target.chip.trace().begin() + 8);
    EXPECT_EQ(start, (std::vector<std::string>{"MOSI 1", "SCK 0", "RESET 0", "SLEEP 2000",
                                               "RESET 1", "SLEEP 50", "RESET 0", "SLEEP 50"}));
}

TEST(Connect, AbsentChipIsASyncError) {
    vtarget::Config config;
    config.absent = true;
    AttachedChip target(config);
    testing::internal::CaptureStderr();
    EXPECT_FALSE(isp::connect());
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              ">>>Sync error (possibly disconnected device). Programming canceled!\n");
}

struct Protection {
    unsigned lock;
    bool stubborn;
    bool erased;
};

class ProtectedTarget : public ::testing::TestWithParam<Protection> {};

TEST_P(ProtectedTarget, IsErasedInsideConnect) {
    vtarget::Config config = testsupport::tracing();
    config.lock = static_cast<std::uint8_t>(GetParam().lock);
    config.stubbornLock = GetParam().stubborn;
    config.flash[0] = 0x12;
    AttachedChip target(config);
    testing::internal::CaptureStderr();
    EXPECT_TRUE(isp::connect());
    char expected[160];
    std::snprintf(expected, sizeof expected,
                  "  Lock bits readed = %02Xh, fuse bits readed = 12h\n%s", GetParam().lock,
                  GetParam().erased ? "  Device is protected, erasing now. Please wait...\n" : "");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), expected);
    EXPECT_EQ(countOf(target.chip, "SLEEP 5000"), GetParam().erased ? 1 : 0);
    EXPECT_EQ(target.chip.flash()[0], GetParam().erased ? 0xFF : 0x12);
    // The lock is not read a third time to confirm the erase.
    EXPECT_EQ(target.chip.instructions().at("read_lock"), 2u);
}

INSTANTIATE_TEST_SUITE_P(LockBits, ProtectedTarget,
                         ::testing::Values(Protection{0x06, false, false},
                                           Protection{0x04, false, true},
                                           Protection{0x02, false, true},
                                           Protection{0x00, false, true},
                                           Protection{0x00, true, true}));

struct Identity {
    const char* name;
    std::array<std::uint8_t, 3> signature;
    unsigned lock;
    int model;
    const char* message;
    bool calibrationRead;
};

class Identification : public ::testing::TestWithParam<Identity> {};

TEST_P(Identification, AcceptsOnlyTheFourOneKilobyteModels) {
    vtarget::Config config;
    config.signature = GetParam().signature;
    config.lock = static_cast<std::uint8_t>(GetParam().lock);
    config.calibration = 0x5A;
    AttachedChip target(config);
    testsupport::enterProgrammingMode();
    testing::internal::CaptureStderr();
    EXPECT_EQ(isp::identify(), GetParam().model);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), GetParam().message);
    EXPECT_EQ(target.chip.instructions().count("read_calibration"),
              GetParam().calibrationRead ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Signatures, Identification,
    ::testing::Values(
        Identity{"Tiny10", {0x1E, 0x90, 0x03}, 0x06, 10, "  ATTiny10 detected!\n", false},
        Identity{"Tiny11", {0x1E, 0x90, 0x04}, 0x06, 11, "  ATTiny11 detected!\n", false},
        Identity{"Tiny12",
                 {0x1E, 0x90, 0x05},
                 0x06,
                 12,
                 "  ATTiny12 detected! Calibration byte readed = 5Ah\n",
                 true},
        Identity{"Tiny15",
                 {0x1E, 0x90, 0x06},
                 0x06,
                 15,
                 "  ATTiny15 detected! Calibration byte readed = 5Ah\n",
                 true},
        Identity{"OtherModel",
                 {0x1E, 0x90, 0x07},
                 0x06,
                 0,
                 ">>> This ATTiny device is not supported. Programming canceled!\n",
                 false},
        Identity{"OtherSize",
                 {0x1E, 0x91, 0x06},
                 0x06,
                 0,
                 ">>> Wanted Atmel device must have exactly 1 KB flash! Programming canceled!\n",
                 false},
        Identity{"NotAtmel",
                 {0xFF, 0xFF, 0xFF},
                 0x06,
                 0,
                 ">>> Non-Atmel device detected! Programming canceled!\n",
                 false},
        Identity{"BothLocks",
                 {0x1E, 0x90, 0x05},
                 0x00,
                 0,
                 ">>> Atmel device have both lock bits on. Device type can't be defined. "
                 "Programming canceled!\n",
                 false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SupportedModels, SignaturesAndNumbersAreDistinctAndMessagesNameTheModel) {
    for (const isp::SupportedModel& a : isp::kSupportedModels) {
        std::string name = "ATTiny" + std::to_string(a.model) + " detected!";
        EXPECT_NE(std::string(a.message).find(name), std::string::npos) << a.message;
        EXPECT_EQ(std::string(a.message).find("%02X") != std::string::npos, a.hasCalibration);
        for (const isp::SupportedModel& b : isp::kSupportedModels) {
            if (&a == &b) continue;
            EXPECT_NE(a.signature, b.signature);
            EXPECT_NE(a.model, b.model);
        }
    }
}

}  // namespace
