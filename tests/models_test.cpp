// The model table: its rows agree with themselves and with the virtual chip's
// own table, and the clock check follows the ATtiny12's clock classes.
#include "isp/models.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "vtarget/chip.h"

namespace {

TEST(ChipModels, RowsAgreeWithThemselvesAndWithTheVirtualChip) {
    for (const isp::ChipModel& a : isp::kChipModels) {
        std::string name = "ATTiny" + std::to_string(a.model) + " detected!";
        EXPECT_NE(std::string(a.message).find(name), std::string::npos) << a.message;
        EXPECT_EQ(std::string(a.message).find("%02X") != std::string::npos, a.hasCalibration);
        for (const isp::ChipModel& b : isp::kChipModels)
            EXPECT_TRUE(&a == &b || (a.signature != b.signature && a.model != b.model));
        // Only bits a model lacks are forced, on the two that take serial
        // programming; the ATtiny10 and 11 keep the encoding they always had.
        EXPECT_TRUE(a.spien == 0 || (a.fuseForced & a.fuseBits) == 0) << a.model;
        EXPECT_EQ((a.spien | a.rstdisbl) & ~a.fuseBits, 0u) << a.model;
        EXPECT_TRUE(a.clockOf == nullptr || (a.fuseBits & 0x0F) == 0x0F) << a.model;
        vtarget::Config chip;
        ASSERT_TRUE(vtarget::applyModel(a.model, chip));
        EXPECT_EQ(std::tuple(chip.signature[2], chip.fuseBits, chip.flashWriteUs, chip.fuseLocksOut,
                             chip.clockByFuse, chip.eraseNeedsReset),
                  std::tuple(std::uint8_t(a.signature), std::uint8_t(a.fuseBits), a.flashWriteUs,
                             a.spien != 0, a.clockOf != nullptr,
                             a.erase == isp::EraseSteps::ThenReenter));
    }
}

// Every CKSEL value of the ATtiny12 by 1006, Table 9 (E external clock, I
// internal RC, R external RC, L low-frequency crystal, X crystal or
// resonator), from a chip on its internal RC (52) and on a crystal (5F); the
// ATtiny15's CKSEL1..0 choose start-up delays only.
TEST(ChipModels, AClockIsRefusedByItsClass) {
    const std::string classes = "EEIIIRRRLLXXXXXX";
    const std::string xs = "EIRLX";
    const vtarget::Clock chipClocks[] = {vtarget::Clock::External, vtarget::Clock::Rc,
                                         vtarget::Clock::ExtRc, vtarget::Clock::LfCrystal,
                                         vtarget::Clock::Crystal};
    const isp::ChipModel& tiny12 = isp::chipModel(12);
    const isp::ChipModel& tiny15 = isp::chipModel(15);
    for (unsigned cksel = 0; cksel < 16; ++cksel) {
        char c = classes[cksel];
        EXPECT_EQ(vtarget::clockOfCksel(cksel), chipClocks[xs.find(c)]) << cksel;
        unsigned f = 0x50 | cksel;
        EXPECT_EQ(isp::changesClock(tiny12, f, 0x52), c != 'I') << cksel;
        EXPECT_EQ(isp::changesClock(tiny12, f, 0x5F), c != 'I' && c != 'X') << cksel;
        EXPECT_FALSE(isp::changesClock(tiny15, f, 0xDC)) << cksel;
        EXPECT_FALSE(isp::disablesReset(f) || isp::endsSerialProgramming(f)) << cksel;
    }
}

}  // namespace
