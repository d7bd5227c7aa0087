// What differs between the supported chip models, as data: one row each.
// The instructions are the same on every model; a row says how a model takes
// its fuse byte, which fuse values lock it out, and how its memory is erased.
#pragma once

#include <cstdint>

namespace isp {

// The clock sources a fuse byte can choose, by kind: a board has some of
// them, and a chip told to run on one the board lacks never starts.
enum class ClockClass {
    InternalRc,
    ExternalRc,
    Crystal,  // a crystal or a ceramic resonator
    LowFrequencyCrystal,
    ExternalClock,
};

// How Chip Erase is made sure of.
enum class EraseSteps {
    Once,         // Chip Erase and its wait
    TwiceOverFF,  // Chip Erase, FF written at flash 0000, Chip Erase again
    ThenReenter,  // Chip Erase, its wait, a RESET pulse and Programming Enable
};

struct ChipModel {
    int model;            // 10, 11, 12 or 15
    const char* name;     // as the messages name it
    unsigned signature;   // signature byte 2
    const char* message;  // the detected line; a "%02X" for the calibration byte where shown
    bool hasCalibration;
    unsigned fuseBits;    // the bits of the fuse byte the model has and Read Fuse Bits reports
    unsigned fuseForced;  // bits Write Fuse Bits always sends as 1
    unsigned spien;       // the SPIEN bit, which set ends serial programming; 0: none
    unsigned rstdisbl;    // the RSTDISBL bit, which clear makes RESET a port pin; 0: none
    // The clock class of each CKSEL3..0 value (fuse bits 3-0); null where the
    // fuse byte chooses no clock a board could lack.
    const ClockClass* clockOf;
    EraseSteps erase;
    unsigned flashWriteUs;   // tWD_FLASH: a flash byte's write time at the most
    unsigned eepromWriteUs;  // tWD_EEPROM: an EEPROM byte's
};

constexpr unsigned kModels = 4;
extern const ChipModel kChipModels[kModels];

// The row of model (10, 11, 12, 15); the ATtiny12's for another number.
const ChipModel& chipModel(int model);

// The byte Write Fuse Bits sends for fuse value f.
unsigned fuseByteSent(const ChipModel& m, unsigned f);

// The clock class fuse byte f chooses, where the model's fuse chooses one.
bool clockClassOf(const ChipModel& m, unsigned f, ClockClass& clock);

// The clock class in words, as the refusal says it.
const char* describe(ClockClass clock);

// True when writing fuse value f would leave a chip of the model running
// on a clock the board may lack: a clock class other than the one of the
// fuse byte it runs on now (now), and not the chip's own RC oscillator,
// which every board has.
bool changesClock(const ChipModel& m, unsigned f, unsigned now);

// True when fuse value f, as it goes out, would program RSTDISBL on some
// model that takes serial programming: its reset pin would become a port pin.
bool disablesReset(unsigned f);

// True when fuse value f, as it goes out, would unprogram SPIEN on some
// model: serial programming would end for good.
bool endsSerialProgramming(unsigned f);

// f with SPIEN left programmed on every model.
unsigned keepingSerialProgramming(unsigned f);

}  // namespace isp
