#include "isp/instructions.h"

#include "link/line.h"

namespace isp {

namespace {

line::IspInstruction word(unsigned b1, unsigned b2, unsigned b3, unsigned b4) {
    return ((b1 & 0xFFu) << 24) | ((b2 & 0xFFu) << 16) | ((b3 & 0xFFu) << 8) | (b4 & 0xFFu);
}

// Flash byte address a as the first three bytes: the low/high byte choice in
// byte 1, the 9-bit word address across bytes 2 and 3.
line::IspInstruction flashWord(unsigned opcode, unsigned a, unsigned d) {
    unsigned high = (a & 1u) ? 0x08u : 0x00u;
    return word(opcode | high, (a >> 9) & 0x01u, (a >> 1) & 0xFFu, d);
}

}  // namespace

// AC 53 00 00: bytes 1, 2 and 4 sent, byte 3 exchanged for the echo.
bool programmingEnable() {
    line::sendByte(0xAC);
    line::sendByte(0x53);
    std::uint8_t echo = line::exchangeByte(0x00);
    line::sendByte(0x00);
    return echo == 0x53;
}

// AC 9F FF FF
void chipErase() {
    line::sendInstruction(word(0xAC, 0x9F, 0xFF, 0xFF));
}

// 30 00 0i rr
std::uint8_t readSignatureByte(unsigned i) {
    return line::queryInstruction(word(0x30, 0x00, i & 0x03u, 0x00));
}

// 38 00 00 rr
std::uint8_t readCalibrationByte() {
    return line::queryInstruction(word(0x38, 0x00, 0x00, 0x00));
}

// 50 00 00 rr
std::uint8_t readFuseBits() {
    return static_cast<std::uint8_t>(line::queryInstruction(word(0x50, 0x00, 0x00, 0x00)) & 0x3Fu);
}

// 58 00 00 rr
std::uint8_t readLockBits() {
    return static_cast<std::uint8_t>(line::queryInstruction(word(0x58, 0x00, 0x00, 0x00)) & 0x06u);
}

// 20|28 0a aa rr
std::uint8_t readFlashByte(unsigned a) {
    return line::queryInstruction(flashWord(0x20, a, 0x00));
}

// 40|48 0a aa dd
void writeFlashByte(unsigned a, unsigned d) {
    line::sendInstruction(flashWord(0x40, a, d));
}

// A0 00 aa rr
std::uint8_t readEepromByte(unsigned a) {
    return line::queryInstruction(word(0xA0, 0x00, a & 0x3Fu, 0x00));
}

// C0 00 aa dd
void writeEepromByte(unsigned a, unsigned d) {
    line::sendInstruction(word(0xC0, 0x00, a & 0x3Fu, d));
}

// AC A0 00 ff|0C
void writeFuseBits(unsigned f) {
    line::sendInstruction(word(0xAC, 0xA0, 0x00, (f & 0xFFu) | 0x0Cu));
}

// AC F9|ll 00 00
void writeLockBits(unsigned l) {
    line::sendInstruction(word(0xAC, 0xF9u | (l & 0x06u), 0x00, 0x00));
}

}  // namespace isp
