// A libftdi1 program on the virtual FT232R: what it finds, the pins it reads
// back, and the chip behind them with quillet's wiring.
#include "tests/e2e/harness.h"
#include "tests/messages.h"

namespace {

using messages::kWritten;
const std::string kRelease = messages::kDisconnect + messages::kEoj;

// Programming Enable, two bytes a bit: MOSI on D0 and SCK on D2, each
// asserted (high at the chip) while its pin is low; D4 high holds RESET low.
std::string enableBytes() {
    std::string hex;
    for (int i = 31; i >= 0; --i)
        hex += (0xAC530000u >> i) & 1 ? "FEFA" : "FFFB";
    return hex;
}

// MISO, DSR# inverted on D5, in the sample after each bit's SCK-low byte:
// the one-sample lag of synchronous bit-bang.
std::uint32_t misoWord(const std::string& samples) {
    std::uint32_t word = 0;
    for (std::size_t bit = 0; bit < 32; ++bit)
        word = word << 1 | ((std::stoul(samples.substr(4 * bit + 2, 2), nullptr, 16) & 0x20) == 0);
    return word;
}

TEST(Ft232r, OpensOnlyWithTheKeyAndClocksTheChipThroughInvertedPins) {
    const std::string session = " EFFF w " + enableBytes();
    const struct {
        std::string vtarget, args, out;  // out: the lines before the enable's samples
        std::uint64_t violations;
    } rows[] = {{"", "- 9375", "open -3\n", 0},
                {"ft232r=A9X1", "QUILLET1 9375", "open -3\n", 0},
                {"ft232r=A9X1", "A9X1 9375 FFEFEBEAFF", "open 0\nFFFFEFEBEA\n", 0},
                // 1.67 us a sample at 9375 baud, times 4, times 16; 1.56 us at 10000.
                {"ft232r", "- 9375" + session, "open 0\nFFEF\n", 0},
                {"ft232r", "- 10000" + session, "open 0\nFFEF\n", 62},
                // The device vanishes after the latency, bit mode, baud rate and flush.
                {"ft232r,fail-after=4", "- 9375 FF", "open 0\nerror: usb bulk write failed\n", 0}};
    for (const auto& row : rows) {
        e2e::Outcome outcome = e2e::run({FTDI_PROBE " " + row.args, row.vtarget, {}});
        ASSERT_EQ(outcome.out.substr(0, row.out.size()), row.out) << row.args;
        EXPECT_EQ(outcome.number("violation_count"), row.violations) << row.args;
        if (row.args.find(session) == std::string::npos) continue;
        EXPECT_EQ(misoWord(outcome.out.substr(row.out.size())), 0x5300u) << row.args;
        if (row.violations == 0) {
            // Four control requests, two reads, the bit mode's reset; 20 ms
            // asleep, 1 ms a round trip, 66 samples of 1.67 us.
            EXPECT_EQ(outcome.number("usb_round_trips"), 7u);
            EXPECT_EQ(outcome.number("virtual_us"), 27110u);
        }
    }
}

// The shipped quillet through --port=ftdi: the same runs, messages and exit
// codes as through a serial port, and a chip that keeps its SCK minimum.
TEST(Ft232r, CarriesQuilletsRuns) {
    const std::string image = e2e::record(0, "\x0A\xC0\xFF\xCF") + e2e::kEndRecord;
    const std::string eeprom = e2e::record(0, "\x01\x02") + e2e::kEndRecord;
    const std::string quillet = QUILLET_BINARY " --port=ftdi";
    const struct {
        std::string vtarget, command;
        int code;
        std::string said;   // in standard error
        std::string flash;  // the chip's first flash bytes, hexadecimal ("": not looked at)
    } rows[] = {
        {"ft232r", quillet + " /f:211 /l:0 blink.hex", 0, "lock bits 00 written\n" + kRelease,
         "0AC0FFCFFF"},
        {"ft232r,model=15", quillet + "  --fast data.eep", 0, kWritten + kRelease, ""},
        {"ft232r,flash-in=flash.bin",
         quillet + " --read dump.hex && " + quillet + " --verify dump.hex", 0,
         "  0 of 1024 bytes differ\n" + kRelease, "C3C3"},
        // A chip slower than its datasheet: the first byte's write time is learnt.
        {"ft232r,flash-us=20000", quillet + " --fast blink.hex", 0, kWritten, "0AC0FFCF"},
        {"ft232r=A9X1", QUILLET_BINARY " --list-ports --sysroot=.", 0, "", ""},
        {"ft232r=A9X1", QUILLET_BINARY " --port=ftdi:B2 blink.hex", 2,
         "  No FTDI FT232R or FT-X device found with serial number B2.\n", ""},
        // The device goes mid-run, after 40 USB transfers.
        {"ft232r,fail-after=40", quillet + " blink.hex", 5,
         ">>> Port ftdi stopped answering (adapter unplugged?). Programming canceled!\n=== EOJ "
         ":-)\n",
         ""}};
    for (const auto& row : rows) {
        e2e::Outcome outcome = e2e::run({row.command,
                                         row.vtarget,
                                         {{"blink.hex", image},
                                          {"data.eep", eeprom},
                                          {"flash.bin", std::string(1024, '\xC3')}}});
        EXPECT_EQ(outcome.code, row.code) << row.command << outcome.err;
        EXPECT_NE(outcome.err.find(row.said), std::string::npos) << row.command << outcome.err;
        if (row.command.find("--list-ports") != std::string::npos) {
            EXPECT_EQ(outcome.out,
                      "ftdi:A9X1  FT232R bit-bang (libftdi1) 0403:6001  serial A9X1  \"FT232R "
                      "USB UART\"\n");
        }
        EXPECT_EQ(outcome.field("flash").substr(0, row.flash.size()), row.flash);
        EXPECT_EQ(outcome.number("violation_count"), 0u) << row.command;
    }
}

}  // namespace
