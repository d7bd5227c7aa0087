// The chip's own rules, as a host meets them at the pins: those the product's
// instruction and run tests do not already show.
#include "vtarget/chip.h"

#include <gtest/gtest.h>

#include "vtarget/preload_config.h"

using namespace vtarget;

namespace {

constexpr std::uint32_t kEnable = 0xAC530000;
constexpr std::uint32_t kPowerUp = 0xFFFFFFFF;     // no instruction
constexpr std::uint32_t kResetPulse = 0xFFFFFFFE;  // no instruction

// RESET falls with SCK at sck, and the host waits.
void enter(Chip& chip, bool sck = false, std::uint64_t waitUs = 20000) {
    chip.setPin(Pin::Sck, sck);
    chip.setPin(Pin::Reset, false);
    chip.advanceUs(waitUs);
}

// Clocks w out MSB first, reading MISO while SCK is low; returns the word read.
// With fewer bits, the first of them.
std::uint32_t transfer(Chip& chip, std::uint32_t w, int bits = 32) {
    std::uint32_t in = 0;
    for (int i = 31; i >= 32 - bits; --i) {
        chip.setPin(Pin::Mosi, (w >> i) & 1);
        bool miso = chip.pinLevel(Pin::Miso);
        chip.setPin(Pin::Sck, true);
        EXPECT_EQ(chip.pinLevel(Pin::Miso), miso) << "MISO moved on a rising edge";
        chip.setPin(Pin::Sck, false);
        in = in << 1 | miso;
    }
    return in;
}

// The host's procedure, Programming Enable and a RESET pulse after each
// miss: the attempt that got the echo, 0 for none.
int sync(Chip& chip) {
    for (int attempt = 1; attempt <= 32; ++attempt) {
        std::uint32_t in = transfer(chip, kEnable);
        if (in == 0x5300) return attempt;
        EXPECT_EQ(in, 0u) << "silent chip drove MISO on attempt " << attempt;
        chip.setPin(Pin::Reset, true);
        enter(chip);
    }
    return 0;
}

// The preload library's settings.
Config configOf(const std::string& settings) {
    PreloadOptions options;
    EXPECT_EQ(parsePreloadOptions(settings.c_str(), options), "");
    return options.chip;
}

// The same, for transfer(), which takes no time: SCK pulses of any length.
Config untimed(const std::string& settings) {
    return configOf("sck-min-ns=0," + settings);
}

// A chip of the preload library's settings, in programming mode and in step.
Chip ready(const std::string& settings) {
    Chip chip(untimed(settings));
    enter(chip);
    EXPECT_EQ(sync(chip), 1);
    return chip;
}

// RESET must fall with SCK low, then settle, before instructions act.
TEST(Chip, ProgrammingModeNeedsResetFallingWithSckLowAndTimeToSettle) {
    for (auto [sckHigh, waitUs] :
         {std::pair{true, 20000}, {false, 0}, {false, 19999}, {false, 20000}}) {
        Chip chip(untimed(""));
        enter(chip, sckHigh, waitUs);
        bool acts = !sckHigh && waitUs == 20000;
        EXPECT_EQ(transfer(chip, kEnable), acts ? 0x5300u : 0u);
        EXPECT_EQ(chip.violations().size(), sckHigh || acts ? 0u : 1u);  // before reset settled
    }
}

class SyncAttempt : public testing::TestWithParam<int> {};

// Instructions neither act nor echo before the configured attempt, however
// often the host enters programming mode again in between.
TEST_P(SyncAttempt, EchoComesExactlyAtTheConfiguredAttempt) {
    Config config = untimed("");
    config.syncAttempt = GetParam();
    Chip chip(config);
    enter(chip);
    EXPECT_EQ(transfer(chip, 0x30000000) & 0xFF, GetParam() == 1 ? 0x1Eu : 0u);
    chip.setPin(Pin::Reset, true);
    EXPECT_FALSE(chip.inProgrammingMode());
    enter(chip);
    EXPECT_EQ(sync(chip), GetParam());
    EXPECT_EQ(transfer(chip, 0x30000000) & 0xFF, GetParam() == 0 ? 0u : 0x1Eu);
    EXPECT_EQ(chip.eeprom(), config.eeprom);
    EXPECT_TRUE(chip.violations().empty());
}

INSTANTIATE_TEST_SUITE_P(Chip, SyncAttempt, testing::Values(1, 2, 17, 32, 0));

// SCK stays high and low for 2 tCLCL of the model's RC clock, or sck-min-ns,
// in programming mode: a shorter pulse is a violation, and still a clock
// edge. Outside programming mode SCK is a port pin like any other.
TEST(Chip, SckPulsesLastAtLeastTheModelsMinimum) {
    for (const auto& [settings, programming, pulseNs, short_] :
         {std::tuple{"", true, 1666u, false},
          {"", true, 1665u, true},
          {"model=11", true, 1665u, true},
          {"model=15", true, 1250u, false},
          {"model=15", true, 1249u, true},
          {"model=15,sck-min-ns=5000", true, 4999u, true},
          // An ATtiny12 on the board's 4-MHz crystal or 32.768-kHz crystal.
          {"clock=crystal,fuse=5F", true, 500u, false},
          {"clock=crystal,fuse=5F", true, 499u, true},
          {"clock=lf-crystal,fuse=58", true, 61034u, true},
          {"", false, 0u, false}}) {
        Chip chip(configOf(settings));
        if (programming) enter(chip);
        std::uint32_t in = 0;
        for (int i = 31; i >= 0; --i) {
            chip.setPin(Pin::Mosi, (kEnable >> i) & 1);
            in = in << 1 | chip.pinLevel(Pin::Miso);
            chip.setPin(Pin::Sck, true);
            chip.advanceNs(pulseNs);
            chip.setPin(Pin::Sck, false);
            chip.advanceNs(pulseNs);
        }
        EXPECT_EQ(in, programming ? 0x5300u : 0u) << settings;
        // Every pulse but the first low one, which began before RESET fell.
        EXPECT_EQ(chip.violationCount(), short_ ? 63u : 0u) << settings << pulseNs;
        if (short_) {
            EXPECT_EQ(chip.violations()[0], "SCK pulse too short");
        }
    }
}

// One chip a row, of the settings given: the words in turn, gapUs apart,
// and the bytes the last four read (00 for a write). kPowerUp powers the chip
// up again, with RESET and SCK low; kResetPulse gives RESET a positive pulse.
TEST(Chip, MemoriesFollowTheLockBitsAndTheBusyTimes) {
    for (const auto& [settings, gapUs, words, read] :
         {// Flash cells only lose bits; 3FF is not 1FF.
          std::tuple{"", 10000,
                     std::vector<std::uint32_t>{0x4801FF3C, 0x4801FF0F, 0x2800FF00, 0x2801FF00},
                     0x0000FF0Cu},
          // EEPROM cells are replaced, at wrapped addresses; signature byte 3 reads FF.
          {"", 10000, {0xC0FF45F0, 0xC0FF450F, 0xA000C500, 0x30000700}, 0x00000FFF},
          // Chip erase clears both memories.
          {"", 10000, {0x40000000, 0xC0000000, 0xAC800000, 0x20000000, 0xA0000000}, 0x0000FFFF},
          // A programmed lock bit stops writes, and lock bits only get programmed.
          {"lock=04", 10000, {0x40000800, 0x20000800, 0xACFB0000, 0x58000000}, 0x00FF00F9},
          {"lock=02", 10000, {0xC0000300, 0xA0000300, 0xACFF0000, 0x58000000}, 0x00FF00FB},
          // With both programmed, reads echo the address.
          {"lock=00", 10000, {0x20000800, 0xA0000300, 0x30000100}, 0x080301},
          // Busy for 4500 us after a flash write and 9000 after an EEPROM write or
          // an erase, the chip reads FF (data polling) and loses writes.
          {"", 4499, {0x40000000, 0x50000000, 0x50000000}, 0x00FF52},
          {"", 4500, {0x40000000, 0x50000000}, 0x0052},
          {"", 8999, {0xAC800000, 0x50000000, 0x50000000}, 0x00FF52},
          {"", 8999, {0xC0000000, 0x40000000, 0x20000000}, 0x0000FF},
          // A fuse write reads back at once (bits a model lacks as 1) and takes
          // effect at power-up: on an ATtiny12 or 15, SPIEN unprogrammed (bit 5
          // set) or RSTDISBL programmed (bit 4 clear) leave MISO low for good.
          {"", 20000, {0xACA000FF, 0x50000000, kPowerUp, 0x50000000}, 0x00FF00},
          {"model=15", 20000, {0xACA000C3, 0x50000000, kPowerUp, 0x50000000}, 0x00CF00},
          {"model=11", 20000, {0xACA00000, 0x50000000, kPowerUp, 0x50000000}, 0x00E0E0},
          {"stuck-fuse=52", 20000, {0xACA000FF, kPowerUp, 0x50000000}, 0x0052},
          // An ATtiny12 told to run on an RC network or a clock needs it on the board.
          {"clock=ext-rc", 20000, {0xACA00055, kPowerUp, 0x50000000}, 0x0055},
          {"clock=ext-rc", 20000, {0xACA00051, kPowerUp, 0x50000000}, 0x0000},
          // With the erase warning a lone erase leaves the byte at 0000; erased,
          // FF written there and erased again, it is erased.
          {"erase-warning", 10000, {0x40000000, 0xAC800000, 0x20000000}, 0x000000},
          {"erase-warning",
           10000,
           {0x40000000, 0xAC800000, 0x400000FF, 0xAC800000, 0x20000000},
           0x000000FF},
          // An erased ATtiny15 takes writes only after a RESET pulse.
          {"model=15", 10000, {0xAC800000, 0x40000000, 0x20000000}, 0x0000FF},
          {"model=15", 20000, {0xAC800000, kResetPulse, 0x40000000, 0x20000000}, 0x000000}}) {
        Chip chip = ready(settings);
        std::uint32_t got = 0;
        for (std::uint32_t word : words) {
            if (word == kPowerUp) chip.powerUp();
            if (word == kResetPulse) chip.setPin(Pin::Reset, true);
            if (word == kResetPulse) enter(chip);
            bool instruction = word != kPowerUp && word != kResetPulse;
            got = instruction ? got << 8 | (transfer(chip, word) & 0xFF) : got;
            chip.advanceUs(gapUs);
        }
        EXPECT_EQ(got, read) << std::hex << settings << words[0];
    }
    Chip chip = ready("");
    for (std::uint32_t word : {0x00000000u, 0xAC400000u, 0xAC600000u, 0x21000000u, 0xC8000000u})
        EXPECT_EQ(transfer(chip, word), 0u);
    EXPECT_EQ(chip.unknownInstructions(), 5u);
    for (int i = 0; i < 20; ++i)
        transfer(chip, 0x40000000);  // a write, then 19 while it is busy
    EXPECT_EQ(chip.violations(), std::vector<std::string>(16, "write while busy"));
}

}  // namespace

