#include "isp/instructions.h"

#include "link/port.h"

namespace isp {

namespace {

using waveform::IspInstruction;

std::uint64_t clocked = 0;

std::uint8_t enableFill = kFactoryFuse >> 1;

IspInstruction word(unsigned b1, unsigned b2, unsigned b3, unsigned b4) {
    return ((b1 & 0xFFu) << 24) | ((b2 & 0xFFu) << 16) | ((b3 & 0xFFu) << 8) | (b4 & 0xFFu);
}

// Flash byte address a as the first three bytes: the low/high byte choice in
// byte 1, the 9-bit word address across bytes 2 and 3.
IspInstruction flashWord(unsigned opcode, unsigned a, unsigned d) {
    unsigned high = (a & 1u) ? 0x08u : 0x00u;
    return word(opcode | high, (a >> 9) & 0x01u, (a >> 1) & 0xFFu, d);
}

// Sends all four bytes of w in one waveform.
void send(IspInstruction w) {
    ++clocked;
    waveform::Waveform wave = port::begin();
    waveform::sendInstruction(wave, w);
    port::exchange(wave);
}

// Sends the first three bytes of w and returns the fourth as it comes back.
std::uint8_t query(IspInstruction w) {
    ++clocked;
    waveform::Waveform wave = port::begin();
    waveform::queryInstruction(wave, w);
    return waveform::byteAt(port::exchange(wave), 0);
}

// Sends all four bytes of written, waits waitUs, then sends the first three
// of read, and returns the fourth of read as it comes back: one waveform.
std::uint8_t sendThenQuery(IspInstruction written, std::uint32_t waitUs, IspInstruction read) {
    clocked += 2;
    waveform::Waveform wave = port::begin();
    waveform::sendInstruction(wave, written);
    if (waitUs > 0) waveform::wait(wave, waitUs);
    waveform::queryInstruction(wave, read);
    return waveform::byteAt(port::exchange(wave), 0);
}

}  // namespace

void fillEnableWith(unsigned fuse) {
    enableFill = static_cast<std::uint8_t>((fuse & 0xFFu) >> 1);
}

// AC 53 00 ff: bytes 1, 2 and 4 sent, byte 3 exchanged for the echo.
bool programmingEnable() {
    ++clocked;
    waveform::Waveform wave = port::begin();
    waveform::sendByte(wave, 0xAC);
    waveform::sendByte(wave, 0x53);
    waveform::exchangeByte(wave, 0x00);
    waveform::sendByte(wave, enableFill);
    return waveform::byteAt(port::exchange(wave), 0) == 0x53;
}

// AC 53 00 ff and 30 00 00 rr in one waveform
bool answersInStep(unsigned signatureZero) {
    clocked += 2;
    waveform::Waveform wave = port::begin();
    waveform::sendByte(wave, 0xAC);
    waveform::sendByte(wave, 0x53);
    waveform::exchangeByte(wave, 0x00);
    waveform::sendByte(wave, enableFill);
    waveform::queryInstruction(wave, word(0x30, 0x00, 0x00, 0x00));
    waveform::Samples samples = port::exchange(wave);
    return waveform::byteAt(samples, 0) == 0x53 && waveform::byteAt(samples, 8) == signatureZero;
}

// AC 80 00 00: "1010 1100 100x xxxx ..." with every don't-care bit 0. With
// them 1 (AC 9F FF FF), one SCK pulse lost among the zeros of 9F framed the
// word as Write Fuse Bits AC BF FF FE, SPIEN unprogrammed: a lock-out.
void chipErase() {
    send(word(0xAC, 0x80, 0x00, 0x00));
}

// AC 80 00 00, and a wait
void chipEraseAndWait(std::uint32_t waitUs) {
    waveform::Waveform wave = port::begin();
    waveform::sendInstruction(wave, word(0xAC, 0x80, 0x00, 0x00));
    waveform::wait(wave, waitUs);
    port::exchange(wave);
}

// 30 00 0i rr
std::uint8_t readSignatureByte(unsigned i) {
    return query(word(0x30, 0x00, i & 0x03u, 0x00));
}

// 38 00 00 rr
std::uint8_t readCalibrationByte() {
    return query(word(0x38, 0x00, 0x00, 0x00));
}

// 50 00 00 rr
std::uint8_t readFuseBits() {
    return query(word(0x50, 0x00, 0x00, 0x00));
}

// 58 00 00 rr
std::uint8_t readLockBits() {
    return static_cast<std::uint8_t>(query(word(0x58, 0x00, 0x00, 0x00)) & 0x06u);
}

// 20|28 0a aa rr
std::uint8_t readFlashByte(unsigned a) {
    return query(flashWord(0x20, a, 0x00));
}

// 40|48 0a aa dd
void writeFlashByte(unsigned a, unsigned d) {
    send(flashWord(0x40, a, d));
}

// A0 00 aa rr
std::uint8_t readEepromByte(unsigned a) {
    return query(word(0xA0, 0x00, a & 0x3Fu, 0x00));
}

// C0 00 aa dd
void writeEepromByte(unsigned a, unsigned d) {
    send(word(0xC0, 0x00, a & 0x3Fu, d));
}

// 40|48 0a aa dd, a wait, then 20|28 0a aa rr
std::uint8_t writeWaitReadFlashByte(unsigned a, unsigned d, std::uint32_t waitUs) {
    return sendThenQuery(flashWord(0x40, a, d), waitUs, flashWord(0x20, a, 0x00));
}

// 40|48 0a aa dd, and a wait
void writeWaitFlashByte(unsigned a, unsigned d, std::uint32_t waitUs) {
    ++clocked;
    waveform::Waveform wave = port::begin();
    waveform::sendInstruction(wave, flashWord(0x40, a, d));
    waveform::wait(wave, waitUs);
    port::exchange(wave);
}

// 20|28 0a aa rr or A0 00 aa rr, n times, in one waveform
void readBytes(bool flash, unsigned a, unsigned n, std::uint8_t* bytes) {
    clocked += n;
    waveform::Waveform wave = port::begin();
    for (unsigned i = 0; i < n; ++i) {
        waveform::queryInstruction(
            wave, flash ? flashWord(0x20, a + i, 0x00) : word(0xA0, 0x00, (a + i) & 0x3Fu, 0x00));
    }
    waveform::Samples samples = port::exchange(wave);
    for (unsigned i = 0; i < n; ++i)
        bytes[i] = waveform::byteAt(samples, 8 * i);
}

std::uint64_t instructionsClocked() {
    return clocked;
}

// AC A0 00 ff
void writeFuseBits(unsigned f) {
    send(word(0xAC, 0xA0, 0x00, f));
}

// AC F9|ll 00 00
void writeLockBits(unsigned l) {
    send(word(0xAC, 0xF9u | (l & 0x06u), 0x00, 0x00));
}

}  // namespace isp
