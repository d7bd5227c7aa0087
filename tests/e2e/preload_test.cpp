// The preload library seen from a program of its own: which opens it serves,
// what the served descriptor answers, and the virtual clock.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/e2e/harness.h"
#include "vtarget/virtual_clock.h"

namespace {

using e2e::Child;
using e2e::Outcome;

TEST(Preload, ServesTheComDeviceAsAPseudoTerminal) {
    Outcome outcome = e2e::run({"port_probe", {"line"}, "", "", {}});
    EXPECT_EQ(outcome.code, 0);
    // termios, TIOCEXCL and flock reach the pseudo-terminal; a request the
    // adapter has no use for is refused and remembered.
    EXPECT_EQ(outcome.out,
              "tty: yes\n"
              "tcgetattr: ok\n"
              "tcsetattr: ok\n"
              "exclusive: ok\n"
              "flock: ok\n"
              "rts on: ok\n"
              "break on: ok\n"
              "status: ok\n"
              "rts 1 dtr 1 dsr 0\n"
              "window size: Inappropriate ioctl for device\n"
              "close: ok\n");
    EXPECT_EQ(outcome.trace, (std::vector<std::string>{"SCK 1", "MOSI 1", "MISO 0"}));
    EXPECT_EQ(outcome.number("line_calls"), 2u);
    EXPECT_EQ(outcome.number("status_reads"), 1u);
    const auto& violations = outcome.state.fields.at("violations").items;
    ASSERT_EQ(violations.size(), 1u);
    EXPECT_EQ(violations[0].text, "unsupported ioctl request 0x5413");
}

struct Opening {
    const char* name;
    std::string vtarget;
    std::string path;
    std::string call;
    std::string out;
};

void PrintTo(const Opening& param, std::ostream* out) {
    *out << param.name;
}

class Openings : public ::testing::TestWithParam<Opening> {};

TEST_P(Openings, ServedPathsAnswerWithAPseudoTerminal) {
    Outcome outcome = e2e::run(
        {"port_probe", {"open", GetParam().path, GetParam().call}, GetParam().vtarget, "", {}});
    EXPECT_EQ(outcome.code, 0);
    EXPECT_EQ(outcome.out, GetParam().out);
}

const std::string kServed = "open: ok\ntty: yes\n";
const std::string kMissing = "open: No such file or directory\n";

INSTANTIATE_TEST_SUITE_P(
    Table, Openings,
    ::testing::Values(
        Opening{"ComDevice", "", QUILLET_COM1_DEVICE, "open", kServed},
        Opening{"ComDeviceOpen64", "", QUILLET_COM1_DEVICE, "open64", kServed},
        Opening{"ComDeviceOpenat", "", QUILLET_COM1_DEVICE, "openat", kServed},
        Opening{"ComDeviceOpenat64", "", QUILLET_COM1_DEVICE, "openat64", kServed},
        Opening{"ComDeviceFortifiedOpen", "", QUILLET_COM1_DEVICE, "__open_2", kServed},
        Opening{"ComDeviceFortifiedOpen64", "", QUILLET_COM1_DEVICE, "__open64_2", kServed},
        Opening{"ComDeviceFortifiedOpenat", "", QUILLET_COM1_DEVICE, "__openat_2", kServed},
        Opening{"ComDeviceFortifiedOpenat64", "", QUILLET_COM1_DEVICE, "__openat64_2", kServed},
        Opening{"PortSetting", "port=/nonexistent/com9", "/nonexistent/com9", "open", kServed},
        Opening{"PortSettingAddsToComDevice", "port=/nonexistent/com9", QUILLET_COM1_DEVICE,
                "openat", kServed},
        // A harmless device stands in for the port under a second name.
        Opening{"SameDeviceUnderAnotherName", "port=/dev/null", "/dev/./null", "openat", kServed},
        Opening{"NoPort", "no-port", QUILLET_COM1_DEVICE, "open", kMissing},
        Opening{"OtherPathsPassOn", "port=/nonexistent/com9", "/nonexistent/com8", "open",
                kMissing},
        Opening{"OtherPathsPassOnFortified", "", "/nonexistent/com8", "__openat64_2", kMissing}),
    [](const auto& info) { return std::string(info.param.name); });

struct Adoption {
    const char* name;
    std::string vtarget;
    std::string out;
    std::vector<std::string> trace;
};

void PrintTo(const Adoption& param, std::ostream* out) {
    *out << param.name;
}

class Adoptions : public ::testing::TestWithParam<Adoption> {};

// A pseudo-terminal the program opened without the library, as Wine's
// program gets the port from Wine's server: only serve-ptys serves it, and
// only its slave side.
TEST_P(Adoptions, PseudoTerminalsOpenedElsewhere) {
    Outcome outcome = e2e::run({"port_probe", {"pty"}, GetParam().vtarget, "", {}});
    EXPECT_EQ(outcome.code, 0);
    EXPECT_EQ(outcome.out, GetParam().out);
    EXPECT_EQ(outcome.trace, GetParam().trace);
}

const std::string kNotTty = "Inappropriate ioctl for device";

INSTANTIATE_TEST_SUITE_P(
    Table, Adoptions,
    ::testing::Values(Adoption{"ServePtys",
                               "serve-ptys",
                               "master rts on: " + kNotTty +
                                   "\nslave rts on: ok\nstatus: ok\nrts 1\nclose: ok\n",
                               {"SCK 1", "MISO 0"}},
                      Adoption{"Default",
                               "",
                               "master rts on: " + kNotTty + "\nslave rts on: " + kNotTty +
                                   "\nstatus: " + kNotTty + "\nrts 0\nclose: ok\n",
                               {}}),
    [](const auto& info) { return std::string(info.param.name); });

const std::string kClockOut = "monotonic 5000000000\nwall 5\ntime 946684805\n";

TEST(Preload, SleepsPassVirtualTimeAtOnce) {
    Outcome outcome = e2e::run({"port_probe", {"clock"}, "", "", {}});
    EXPECT_EQ(outcome.code, 0);
    // 1.5 s, 250 us, 2 s, then until 5 s after the start: 1.49975 s. With no
    // line call between them they reach the chip as one wait.
    EXPECT_EQ(outcome.out, kClockOut);
    EXPECT_EQ(outcome.trace, (std::vector<std::string>{"SLEEP 5000"}));
    EXPECT_EQ(outcome.number("sleep_us"), 5000000u);
    // Then 1 ms of spinning on the clock.
    EXPECT_EQ(outcome.number("virtual_us"), 5001000u);
    EXPECT_LT(outcome.seconds, 2.0);
}

// A program may read the clock twice to see whether it moves, and sleep if
// not; one that spins on it must still get to its deadline.
TEST(VirtualClock, StandsForAFewReadsThenMovesAMicrosecondARead) {
    vtarget::Chip chip;
    vtarget::Adapter adapter(chip, {});
    vtarget::VirtualClock clock(adapter);
    auto read = [&clock] { return clock.read(vtarget::VirtualClock::Epoch::Uptime); };
    std::uint64_t start = read();
    for (std::uint64_t i = 1; i < vtarget::VirtualClock::kFreeReads; ++i)
        EXPECT_EQ(read(), start);
    EXPECT_EQ(read(), start + 1000);
    // A sleep or a call ends the watch: the reads after it are free again.
    adapter.sleep(5000);
    EXPECT_EQ(read(), start + 6000);
    EXPECT_EQ(read(), start + 6000);
    unsigned levels = 0;
    EXPECT_TRUE(adapter.read(levels));
    EXPECT_EQ(read(), start + 6000 + vtarget::kDefaultCallNs);
}

// The shell gets the library too, and exits after the program it ran.
TEST(Preload, WrapperLeavesTheProgramsStateAlone) {
    Outcome outcome = e2e::run({"/bin/sh", {"-c", PORT_PROBE " clock; true"}, "", "", {}});
    EXPECT_EQ(outcome.code, 0);
    EXPECT_EQ(outcome.out, kClockOut);
    EXPECT_EQ(outcome.number("sleep_us"), 5000000u);
}

}  // namespace