// The adapter of the settings between a host and a chip: what a status read,
// a line call and a break set cost (us, and /errno where it fails), MOSI
// 195.999 and 196 ms after the set, what the clear then costs, and MISO as
// two reads give it, at once and 1 ms after it rises.
TEST(Adapter, CostsBreaksAndStatusAsTheDriverHasThem) {
    for (const auto& [settings, seen] : std::initializer_list<std::pair<const char*, const char*>>{
             {"", "2 2 2 11 2 11"},
             {"adapter=ftdi", "1000 1000 2000 11 1000 11"},
             {"adapter=cp210x", "1000 1000 2000 11 1000 11"},
             // The interrupt endpoint's copy: the rise is seen at the next 1-ms poll.
             {"adapter=ch340", "2 1000 2000 11 2000 01"},
             {"adapter=pl2303", "2 1000 1000 11 1000 01"},
             {"adapter=ch340,break=pulse", "2 1000 2000 10 45000 01"},
             // A status read costs a line call where the adapter's is a transfer.
             {"call-us=1000", "1000 1000 1000 11 1000 11"},
             {"call-us=500,adapter=ch340", "2 500 1000 11 1000 01"},
             // Keys stand whatever adapter= says; ENOTTY leaves the adapter there.
             {"status-poll-us=0,break=enotty,status-us=3,adapter=ch340,call-us=5",
              "3 5 10/25 00 10/25 11"},
             {"break=enotty,fail-after=2", "2 2 2/5 00 2/5 00"}}) {
        PreloadOptions options;
        ASSERT_EQ(parsePreloadOptions(settings, options), "");
        Chip chip = ready(settings);
        Adapter adapter(chip, options.adapter);
        unsigned levels = 0;
        std::string got;
        std::uint64_t start = adapter.nowNs();
        // What the calls since the last look cost, and the errno of one that failed.
        auto cost = [&](Result result) {
            got += std::to_string((adapter.nowNs() - start) / 1000);
            got += result ? " " : "/" + std::to_string(result.error) + " ";
            start = adapter.nowNs();
        };
        // After a sleep: MOSI at the chip, or MISO as a status read gives it.
        auto level = [&](std::uint64_t ns, bool mosi, const char* then = "") {
            adapter.sleep(ns);
            bool high = mosi ? chip.pinLevel(Pin::Mosi)
                             : adapter.read(levels) && (levels & lineBit(Line::Dsr)) != 0;
            got += (high ? "1" : "0") + std::string(then);
            start = adapter.nowNs();
        };
        cost(adapter.read(levels));
        cost(adapter.drive(lineBit(Line::Rts), 0));
        cost(adapter.setBreak(true));
        level(195999000, true);
        level(1000, true, " ");
        cost(adapter.setBreak(false));
        // Just after a call, the chip starts Read Lock Bits' answer, FF: MISO rises.
        adapter.drive(0, 0);
        transfer(chip, 0x58000000, 24);
        level(0, false);
        level(1000000, false);
        EXPECT_EQ(got, seen) << settings;
    }
}

