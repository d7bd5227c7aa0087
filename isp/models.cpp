#include "isp/models.h"

namespace isp {

namespace {

using C = ClockClass;

// ATtiny11/12 datasheet (1006), Table 9, "ATtiny12 Clock Options and
// Start-up Times", by CKSEL3..0: 1111-1010 external crystal or ceramic
// resonator, 1001-1000 external low-frequency crystal, 0111-0101 external
// RC oscillator, 0100-0010 internal RC oscillator (shipped as 0010),
// 0001-0000 external clock.
constexpr ClockClass kTiny12Clocks[16] = {
    C::ExternalClock,
    C::ExternalClock,
    C::InternalRc,
    C::InternalRc,
    C::InternalRc,
    C::ExternalRc,
    C::ExternalRc,
    C::ExternalRc,
    C::LowFrequencyCrystal,
    C::LowFrequencyCrystal,
    C::Crystal,
    C::Crystal,
    C::Crystal,
    C::Crystal,
    C::Crystal,
    C::Crystal,
};

}  // namespace

// Write Fuse Bits: the ATtiny15L (1187, Table 27) sends "8765 1143", bits 3
// and 2 as 1, as it has no such fuse bits; the ATtiny12 (1006, Table 25)
// "A987 6543", all eight, bits 3-0 being CKSEL3..0; the ATtiny10 and 11,
// which 1006 programs only at high voltage (Table 22: low-voltage serial
// programming "not applicable"), as the ATtiny15. The fuse bits each has:
// ATtiny12 BODLEVEL, BODEN, SPIEN, RSTDISBL, CKSEL3..0; ATtiny15L
// BODLEVEL, BODEN, SPIEN, RSTDISBL, CKSEL1..0 (read "8765 xx43"); ATtiny10
// and 11 FSTRT, RSTDISBL and CKSEL2..0 in bits 4-0, with no serial mode for
// RSTDISBL to lock out. The erase: 1006's "Low-voltage Serial Programming
// Algorithm" erases, writes $FF at $00 and erases again, as a lone erase
// may leave one byte written; 1187's (step 4) waits tWD_ERASE after it,
// gives RESET a positive pulse and starts over from Programming Enable.
// tWD_FLASH from the "Low-voltage Serial Programming Characteristics": 4.5
// ms on the ATtiny12 (which the ATtiny10 and 11 take too), 4.1 ms on the
// ATtiny15L (Table 30); tWD_EEPROM from the same tables: 9 ms on the
// ATtiny12 (1006C, Table 28), 8.2 ms on the ATtiny15L; the ATtiny10 and 11
// have no EEPROM and take the ATtiny12's.
const ChipModel kChipModels[kModels] = {
    {10, "ATtiny10", 0x03, "  ATTiny10 detected!\n", false, 0x1F, 0x0C, 0, 0, nullptr,
     EraseSteps::Once, 4500, 9000},
    {11, "ATtiny11", 0x04, "  ATTiny11 detected!\n", false, 0x1F, 0x0C, 0, 0, nullptr,
     EraseSteps::Once, 4500, 9000},
    {12, "ATtiny12", 0x05, "  ATTiny12 detected! Calibration byte readed = %02Xh\n", true, 0xFF,
     0x00, 0x20, 0x10, kTiny12Clocks, EraseSteps::TwiceOverFF, 4500, 9000},
    {15, "ATtiny15", 0x06, "  ATTiny15 detected! Calibration byte readed = %02Xh\n", true, 0xF3,
     0x0C, 0x20, 0x10, nullptr, EraseSteps::ThenReenter, 4100, 8200},
};

const ChipModel& chipModel(int model) {
    for (const ChipModel& m : kChipModels) {
        if (m.model == model) return m;
    }
    return kChipModels[2];
}

unsigned fuseByteSent(const ChipModel& m, unsigned f) {
    return (f | m.fuseForced) & 0xFFu;
}

bool clockClassOf(const ChipModel& m, unsigned f, ClockClass& clock) {
    if (m.clockOf == nullptr) return false;
    clock = m.clockOf[fuseByteSent(m, f) & 0x0Fu];
    return true;
}

const char* describe(ClockClass clock) {
    switch (clock) {
        case ClockClass::InternalRc:
            return "the internal RC oscillator";
        case ClockClass::ExternalRc:
            return "an external RC oscillator";
        case ClockClass::Crystal:
            return "an external crystal or ceramic resonator";
        case ClockClass::LowFrequencyCrystal:
            return "an external low-frequency crystal";
        case ClockClass::ExternalClock:
            return "an external clock";
    }
    return "";
}

bool changesClock(const ChipModel& m, unsigned f, unsigned now) {
    ClockClass wanted, running;
    if (!clockClassOf(m, f, wanted) || !clockClassOf(m, now, running)) return false;
    return wanted != running && wanted != ClockClass::InternalRc;
}

bool disablesReset(unsigned f) {
    for (const ChipModel& m : kChipModels) {
        if (m.rstdisbl != 0 && (fuseByteSent(m, f) & m.rstdisbl) == 0) return true;
    }
    return false;
}

bool endsSerialProgramming(unsigned f) {
    for (const ChipModel& m : kChipModels) {
        if ((fuseByteSent(m, f) & m.spien) != 0) return true;
    }
    return false;
}

unsigned keepingSerialProgramming(unsigned f) {
    for (const ChipModel& m : kChipModels)
        f &= ~m.spien;
    return f & 0xFFu;
}

}  // namespace isp
