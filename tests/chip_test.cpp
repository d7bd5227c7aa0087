#include "vtarget/chip.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

using vtarget::Chip;
using vtarget::Config;
using vtarget::Pin;

namespace {

constexpr std::uint32_t kEnable = 0xAC530000;

void enter(Chip& chip, std::uint64_t waitUs = 20000) {
    chip.setPin(Pin::Sck, false);
    chip.setPin(Pin::Reset, false);
    chip.advanceUs(waitUs);
}

// Clocks w out MSB first, reading MISO while SCK is low; returns the word read.
std::uint32_t transfer(Chip& chip, std::uint32_t w) {
    std::uint32_t in = 0;
    for (int i = 31; i >= 0; --i) {
        chip.setPin(Pin::Mosi, (w >> i) & 1);
        bool miso = chip.readMiso();
        chip.setPin(Pin::Sck, true);
        EXPECT_EQ(chip.readMiso(), miso) << "MISO moved on a rising edge";
        chip.setPin(Pin::Sck, false);
        in = in << 1 | miso;
    }
    return in;
}

std::uint8_t query(Chip& chip, std::uint32_t w) {
    return transfer(chip, w) & 0xFF;
}

// The host's procedure: Programming Enable, one extra pulse after each miss.
int sync(Chip& chip) {
    for (int attempt = 1; attempt <= 32; ++attempt) {
        std::uint32_t in = transfer(chip, kEnable);
        if (in == 0x5300) return attempt;
        EXPECT_EQ(in, 0u) << "misaligned chip drove MISO on attempt " << attempt;
        chip.setPin(Pin::Sck, true);
        chip.setPin(Pin::Sck, false);
    }
    return 0;
}

Chip ready(const Config& config = Config()) {
    Chip chip(config);
    enter(chip);
    EXPECT_EQ(sync(chip), 1);
    return chip;
}

Config traced() {
    Config config;
    config.trace = true;
    return config;
}

std::uint64_t count(const Chip& chip, const std::string& kind) {
    auto it = chip.instructions().find(kind);
    return it == chip.instructions().end() ? 0 : it->second;
}

TEST(Chip, ProgrammingModeNeedsResetFallingWithSckLow) {
    for (bool sckHigh : {false, true}) {
        Chip chip;
        chip.setPin(Pin::Sck, sckHigh);
        chip.setPin(Pin::Reset, false);
        EXPECT_EQ(chip.inProgrammingMode(), !sckHigh);
    }
    // Leaving mid-echo drops MISO, ignores SCK, and re-entering restarts the framing.
    Chip chip(traced());
    enter(chip);
    for (int i = 0; i < 17; ++i) {
        chip.setPin(Pin::Mosi, (kEnable >> (31 - i)) & 1);
        chip.setPin(Pin::Sck, true);
        chip.setPin(Pin::Sck, false);
    }
    EXPECT_TRUE(chip.readMiso());
    chip.setPin(Pin::Reset, true);
    EXPECT_FALSE(chip.inProgrammingMode());
    EXPECT_FALSE(chip.readMiso());
    EXPECT_EQ(transfer(chip, kEnable), 0u);
    EXPECT_TRUE(chip.words().empty());
    enter(chip);
    EXPECT_EQ(sync(chip), 1);
}

TEST(Chip, InstructionsWaitForResetToSettle) {
    for (auto [waitUs, executed] : {std::pair{0, false}, {19999, false}, {20000, true}}) {
        SCOPED_TRACE(waitUs);
        Chip chip;
        enter(chip, waitUs);
        EXPECT_EQ(transfer(chip, kEnable), executed ? 0x5300u : 0u);
        EXPECT_EQ(count(chip, "programming_enable"), executed ? 1u : 0u);
        EXPECT_EQ(chip.violations(),
                  std::vector<std::string>(executed ? 0 : 1, "instruction before reset settled"));
    }
}

class SyncAttempt : public testing::TestWithParam<int> {};

// Shifted words framed out of step must not act, nor echo, before the configured attempt.
TEST_P(SyncAttempt, EchoComesExactlyAtTheConfiguredAttempt) {
    Config config;
    config.syncAttempt = GetParam();
    Chip chip(config);
    for (int pass = 0; pass < 2; ++pass) {  // each entry into programming mode starts afresh
        enter(chip);
        for (int pulse = 1; pulse < GetParam(); ++pulse) {
            chip.setPin(Pin::Sck, true);
            chip.setPin(Pin::Sck, false);
        }
        EXPECT_EQ(query(chip, 0x30000000), GetParam() == 1 ? 0x1E : 0x00);
        chip.setPin(Pin::Reset, true);
    }
    enter(chip);
    EXPECT_EQ(sync(chip), GetParam());
    EXPECT_EQ(query(chip, 0x30000000), GetParam() == 0 ? 0x00 : 0x1E);
    EXPECT_EQ(count(chip, "programming_enable"), GetParam() == 0 ? 0u : 1u);
    EXPECT_EQ(chip.eeprom(), config.eeprom);
    EXPECT_TRUE(chip.violations().empty());
}

INSTANTIATE_TEST_SUITE_P(Chip, SyncAttempt, testing::Values(1, 2, 17, 32, 0));

// The reads that the in-process tests of the instructions do not make.
TEST(Chip, ReadInstructionsDecode) {
    Config config = traced();
    config.fuse = 0xD3;
    config.stuckFlash = {{0x3FF, 0x12}};
    config.stuckEeprom = {{63, 0x34}};
    for (unsigned i = 0; i < vtarget::kFlashBytes; ++i)
        config.flash[i] = (i * 37 + 11) & 0xFF;
    for (unsigned i = 0; i < vtarget::kEepromBytes; ++i)
        config.eeprom[i] = 0x80 | i;
    const struct {
        std::uint32_t word;
        std::uint8_t expected;
        const char* kind;
    } rows[] = {
        {0x30FF0100, 0x90, "read_signature"},
        {0x30000300, 0xFF, "read_signature"},
        {0x30000500, 0x90, "read_signature"},
        {0x50000000, 0xD3, "read_fuse"},
        {0x2001FF00, config.flash[0x3FE], "read_flash"},
        {0x2801FF00, 0x12, "read_flash"},
        {0x2801FE00, config.flash[0x3FD], "read_flash"},
        {0x20FEA500, config.flash[0x14A], "read_flash"},
        {0xA0FFC500, 0x85, "read_eeprom"},
        {0xA000FF00, 0x34, "read_eeprom"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::Message() << std::hex << row.word);
        Chip chip = ready(config);
        EXPECT_EQ(query(chip, row.word), row.expected);
        EXPECT_EQ(count(chip, row.kind), 1u);
        EXPECT_EQ(chip.words().back(), row.word);
        EXPECT_TRUE(chip.violations().empty());
    }
    for (std::uint32_t word : {0x00000000u, 0xAC400000u, 0xAC600000u, 0x21000000u, 0xC8000000u}) {
        Chip chip = ready(config);
        EXPECT_EQ(transfer(chip, word), 0u);
        EXPECT_EQ(chip.unknownInstructions(), 1u) << std::hex << word;
        EXPECT_EQ(chip.instructions().size(), 1u);  // only the Programming Enable
    }
}

TEST(Chip, WritesChangeMemoryFuseAndLock) {
    // Flash cells only lose bits; EEPROM cells are replaced; lock bits only get programmed.
    const struct {
        std::uint32_t word;
        unsigned address;
        std::uint8_t before, after;
    } flashRows[] = {{0x40000000 | 0x3C, 0, 0xFF, 0x3C},
                     {0x4801FF00 | 0x3C, 0x3FF, 0xF0, 0x30},
                     {0x48FF0200 | 0xFF, 0x205, 0x0F, 0x0F}};
    for (const auto& row : flashRows) {
        Config config;
        config.flash[row.address] = row.before;
        Chip chip = ready(config);
        transfer(chip, row.word);
        EXPECT_EQ(chip.flash()[row.address], row.after) << row.address;
    }
    Config config;
    config.eeprom[5] = 0x0F;
    Chip chip = ready(config);
    transfer(chip, 0xC0FF45F0);
    EXPECT_EQ(chip.eeprom()[5], 0xF0);
    chip.advanceUs(9000);
    transfer(chip, 0xACBF001F);
    EXPECT_EQ(chip.fuse(), 0x1F);

    for (auto [before, b2, after] : {std::tuple{0x06, 0xFF, 0x06},
                                     {0x06, 0xFB, 0x02},
                                     {0x06, 0xFD, 0x04},
                                     {0x04, 0xFB, 0x00},
                                     {0x02, 0xFF, 0x02}}) {
        Config config;
        config.lock = before;
        Chip chip = ready(config);
        transfer(chip, 0xAC000000 | b2 << 16);
        EXPECT_EQ(chip.lock(), after) << before << " " << b2;
        EXPECT_EQ(query(chip, 0x58000000), 0xF9 | after);
    }
}

TEST(Chip, ChipEraseClearsMemoriesAndLockUnlessStubborn) {
    for (bool stubborn : {false, true}) {
        Config config;
        config.lock = 0x00;
        config.stubbornLock = stubborn;
        config.flash.fill(0x12);
        config.eeprom.fill(0x34);
        Chip chip = ready(config);
        transfer(chip, 0xAC9F0000);
        EXPECT_EQ(count(chip, "chip_erase"), 1u);
        EXPECT_EQ(chip.flash(), Config().flash);
        EXPECT_EQ(chip.eeprom(), Config().eeprom);
        EXPECT_EQ(chip.lock(), stubborn ? 0x00 : 0x06);
    }
}

// Reading while a write is in progress is data polling: it reads 0xFF until
// the write is done. A write while busy is lost, and counted; the first few
// are kept as text.
TEST(Chip, BusyChipPollsAsFfAndLosesWrites) {
    const struct {
        int model;
        std::uint32_t write;
        std::uint64_t busyUs;
        std::uint8_t eeprom7;  // EEPROM byte 7 once the write is done
    } rows[] = {{12, 0x40000000, 4500, 0x77}, {12, 0xC0000100, 9000, 0x77},
                {12, 0xAC800000, 9000, 0xFF}, {15, 0x40000000, 4100, 0x77},
                {15, 0xC0000100, 8200, 0x77}, {15, 0xAC800000, 8200, 0xFF}};
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::Message() << row.model << " " << std::hex << row.write);
        Config config;
        ASSERT_TRUE(vtarget::applyModel(row.model, config));
        config.eeprom[7] = 0x77;
        Chip chip = ready(config);
        transfer(chip, row.write);
        chip.advanceUs(row.busyUs - 1);
        EXPECT_EQ(query(chip, 0x50000000), 0xFF);
        EXPECT_EQ(query(chip, 0xA0000700), 0xFF);
        for (int i = 0; i < 20; ++i)
            transfer(chip, 0xC0000711);
        EXPECT_EQ(chip.violationCount(), 20u);
        EXPECT_EQ(chip.violations(), std::vector<std::string>(16, "write while busy"));
        chip.advanceUs(1);
        EXPECT_EQ(query(chip, 0xA0000700), row.eeprom7);
        EXPECT_TRUE(chip.words().empty());  // kept only when tracing
    }
}

