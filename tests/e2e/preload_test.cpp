// The preload library seen from a program of its own: which opens it serves,
// and what the served descriptor answers.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/e2e/harness.h"
#include "vtarget/virtual_clock.h"

namespace {

// termios, TIOCEXCL and flock reach the pseudo-terminal; a request the
// adapter has no use for is refused and remembered.
TEST(Preload, ServesTheComDeviceAsAPseudoTerminal) {
    e2e::Outcome outcome = e2e::run({PORT_PROBE " line", "", {}});
    EXPECT_EQ(outcome.code, 0);
    EXPECT_EQ(outcome.out,
              "tty: yes\ntcgetattr: ok\ntcsetattr: ok\nexclusive: ok\nflock: ok\nrts on: ok\n"
              "break on: ok\nstatus: ok\nrts 1 dtr 1 dsr 0\n"
              "window size: Inappropriate ioctl for device\nclose: ok\n");
    EXPECT_EQ(outcome.trace, (std::vector<std::string>{"SCK 1", "MOSI 1", "MISO 0"}));
    EXPECT_NE(outcome.state.find("\"violations\": [\"unsupported ioctl request 0x5413\"]"),
              std::string::npos)
        << outcome.state;
}

// Every spelling of open reaches the library; other paths pass on.
TEST(Preload, ServesItsPathsThroughEveryOpen) {
    const std::string served = "open: ok\ntty: yes\n";
    const std::string missing = "open: No such file or directory\n";
    struct Row {
        std::string vtarget, path, call, out;
    };
    std::vector<Row> rows = {
        {"port=/nonexistent/com9", "/nonexistent/com9", "open", served},
        {"port=/dev/null", "/dev/./null", "openat", served},  // the same device, another name
        {"no-port", QUILLET_COM1_DEVICE, "open", missing},
        {"port=/nonexistent/com9", "/nonexistent/com8", "__openat64_2", missing}};
    for (const char* call : {"open", "open64", "openat", "openat64", "__open_2", "__open64_2",
                             "__openat_2", "__openat64_2"})
        rows.push_back({"", QUILLET_COM1_DEVICE, call, served});
    for (const Row& row : rows) {
        e2e::Outcome outcome =
            e2e::run({PORT_PROBE " open " + row.path + " " + row.call, row.vtarget, {}});
        EXPECT_EQ(outcome.out, row.out) << row.path << " " << row.call;
    }
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

}  // namespace
