// What a run leaves for the one who asked: the chip's state as JSON
// (state-out) and the trace of its calls (trace-out).
//
// The state is one object: from the chip, "flash" and "eeprom" (hexadecimal,
// address 0 first), "fuse" and "lock" (two hexadecimal digits), "virtual_us"
// (the chip's clock), "instructions" (count per kind) and
// "unknown_instructions"; from the adapter, "sleep_us" (the sleeps the host
// asked for), "line_calls" and "status_reads" (pins driven and MISO reads);
// "usb_round_trips" (the USB transfers a host of the virtual FT232R waited
// on); from both, "violation_count" and "violations" (the first few, as text).
//
// The TPI chip's state has "model", "flash" (its 512 or 1024 bytes), "lock",
// "config" and "calibration" (two hexadecimal digits each), "nvmen",
// "error_state", and the same counts and noise, with "instructions" by TPI
// instruction and NVM operation, but no out-of-frame counts.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>

#include "vtarget/adapter.h"
#include "vtarget/chip.h"
#include "vtarget/tpi_chip.h"

namespace vtarget {

// portOpens: the opens of a served path that reached the served port.
std::string stateJson(const Chip& chip, const Adapter& adapter, std::uint64_t usbRoundTrips,
                      std::uint64_t portOpens = 0);
std::string tpiStateJson(const TpiChip& chip, const Adapter& adapter, std::uint64_t usbRoundTrips,
                         std::uint64_t portOpens = 0);

// The adapter's trace, a line per pin call or wait: "SCK 1", "MOSI 0",
// "RESET 1", "MISO 0", "SLEEP 2000".
void writeTrace(std::ostream& out, const Adapter& adapter);

}  // namespace vtarget
