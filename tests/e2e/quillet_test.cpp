// The shipped quillet binary as a process on the virtual chip: what needs a
// real process and a real port device, and nothing the in-process runs show.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/e2e/harness.h"
#include "tests/messages.h"

namespace {

using namespace messages;

const std::string kCode("\x0A\xC0\xFF\xCF\x0F\xEF\x07\xBB\x08\xBB\x00\x95\x80\x95\xFD\xCF\x18\x95",
                        18);
const std::string kBlink =
    e2e::record(0x00, kCode.substr(0, 16)) + e2e::record(0x10, kCode.substr(16)) + e2e::kEndRecord;

e2e::Outcome quillet(const std::string& vtarget, std::vector<std::string> args) {
    args.insert(args.begin(), QUILLET_BINARY);
    return e2e::run({args, vtarget, {{"blink.hex", kBlink}}});
}

// The port device opens as a terminal, exclusively and locked, and the chip
// ends up holding the image.
TEST(Quillet, ProgramsBlinkThroughTheSerialDevice) {
    e2e::Outcome outcome = quillet("", {"/f:243", "blink.hex"});
    EXPECT_EQ(outcome.code, 0);
    EXPECT_EQ(outcome.err, kBanner + kConnect + kLockFuse + kTiny12 + kErasing +
                               "--- 1 /\r--- 2 -\r--- 3 \\\r" + kWritten +
                               "  fuse bits F3 written\n" + kDisconnect + kEoj);
    std::string flash;
    for (unsigned char byte : kCode) {
        char hex[3];
        std::snprintf(hex, sizeof hex, "%02X", byte);
        flash += hex;
    }
    EXPECT_EQ(outcome.field("flash"), flash + std::string(2048 - flash.size(), 'F'));
    EXPECT_EQ(outcome.field("fuse"), "FF");
    EXPECT_EQ(outcome.number("sleep_us"), (2000 + 50 + 50 + 2500 + 18 * 10) * 1000u);
    EXPECT_EQ(outcome.number("line_calls") + outcome.number("status_reads"),
              5u + 144 + 7 * 120 + 2 * 128 + 18 * 248 + 1);
    EXPECT_NE(outcome.state.find("\"violations\": []"), std::string::npos) << outcome.state;
    ASSERT_FALSE(outcome.trace.empty());
    EXPECT_EQ(outcome.trace.back(), "RESET 1");
}

struct Ending {
    const char* name;
    std::string vtarget;
    std::vector<std::string> args;
    int code;
    std::string last;  // the last line of standard error
};

void PrintTo(const Ending& e, std::ostream* out) {
    *out << e.name;
}

class Endings : public ::testing::TestWithParam<Ending> {};

TEST_P(Endings, ExitCodeReachesTheShell) {
    e2e::Outcome outcome = quillet(GetParam().vtarget, GetParam().args);
    EXPECT_EQ(outcome.code, GetParam().code);
    std::string err = outcome.err;
    EXPECT_EQ(err.substr(err.rfind('\n', err.size() - 2) + 1), GetParam().last);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Endings,
    ::testing::Values(
        Ending{"NoArguments", "", {}, 1, kUsage},
        Ending{"NoPort",
               "no-port",
               {"blink.hex"},
               2,
               ">>>COM-port \"COM1:\" not allowed! Programming canceled!\n"},
        Ending{"NeverSynchronised", "sync=never", {"blink.hex"}, 3, kEoj},
        Ending{"MissingImage", "", {"missing.hex"}, 4, ">>> Error opening file missing.hex\n"},
        Ending{"NotSupported", "signature=1E9007", {"blink.hex"}, 5, kDisconnect + kEoj}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Quillet, RunsInRealTime) {
    e2e::Outcome outcome = quillet("realtime", {"blink.hex"});
    EXPECT_EQ(outcome.code, 0);
    // Every wait the run must make really passed, however the sleeps were split.
    const double obligedUs = (2000 + 50 + 50 + 2500 + 18 * 10) * 1000.0;
    EXPECT_GE(static_cast<double>(outcome.number("virtual_us")), obligedUs);
    EXPECT_GE(outcome.seconds * 1e6, obligedUs);
}

// A setting the library cannot read ends the process before main: the
// program never runs on a port the library does not stand in front of.
TEST(Quillet, BadSettingEndsTheProcessBeforeMain) {
    e2e::Outcome outcome = quillet("sync=33", {"blink.hex"});
    EXPECT_EQ(outcome.code, 125);
    EXPECT_EQ(outcome.err, "vtarget: bad value '33' for sync\n");
    EXPECT_EQ(outcome.state, "");
}

}  // namespace
