// The target's programming pins on the port's lines, and the bit-level
// transfer that clocks bytes and instructions over them.
#pragma once

#include <cstdint>

#include "link/names.h"

namespace line {

using wiring::Pin;

// One four-byte serial programming instruction; the byte sent first is the
// most significant.
using IspInstruction = std::uint32_t;

// Opens the port called name; returns true when open. With fast, a pin is
// driven only when its level changes: the same waveform in fewer calls.
bool open(const char* name, bool fast);

// Drives an output pin to level 1 (set) or 0 (cleared): one platform call.
void set(Pin pin, int level);

// Reads MISO: one platform call; returns 0 or 1.
int readMiso();

// True while every line call and status query since the open has
// succeeded. Once one fails, the port is taken as gone: no further call
// reaches it and MISO reads 0.
bool answering();

// Lets the target run: RESET set.
void releaseTarget();

// Closes the port.
void close();

// Blocks for at least ms milliseconds; a virtual target counts the time instead.
void sleepMs(unsigned ms);

// Microseconds on a clock that never goes back.
std::uint64_t nowUs();

// Clocks b out MSB first; leaves SCK low and MOSI at bit 0 of b.
void sendByte(std::uint8_t b);

// Clocks b out while reading MISO; leaves SCK low and MOSI high. Returns the byte read.
std::uint8_t exchangeByte(std::uint8_t b);

// Clocks a byte in without touching MOSI; leaves SCK high. Returns the byte read.
std::uint8_t receiveByte();

// Sends all four bytes of w.
void sendInstruction(IspInstruction w);

// Sends the first three bytes of w and returns the byte clocked in as the fourth.
std::uint8_t queryInstruction(IspInstruction w);

}  // namespace line