TEST(Chip, LockBitsProtectMemories) {
    for (std::uint8_t lock : {0x06, 0x04, 0x02, 0x00}) {
        SCOPED_TRACE(int{lock});
        bool writable = lock == 0x06, readBack = lock == 0x00;
        Config config;
        config.lock = lock;
        config.flash[0x10] = 0xAB;
        config.eeprom[3] = 0xCD;
        Chip chip = ready(config);
        transfer(chip, 0x40000800);
        chip.advanceUs(5000);
        transfer(chip, 0xC0000300);
        chip.advanceUs(5000);
        EXPECT_EQ(chip.flash()[0x10], writable ? 0x00 : 0xAB);
        EXPECT_EQ(chip.eeprom()[3], writable ? 0x00 : 0xCD);
        if (writable) continue;
        EXPECT_EQ(query(chip, 0x20000800), readBack ? 0x08 : 0xAB);
        EXPECT_EQ(query(chip, 0xA0000300), readBack ? 0x03 : 0xCD);
        for (std::uint8_t i = 0; i < 3; ++i) {
            EXPECT_EQ(query(chip, 0x30000000 | i << 8), readBack ? i : config.signature[i]);
        }
        EXPECT_EQ(query(chip, 0x38000000), 0x5A);
        EXPECT_EQ(query(chip, 0x50000000), 0x52);
        EXPECT_EQ(query(chip, 0x58000000), 0xF9 | lock);
    }
}

}  // namespace
