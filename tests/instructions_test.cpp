// Every instruction as the chip decodes it, and what comes back.
#include "isp/instructions.h"

#include <functional>

#include "tests/support.h"

namespace {

struct Encoding {
    const char* name;
    std::function<int()> call;  // the byte read, or -1 for an instruction that reads nothing
    std::uint32_t word;         // as the chip frames it; a query's low byte is not compared
    int result;
};

template <typename F>
std::function<int()> sent(F f) {
    return [f] { return f(), -1; };
}

TEST(Instructions, ReachTheChipAsTheirFourBytes) {
    std::string flash;
    for (unsigned a = 0; a < vtarget::kFlashBytes; ++a)
        flash += static_cast<char>(a * 7 + 3);
    testsupport::writeFile("flash.bin", flash);
    testsupport::writeFile("eeprom.bin", flash.substr(0, vtarget::kEepromBytes));
    const Encoding rows[] = {
        {"ChipErase", sent(isp::chipErase), 0xAC800000, -1},
        {"ReadSignatureMasked", [] { return int{isp::readSignatureByte(6)}; }, 0x30000200, 0x05},
        {"ReadCalibration", [] { return int{isp::readCalibrationByte()}; }, 0x38000000, 0x5A},
        {"ReadFuseAllEight", [] { return int{isp::readFuseBits()}; }, 0x50000000, 0xD3},
        {"ReadLockKeepsBits2And1", [] { return int{isp::readLockBits()}; }, 0x58000000, 0x06},
        {"ReadFlashOddWraps", [] { return int{isp::readFlashByte(0x07FF)}; }, 0x2801FF00,
         (0x3FF * 7 + 3) & 0xFF},
        {"WriteFlashTop", sent([] { isp::writeFlashByte(0x03FF, 0x12); }), 0x4801FF12, -1},
        {"WriteFlashWraps", sent([] { isp::writeFlashByte(0x0400, 0x112); }), 0x40000012, -1},
        {"ReadEepromWraps", [] { return int{isp::readEepromByte(0x41)}; }, 0xA0000100, 10},
        {"WriteEeprom", sent([] { isp::writeEepromByte(0x7F, 0x13C); }), 0xC0003F3C, -1},
        {"WriteFuseAsGiven", sent([] { isp::writeFuseBits(0x1F0); }), 0xACA000F0, -1},
        {"WriteLockNone", sent([] { isp::writeLockBits(0x06); }), 0xACFF0000, -1},
        {"WriteLockIgnoresOtherBits", sent([] { isp::writeLockBits(0xF9); }), 0xACF90000, -1}};
    for (const Encoding& row : rows) {
        testsupport::AttachedChip target(
            testsupport::chipOf("fuse=D3,flash-in=flash.bin,eeprom-in=eeprom.bin"));
        testsupport::enterProgrammingMode();
        EXPECT_EQ(row.call(), row.result) << row.name;
        ASSERT_EQ(target.chip.words().size(), 1u);
        std::uint32_t word = target.chip.words().back();
        std::uint32_t compared = row.result < 0 ? 0xFFFFFFFFu : 0xFFFFFF00u;
        EXPECT_EQ(word & compared, row.word & compared) << row.name << std::hex << word;
        EXPECT_EQ(target.chip.unknownInstructions(), 0u);
    }
}

}  // namespace
