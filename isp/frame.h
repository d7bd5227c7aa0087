// Keeping the chip in step with the host's framing on a line that may lose
// or add a bit: a check that the chip answers in step, a resynchronisation
// where it does not, and a count of what the line cost.
#pragma once

#include "image/reader.h"

namespace isp {

// K: the most instructions clocked into a chip that lost its frame before a
// check finds it, the check's own two (Programming Enable and Read Signature
// Byte 0, one waveform of 264 line calls) included: a check is due after 30
// others, which costs a load that reads every byte back about 7% more calls.
constexpr unsigned kCheckEvery = 32;

// Forgets the line of an earlier run: no noise counted, the chip not lost.
void startRun();

// Reads signature byte 0 until two reads agree, as the check is to expect
// it: Atmel's 0x1E, or 0x00 from a chip with both lock bits programmed,
// which answers Read Signature Byte with its address (see identify). Done
// where the chip was just synchronised, before its lock bits are known.
void learnSignatureZero();

// From now on the check expects signature byte 0 as a chip with these lock
// bits answers it, not as a read gives it: after an erase or a lock write,
// a chip that slipped its frame would be read as 0x00 and taken as locked,
// and every later check would pass on its silence.
void expectSignatureZero(unsigned lock);

enum class Frame {
    Unchecked,       // no check was due
    InStep,          // checked: the chip answers in step
    Resynchronised,  // it did not, and now does again: go back to the last good point
    Lost,            // it did not, and does not again: nothing more may be sent
};

// Proves the chip in step once kCheckEvery instructions have been clocked
// since the last proof, or at once with force, and resynchronises it where
// it is not. Only checks the datasheets document serve: Programming Enable's
// echo of 0x53 while its third byte is clocked ("When in sync, the second
// byte ($53) will echo back", ATtiny11/12 datasheet 1006, "Low-voltage
// Serial Downloading"; ATtiny15L 1187, the same), and Read Signature Byte 0
// giving 0x1E (both, "Signature Bytes"), or the byte learnt. Once the chip
// is lost it stays lost for the run and nothing is sent.
Frame keepInStep(bool force = false);

// True once keepInStep has resynchronised, until wentBack() is called: the
// caller goes back to its last good point then.
bool mustGoBack();
void wentBack();

// Moves a loop over addresses on after the instructions for the n bytes at
// a: a and good (where the chip was last proved in step) forward, or a back
// to good after a resynchronisation. False once the chip is lost, said.
bool moveOn(Frame frame, unsigned& a, unsigned& good, unsigned n);

// True once the chip no longer answers in step.
bool chipLost();

// How many times the chip was resynchronised in this run.
unsigned resynchronisationCount();

// True once the run read a byte again or resynchronised the chip.
bool noiseSeen();

// Says that the chip was lost while the run stood at address a, once a run.
void reportLost(unsigned a);

// The byte at a again, where a read gave first (and a second read second,
// where not negative) and the caller doubts it: read at least twice more,
// until one value was read two times more often than any other (on a clean
// line, three reads alike), at most nine fresh reads, else the value read
// most often. Reads that differ count as a byte read again, and the chip
// is proved in step after them: the caller goes back where it must
// (mustGoBack) and stops where the chip is lost.
unsigned readMajority(image::MemoryKind kind, unsigned a, unsigned first, int second = -1);

// Counts a byte read again where the caller read it again itself.
void countReadAgain();

// Where the run read bytes again or resynchronised, says so in one line.
void reportLineNoise();

}  // namespace isp
