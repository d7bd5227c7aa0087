// An instruction's waveform as data: the levels driven on SCK, MOSI and
// RESET, the points where MISO is sampled, and waits, in order.
//
// The target shifts MISO out on the falling edge of SCK and samples MOSI on
// the rising edge, so every sample falls between SCK low and SCK high. There
// is no delay in a byte: the transport that runs the steps is the clock.
//
// A waveform starts from the pins' present levels. With changesOnly, a drive
// that would not change a pin's level is left out: the same waveform in
// fewer steps. Otherwise every drive is a step, repeats included.
#pragma once

#include <cstddef>
#include <cstdint>

#include "link/names.h"

namespace waveform {

using wiring::Pin;

// One four-byte serial programming instruction; the byte sent first is the
// most significant.
using IspInstruction = std::uint32_t;

struct Step {
    enum Kind : std::uint8_t { Drive, Sample, Wait };
    Kind kind;
    Pin pin;           // Drive: SCK, MOSI or RESET; Sample: MISO
    bool level;        // Drive
    std::uint32_t us;  // Wait
};

// Room for the longest waveform built in one go: 8 queried instructions (a
// final read's batch), 120 drives and samples each and a wait before each
// of their 8 samples.
constexpr std::size_t kMaxSteps = 1024;
constexpr std::size_t kMaxSamples = 64;
constexpr int kUnknown = -1;

// The levels of the three driven pins, by Pin, as last driven (kUnknown
// before the first drive).
struct Levels {
    int pin[3] = {kUnknown, kUnknown, kUnknown};
};

struct Waveform {
    Step steps[kMaxSteps];
    std::size_t count = 0;
    std::size_t samples = 0;
    bool overflowed = false;  // a step did not fit: the waveform must not run
    bool changesOnly = false;
    std::uint32_t sampleWaitUs = 0;  // a wait before every sample
    Levels levels;                   // as the waveform leaves them
};

// The MISO levels a run of a waveform read, in the order of its samples.
struct Samples {
    bool bits[kMaxSamples];
    std::size_t count = 0;
};

// A waveform that starts from levels. With sampleWaitUs, every sample waits
// that long first: for a port whose status reads show the lines as they were
// a while ago.
Waveform start(const Levels& levels, bool changesOnly, std::uint32_t sampleWaitUs = 0);

// Drives an output pin to level 1 (true) or 0.
void drive(Waveform& wave, Pin pin, bool level);
// Samples MISO.
void sample(Waveform& wave);
// Waits at least us microseconds.
void wait(Waveform& wave, std::uint32_t us);

// Clocks b out MSB first; leaves SCK low and MOSI at bit 0 of b.
void sendByte(Waveform& wave, std::uint8_t b);
// Clocks b out while sampling MISO: 8 samples; leaves SCK low and MOSI high.
void exchangeByte(Waveform& wave, std::uint8_t b);
// Clocks 8 samples in without touching MOSI; leaves SCK high.
void receiveByte(Waveform& wave);
// Sends all four bytes of w.
void sendInstruction(Waveform& wave, IspInstruction w);
// Sends the first three bytes of w and receives the fourth: 8 samples.
void queryInstruction(Waveform& wave, IspInstruction w);

// The byte of the 8 samples from first on, the first one its bit 7.
std::uint8_t byteAt(const Samples& samples, std::size_t first);

}  // namespace waveform
