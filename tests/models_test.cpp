// The model table against itself and the virtual chip's own, and the clock
// check over every CKSEL value.
#include "isp/models.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "vtarget/chip.h"

namespace {

TEST(ChipModels, RowsAgreeWithThemselvesAndWithTheVirtualChip) {
    for (const isp::ChipModel& a : isp::kChipModels) {
        std::string message = a.message;
        EXPECT_NE(message.find("ATTiny" + std::to_string(a.model) + " detected!"),
                  std::string::npos);
        EXPECT_EQ(message.find("%02X") != std::string::npos, a.hasCalibration);
        for (const isp::ChipModel& b : isp::kChipModels)
            EXPECT_TRUE(&a == &b || (a.signature != b.signature && a.model != b.model));
        // On the two that take serial programming only bits they lack are
        // forced, and SPIEN, RSTDISBL and CKSEL are theirs; the ATtiny10 and
        // 11 keep the encoding they always had.
        EXPECT_TRUE(a.spien == 0 || ((a.fuseForced & a.fuseBits) == 0 &&
                                     ((a.spien | a.rstdisbl) & ~a.fuseBits) == 0 &&
                                     (a.clockOf == nullptr || (a.fuseBits & 0x0F) == 0x0F)));
        vtarget::Config chip;
        ASSERT_TRUE(vtarget::applyModel(a.model, chip));
        EXPECT_EQ(std::tuple(chip.signature[2], chip.fuseBits, chip.flashWriteUs, chip.fuseLocksOut,
                             chip.clockByFuse, chip.eraseNeedsReset),
                  std::tuple(std::uint8_t(a.signature), std::uint8_t(a.fuseBits), a.flashWriteUs,
                             a.spien != 0, a.clockOf != nullptr,
                             a.erase == isp::EraseSteps::ThenReenter));
    }
}

// The ATtiny12's CKSEL values by 1006, Table 9 (E external clock, I internal
// RC, R external RC, L low-frequency crystal, X crystal or resonator), from a
// chip on its internal RC (52) and on a crystal (5F); the ATtiny15's
// CKSEL1..0 choose start-up delays only.
TEST(ChipModels, AClockIsRefusedByItsClass) {
    const std::string classes = "EEIIIRRRLLXXXXXX";
    const char* const keys[] = {"external", "rc", "ext-rc", "lf-crystal", "crystal"};
    for (unsigned cksel = 0; cksel < 16; ++cksel) {
        char c = classes[cksel];
        EXPECT_STREQ(vtarget::clockKey(vtarget::clockOfCksel(cksel)),
                     keys[std::string("EIRLX").find(c)]);
        unsigned f = 0x50 | cksel;
        EXPECT_EQ(isp::changesClock(isp::chipModel(12), f, 0x52), c != 'I') << cksel;
        EXPECT_EQ(isp::changesClock(isp::chipModel(12), f, 0x5F), c != 'I' && c != 'X') << cksel;
        EXPECT_FALSE(isp::changesClock(isp::chipModel(15), f, 0x5C)) << cksel;
        EXPECT_FALSE(isp::disablesReset(f) || isp::endsSerialProgramming(f)) << cksel;
    }
}

}  // namespace
