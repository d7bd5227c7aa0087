// A virtual FTDI FT232R in synchronous bit-bang mode, wired to the chip
// through the virtual adapter (adapter.h) as a serial port's lines are.
//
// Its bit-bang bus is its UART's pins, D0..D7 = TXD, RXD, RTS#, CTS#, DTR#,
// DSR#, DCD#, RI# (the FTDI knowledge base's bit-bang table gives FT232RL
// pins 1, 5, 3, 11, 2, 9, 10, 6, which DS_FT232R names so; avrdude.conf's
// FT232R programmers agree).
// Each pin stands at the level the UART would give it for the same line
// state: an asserted RTS# or DTR# is low, and a break holds TXD low. So the
// adapter's lines are the inverted pins, RTS = NOT D2, DTR = NOT D4, the
// break of TxD = NOT D0, and D5 reads NOT DSR. Output pins (the mask of the
// bit mode) read back as driven, the other inputs read 1. In UART mode no
// line is asserted and every pin but DSR# stands high.
//
// Synchronous bit-bang (FTDI knowledge base, "Synchronous Bit Bang Mode"):
// each byte written is put on the pins in turn, and for each one a byte is
// read, the pins as they stood before it. The bytes go out at the sample
// clock, 16 times the baud rate the chip is set to (FTDI's bit-bang notes;
// pyftdi's BITBANG_BAUDRATE_RATIO_BASE), so each reaches the chip at its own
// virtual time and the chip sees real pulse widths. Measurements on the
// libftdi list find synchronous bit-bang slower than that, so the pulses
// here are the shortest the chip would meet.
//
// The host waits on the device once a round trip: the samples of what it
// wrote come back when the latency timer (16 ms, 1 to 255; DS_FT232R
// "Programmable Receive Buffer Timeout") runs out after the last byte was
// clocked, and a control request takes a USB frame, 1 ms. With fail-after
// the device vanishes after the first N transfers: every later one fails,
// and it is not found again. More than 384 bytes written and not read (its
// 128- and 256-byte buffers) would stall real hardware: a violation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

#include "vtarget/adapter.h"

namespace vtarget {

struct Ft232rConfig {
    std::string serial = "QUILLET1";
    bool usbTakesTime = true;  // round trips wait; false in real time, which passes by itself
};

class Ft232r {
  public:
    static constexpr std::uint16_t kVendor = 0x0403;
    static constexpr std::uint16_t kProduct = 0x6001;
    static constexpr const char* kManufacturer = "FTDI";
    static constexpr const char* kDescription = "FT232R USB UART";
    static constexpr std::size_t kBufferBytes = 384;
    static constexpr std::uint8_t kModeUart = 0x00;
    static constexpr std::uint8_t kModeSyncBitbang = 0x04;

    Ft232r(Adapter& adapter, const Ft232rConfig& config);

    const std::string& serial() const { return config_.serial; }
    // Whether it is on the bus: it vanishes with the first transfer that fails.
    bool present() const { return !gone_; }
    bool isOpen() const { return open_; }
    // The host takes the device: the chip powers up (unless the device is
    // open already) and the pins stand as in UART mode, at 9600 baud with
    // the latency timer at 16 ms. False when it is not present.
    bool open();
    void close();

    // Control requests, a USB transfer each: false once the device is gone.
    bool setLatencyTimer(unsigned ms);
    // mode: kModeUart, or kModeSyncBitbang with outputs as the output pins;
    // another mode is refused (a violation) and taken as UART mode.
    bool setBitmode(std::uint8_t outputs, std::uint8_t mode);
    bool setBaudrate(std::uint32_t baud);
    // Drops what was sampled and not yet read.
    bool purge();
    bool readPins(std::uint8_t& pins);

    // Bulk transfers. write() takes every byte; read() gives up to n bytes
    // of samples, 0 when there are none, -1 once the device is gone.
    bool write(const std::uint8_t* bytes, std::size_t n);
    long read(std::uint8_t* out, std::size_t n);

    // The transfers the host waited on: control requests and reads that
    // asked the device.
    std::uint64_t roundTrips() const { return roundTrips_; }

    // The rate the FT232R's baud generator makes nearest to baud, 3 MHz over
    // a divisor in eighths (DS_FT232R, "Baud Rates"), rounded as libftdi
    // rounds it; 0 for a rate of 0 or less.
    static std::uint32_t nearestBaud(std::int64_t baud);

  private:
    bool transfer(std::uint64_t ns);
    bool waited(std::uint64_t ns);
    std::uint8_t pins();
    void drivePins();
    void clockSample();

    Adapter& adapter_;
    const Ft232rConfig config_;
    bool open_ = false, gone_ = false;
    std::uint8_t mode_ = kModeUart, outputs_ = 0, latch_ = 0xFF;
    unsigned driven_ = 0;  // the adapter's lines as last driven (lineBit()s)
    unsigned latencyMs_ = 16;
    std::uint32_t baud_ = 9600;
    std::uint64_t sampleRemainder_ = 0;  // of the sample period, in 1/(16 baud) ns
    std::deque<std::uint8_t> samples_;   // read from the pins, not yet taken by the host
    std::size_t delivered_ = 0;          // of samples_, those that have reached the host
    std::uint64_t readyAtNs_ = 0;        // when the latest samples reach the host
    std::uint64_t roundTrips_ = 0;
};

}  // namespace vtarget
