// Every instruction as the chip decodes it, and what comes back.
#include "isp/instructions.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "tests/support.h"

namespace {

using testsupport::AttachedChip;

vtarget::Config patterned() {
    vtarget::Config config;
    for (unsigned a = 0; a < vtarget::kFlashBytes; ++a)
        config.flash[a] = (a * 7 + 3) & 0xFF;
    for (unsigned a = 0; a < vtarget::kEepromBytes; ++a)
        config.eeprom[a] = (a * 5 + 1) & 0xFF;
    config.fuse = 0xD2;
    config.calibration = 0x9C;
    return config;
}

struct Encoding {
    const char* name;
    std::function<void()> send;
    std::uint32_t word;  // as the chip frames it
    bool query;          // only the first three bytes are compared
    const char* kind;
};

class Instructions : public ::testing::TestWithParam<Encoding> {};

TEST_P(Instructions, ReachTheChipAsTheirFourBytes) {
    AttachedChip target(testsupport::tracing(patterned()));
    testsupport::enterProgrammingMode();
    GetParam().send();
    ASSERT_EQ(target.chip.words().size(), 1u);
    std::uint32_t word = target.chip.words().back();
    if (GetParam().query) {
        EXPECT_EQ(word >> 8, GetParam().word >> 8) << std::hex << word;
    } else {
        EXPECT_EQ(word, GetParam().word) << std::hex << word;
    }
    EXPECT_EQ(target.chip.instructions().at(GetParam().kind), 1u);
    EXPECT_EQ(target.chip.unknownInstructions(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Instructions,
    ::testing::Values(
        Encoding{"ProgrammingEnable", [] { isp::programmingEnable(); }, 0xAC530000, false,
                 "programming_enable"},
        Encoding{"ChipErase", [] { isp::chipErase(); }, 0xAC9FFFFF, false, "chip_erase"},
        Encoding{"ReadSignature2", [] { isp::readSignatureByte(2); }, 0x30000200, true,
                 "read_signature"},
        Encoding{"ReadSignatureMasked", [] { isp::readSignatureByte(6); }, 0x30000200, true,
                 "read_signature"},
        Encoding{"ReadCalibration", [] { isp::readCalibrationByte(); }, 0x38000000, true,
                 "read_calibration"},
        Encoding{"ReadFuse", [] { isp::readFuseBits(); }, 0x50000000, true, "read_fuse"},
        Encoding{"ReadLock", [] { isp::readLockBits(); }, 0x58000000, true, "read_lock"},
        Encoding{"ReadFlashEven", [] { isp::readFlashByte(0x0102); }, 0x20008100, true,
                 "read_flash"},
        Encoding{"ReadFlashOddTop", [] { isp::readFlashByte(0x03FF); }, 0x2801FF00, true,
                 "read_flash"},
        Encoding{"WriteFlashOdd", [] { isp::writeFlashByte(0x0001, 0xAB); }, 0x480000AB, false,
                 "write_flash"},
        Encoding{"WriteFlashTop", [] { isp::writeFlashByte(0x03FF, 0x12); }, 0x4801FF12, false,
                 "write_flash"},
        Encoding{"WriteFlashWraps", [] { isp::writeFlashByte(0x0400, 0x112); }, 0x40000012, false,
                 "write_flash"},
        Encoding{"ReadEepromMasked", [] { isp::readEepromByte(0x41); }, 0xA0000100, true,
                 "read_eeprom"},
        Encoding{"WriteEeprom", [] { isp::writeEepromByte(0x7F, 0x3C); }, 0xC0003F3C, false,
                 "write_eeprom"},
        Encoding{"WriteFuseForcesBits3And2", [] { isp::writeFuseBits(0xF3); }, 0xACA000FF, false,
                 "write_fuse"},
        Encoding{"WriteFuseZero", [] { isp::writeFuseBits(0x00); }, 0xACA0000C, false,
                 "write_fuse"},
        Encoding{"WriteLockNone", [] { isp::writeLockBits(0x06); }, 0xACFF0000, false,
                 "write_lock"},
        Encoding{"WriteLockBoth", [] { isp::writeLockBits(0x00); }, 0xACF90000, false,
                 "write_lock"},
        Encoding{"WriteLockIgnoresOtherBits", [] { isp::writeLockBits(0xFD); }, 0xACFD0000, false,
                 "write_lock"}),
    [](const auto& info) { return std::string(info.param.name); });

struct Read {
    const char* name;
    std::function<unsigned()> read;
    unsigned expected;
};

class Reads : public ::testing::TestWithParam<Read> {};

TEST_P(Reads, ReturnTheChipsByteMaskedAsDocumented) {
    AttachedChip target(patterned());
    testsupport::enterProgrammingMode();
    EXPECT_EQ(GetParam().read(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Reads,
    ::testing::Values(
        Read{"Signature0", [] { return isp::readSignatureByte(0); }, 0x1E},
        Read{"Signature1", [] { return isp::readSignatureByte(1); }, 0x90},
        Read{"Calibration", [] { return isp::readCalibrationByte(); }, 0x9C},
        Read{"FuseKeepsBits5To0", [] { return isp::readFuseBits(); }, 0x12},
        Read{"LockKeepsBits2And1", [] { return isp::readLockBits(); }, 0x06},
        Read{"FlashLow", [] { return isp::readFlashByte(0x0102); }, (0x102 * 7 + 3) & 0xFF},
        Read{"FlashHigh", [] { return isp::readFlashByte(0x03FF); }, (0x3FF * 7 + 3) & 0xFF},
        Read{"FlashWraps", [] { return isp::readFlashByte(0x0401); }, 10},
        Read{"EepromWraps", [] { return isp::readEepromByte(0x41); }, 6}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ProgrammingEnable, IsTrueOnlyForTheEcho) {
    AttachedChip echoing;
    testsupport::enterProgrammingMode();
    EXPECT_TRUE(isp::programmingEnable());

    vtarget::Config silent;
    silent.syncAttempt = 0;
    AttachedChip mute(silent);
    testsupport::enterProgrammingMode();
    EXPECT_FALSE(isp::programmingEnable());
}

}  // namespace
