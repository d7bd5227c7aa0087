// The preload library seen from a program of its own: which opens it serves,
// and what the served descriptor answers.
#include <gtest/gtest.h>

#include "tests/e2e/harness.h"
#include "vtarget/virtual_clock.h"

namespace {

// Every one of the open family reaches the library, which serves COM1 as a
// pseudo-terminal: termios, TIOCEXCL and flock work, the modem bits are the
// adapter's (DTR alone: RESET high), and a request the adapter has no use
// for is refused and remembered.
TEST(Preload, ServesTheComDeviceAsAPseudoTerminal) {
    e2e::Outcome outcome = e2e::run({PORT_PROBE, "", {}});
    EXPECT_EQ(outcome.out,
              "tttttttt\ntermios: ok\nexclusive: ok\nflock: ok\nmodem bits: ok\n0x2\n"
              "output queue: Inappropriate ioctl for device\n");
    EXPECT_NE(outcome.state.find("[\"unsupported ioctl request 0x5411\"]"), std::string::npos);
}

// The port= paths are served by their spelling or as another name of the
// same device, no-port refuses them, and other paths pass on: a letter for
// each of the open family, t a terminal, f another file, - none.
TEST(Preload, ServesItsPathsThroughEveryOpen) {
    const std::string rows[][3] = {{"no-port", QUILLET_COM1_DEVICE, "--------\n"},
                                   {"port=/nonexistent/com9", "/nonexistent/com9", "tttttttt\n"},
                                   {"port=/dev/null", "/dev/./null", "tttttttt\n"},
                                   {"port=/nonexistent/com9", "/dev/null", "ffffffff\n"}};
    for (const auto& [vtarget, path, out] : rows)
        EXPECT_EQ(e2e::run({PORT_PROBE " " + path, vtarget, {}}).out, out) << vtarget << path;
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
    EXPECT_TRUE(adapter.drive(0, 0));
    EXPECT_EQ(read(), start + 6000 + vtarget::kDefaultCallNs);
}

}  // namespace
