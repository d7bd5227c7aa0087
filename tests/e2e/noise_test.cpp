// Noise replays: the same seed, or the same targeted event, gives the same
// events, transcript and chip twice, on a serial port and on the FT232R.
#include "tests/e2e/harness.h"

namespace {

// The FT232R rows, where the build drives FTDI chips.
#ifdef FTDI_PROBE
constexpr bool kFtdi = true;
#else
constexpr bool kFtdi = false;
#endif

TEST(Noise, ATargetedOrSeededRunReplaysExactly) {
    std::string image;
    for (unsigned a = 0; a < 1024; a += 16)
        image += e2e::record(a, std::string(16, static_cast<char>(a / 16 * 37 + 11)));
    image += e2e::kEndRecord;
    const std::string ftdi = QUILLET_BINARY " --port=ftdi";
    const struct {
        std::string vtarget, command, event;  // event: the first one the state lists
    } rows[] = {
        // The first Programming Enable's echo misread during a read.
        {"noise-at=miso:2", QUILLET_BINARY " --read dump.hex", "\"miso\", \"call\": 2,"},
        {"noise-seed=7,noise-sck-extra=1e-4", QUILLET_BINARY " full.hex", "\"sck-extra\""},
        {"adapter=ch340,noise-seed=3,noise-mosi=1e-4,noise-at=sck-drop:20000,miso:9",
         QUILLET_BINARY " --fast full.hex", "\"miso\", \"call\": 9,"},
        {"ft232r,noise-seed=7,noise-sck-drop=1e-4", ftdi + " full.hex", "\"sck-drop\""},
        {"ft232r,noise-at=mosi-bit:500", ftdi + " --fast full.hex", "\"mosi-bit\", \"call\": 500,"},
    };
    for (const auto& row : rows) {
        if (!kFtdi && row.vtarget.find("ft232r") == 0) continue;
        e2e::Outcome first = e2e::run({row.command, row.vtarget, {{"full.hex", image}}});
        e2e::Outcome second = e2e::run({row.command, row.vtarget, {{"full.hex", image}}});
        EXPECT_NE(first.state.find("{\"kind\": " + row.event), std::string::npos)
            << row.vtarget << first.state;
        EXPECT_EQ(first.code, second.code) << row.vtarget;
        EXPECT_EQ(first.err, second.err) << row.vtarget;
        EXPECT_EQ(first.state, second.state) << row.vtarget;
    }
}

}  // namespace
