// The target's four-byte serial programming instructions, one function each.
// Arguments are masked into their fields; bits outside a field are dropped.
#pragma once

#include <cstdint>

namespace isp {

// Programming Enable's fourth byte is "xxxx xxxx" (ATtiny11/12 1006,
// ATtiny15L 1187, "Serial Programming Instruction Set"): it is sent as the
// fuse byte the chip holds, shifted right by one. One of the three zeros
// around its first two bytes' boundary lost on the line turns the word into
// Write Fuse Bits (AC A6 ..) with that byte shifted back as its data: the
// chip then writes the fuse byte it holds, but for CKSEL0 cleared, which
// keeps it on the same kind of clock or moves it to the internal RC one.
// Until the fuse byte is known it is the ATtiny12's factory 0x52: SPIEN
// programmed, RSTDISBL not, the internal RC oscillator.
constexpr unsigned kFactoryFuse = 0x52;
void fillEnableWith(unsigned fuse);
// Returns true when the target echoes 0x53 in the third byte.
bool programmingEnable();
// Programming Enable and Read Signature Byte 0 in one waveform: true when
// the echo is 0x53 and the byte signatureZero.
bool answersInStep(unsigned signatureZero);
void chipErase();
// Chip Erase and a wait of waitUs, in one waveform.
void chipEraseAndWait(std::uint32_t waitUs);
// i: 0 manufacturer, 1 flash size, 2 model. Returns the byte.
std::uint8_t readSignatureByte(unsigned i);
std::uint8_t readCalibrationByte();
// Returns the fuse byte, all eight bits; a model reports some of them
// (isp/models.h).
std::uint8_t readFuseBits();
// Returns the two lock bits in bits 2 and 1 (0x06: none programmed).
std::uint8_t readLockBits();
// a: flash byte address (wraps at 1024). Returns the byte.
std::uint8_t readFlashByte(unsigned a);
void writeFlashByte(unsigned a, unsigned d);
// a: EEPROM address (wraps at 64). Returns the byte.
std::uint8_t readEepromByte(unsigned a);
void writeEepromByte(unsigned a, unsigned d);
// Write Flash Byte, a wait of waitUs and Read Flash Byte of the same address,
// in one waveform: one exchange where the transport batches. Returns the
// byte read.
std::uint8_t writeWaitReadFlashByte(unsigned a, unsigned d, std::uint32_t waitUs);
// Write Flash Byte and a wait of waitUs, in one waveform.
void writeWaitFlashByte(unsigned a, unsigned d, std::uint32_t waitUs);
// Reads n (at most kReadBatch) bytes from a on, of flash or of the EEPROM,
// in one waveform: one exchange where the transport batches. Six fit in a
// waveform (link/waveform.h) and keep a final pass's checks of the frame
// (isp/frame.h) within K instructions.
constexpr unsigned kReadBatch = 6;
void readBytes(bool flash, unsigned a, unsigned n, std::uint8_t* bytes);
// How many instructions have been clocked out since the program started.
std::uint64_t instructionsClocked();
// Sends the byte f as it is; a model's own encoding is fuseByteSent()'s.
void writeFuseBits(unsigned f);
// Bits 2 and 1 of l; a 0 programs that lock bit.
void writeLockBits(unsigned l);

}  // namespace isp