// Noise strikes the eligible call it names: the words the chip decodes, what
// the host read back of the first two, and the words acted on out of the
// host's frame, after a Programming Enable and two Read Signature Bytes. SCK
// drive 1 moves RESET, before the chip listens; 2 and 3 are the first bit's
// rise and fall; 63 the fall of bit 30, which ends the chip's word one edge early.
TEST(Adapter, NoiseStrikesTheCallItNames) {
    for (const auto& [at, seen] : std::initializer_list<std::pair<const char*, const char*>>{
             {"miso:99", "AC530000 30000000 30000001 / 5300 1E oof 0"},
             {"miso:18", "AC530000 30000000 30000001 / 1300 1E oof 0"},
             {"mosi-bit:2", "EC530000 30000000 30000001 / 0000 1E oof 0"},
             {"mosi:1", "2C530000 30000000 30000001 / 0000 1E oof 0"},
             {"sck-drop:3", "D8A60000 60000000 / 0000 00 oof 2"},
             {"sck-extra:1", "AC530000 30000000 30000001 / 5300 1E oof 0"},
             {"sck-extra:2", "D6298000 18000000 18000000 / 0000 00 oof 3"},
             {"sck-extra:63", "AC530000 18000000 18000000 / 5300 00 oof 3"}}) {
        PreloadOptions options;
        ASSERT_EQ(
            parsePreloadOptions(("sck-min-ns=0,noise-at=" + std::string(at)).c_str(), options), "");
        options.chip.keepWords = true;
        Chip chip(options.chip);
        Adapter adapter(chip, options.adapter);
        adapter.drive(lineBit(Line::Rts) | lineBit(Line::Dtr), 0);
        adapter.sleep(20000000);
        bool mosi = false;
        auto send = [&](std::uint32_t w) {
            std::uint32_t in = 0;
            unsigned levels = 0;
            for (int i = 31; i >= 0; --i) {
                bool bit = (w >> i) & 1;
                if (bit != mosi) adapter.setBreak(mosi = bit);
                adapter.read(levels);
                in = in << 1 | ((levels & lineBit(Line::Dsr)) != 0);
                adapter.drive(lineBit(Line::Rts), lineBit(Line::Rts));
                adapter.drive(lineBit(Line::Rts), 0);
            }
            return in;
        };
        char got[64];
        std::uint32_t echo = send(kEnable), signature = send(0x30000000);
        send(0x30000001);
        std::string words;
        for (std::uint32_t w : chip.words()) {
            std::snprintf(got, sizeof got, "%08X ", w);
            words += got;
        }
        std::snprintf(got, sizeof got, "/ %04X %02X oof %llu", echo & 0xFFFF, signature & 0xFF,
                      static_cast<unsigned long long>(chip.outOfFrameWords()));
        EXPECT_EQ(words + got, seen) << at;
    }
}
