// The virtual adapter: the wiring between a serial port's lines and the
// chip's pins, and what the host did through it: its calls and what they
// cost, the pins they drove and read (counted, and traced a line each), and
// its sleeps. The in-process back end and the preload library both reach the
// chip through it, so the unit and end-to-end tests see the same adapter.
//
// Every line or status call costs virtual time (a native UART's few
// microseconds by default), so a program that polls the chip without
// sleeping still sees time pass. Sleeps pass at once; those with no pin
// driven or read between them are one wait in the trace, as a wait on the
// lines would look. With fail-after, the calls after the first N fail with
// EIO, as when an adapter is unplugged.
//
// A USB-serial adapter is modelled as its Linux driver drives it
// (adapterPresets()): each control transfer costs a line call's time, a
// status read may answer from a copy its interrupt endpoint refreshes, and a
// break may cost more than one transfer, fail, or be simulated.
//
// A device that moves the lines by itself, such as the FT232R's bit-bang
// (ft232r.h), makes its own calls (a USB transfer each) at its own cost,
// and moves and samples the lines between them at its own times.
//
// With noise (noise.h), the adapter garbles what passes between the host's
// calls and the chip's pins: the eligible call of noise-miso is a MISO read
// (a status read, or an FT232R sample), of noise-sck-drop and noise-sck-extra
// a drive of SCK, of noise-mosi a drive of MOSI, and of noise-mosi-bit a drive
// of SCK that rises. The chip is told of every rising edge as the host meant
// it, so that it can tell when its frame no longer matches the host's.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "vtarget/chip.h"
#include "vtarget/noise.h"
#include "vtarget/target.h"
#include "vtarget/violations.h"

namespace vtarget {

// The serial port's lines, as the adapter meets them.
using Line = wiring::PortLine;

constexpr unsigned lineBit(Line line) {
    return 1u << static_cast<unsigned>(line);
}

using wiring::Result;

// A modem-control call on a native UART takes a few microseconds.
constexpr std::uint64_t kDefaultCallNs = 2000;

// How the driver carries out TIOCSBRK and TIOCCBRK.
enum class BreakMode {
    Hold,    // the break lasts as long as asked
    Enotty,  // both fail with ENOTTY; the adapter is still there
    // CH341 chips without a break register (drivers/usb/serial/ch341.c,
    // ch341_simulate_break): the set sends a NUL at 46 baud and returns, so
    // MOSI is 1 for kPulseHighNs from it whatever the host does; the clear
    // waits until kPulseClearNs after the set before it returns.
    Pulse,
};

// 9 bits at 46 baud ("about 196ms"), and the driver's break_end: 11 bits,
// 11 * HZ / 46 jiffies, at HZ=1000.
constexpr std::uint64_t kPulseHighNs = 196000000;
constexpr std::uint64_t kPulseClearNs = 239000000;

struct AdapterConfig {
    std::uint64_t callNs = kDefaultCallNs;    // virtual time a line call costs
    std::uint64_t statusNs = kDefaultCallNs;  // virtual time a status read costs
    // 0: a status read gives MISO as it is. N: as it stood at the last
    // multiple of N ns, the copy an interrupt endpoint polled every N ns keeps.
    std::uint64_t statusPollNs = 0;
    BreakMode breakMode = BreakMode::Hold;
    // A break set or clear costs this many line calls' time: the transfers
    // the driver makes, and the tty layer's drain before a set.
    unsigned breakSetCalls = 1, breakClearCalls = 1;
    bool failAfterSet = false;
    std::uint64_t failAfter = 0;  // line, break and status calls that succeed; the later ones fail
    bool trace = false;           // keep a line per pin call in Adapter::trace()
    NoiseConfig noise;
};

// An adapter family, as its Linux driver drives it.
struct AdapterPreset {
    const char* name;  // the adapter= value
    AdapterConfig config;
    bool statusFollowsCall;  // a status read is a control transfer: it costs what call-us says
};

// native, ftdi, cp210x, ch340, pl2303; native is AdapterConfig's defaults.
const std::vector<AdapterPreset>& adapterPresets();

class Adapter {
  public:
    Adapter(Target chip, const AdapterConfig& config);

    // One call that drives each of RTS and DTR in `lines` (lineBit()s) to
    // its bit in `levels`: a line call, and a trace line such as "SCK 1", for
    // each pin. Other lines are left alone. EIO, and nothing driven, once the
    // adapter is gone.
    Result drive(unsigned lines, unsigned levels);

    // Sets (TIOCSBRK) or clears (TIOCCBRK) the break that carries MOSI, as
    // AdapterConfig::breakMode says; a line call, traced "MOSI 1". EIO once
    // the adapter is gone, ENOTTY where the driver has no break.
    Result setBreak(bool on);

    // One call that reads every line into `levels` (lineBit()s): the host's
    // lines as driven, MISO as the adapter reports it (a status read, traced
    // "MISO 0"). EIO, reading 0, once the adapter is gone.
    Result read(unsigned& levels);

    // A call of the host's that costs ns of virtual time: EIO once the
    // adapter is gone (and the later ones fail too), else refusal where it is
    // not 0. drive() and read() make one each, at the configured cost.
    Result call(std::uint64_t ns, int refusal = 0);
    // Drives lines (the break's too) and reads them as drive() and read() do,
    // counted and traced alike, with no call of their own.
    void setLines(unsigned lines, unsigned levels);
    unsigned lines();

    // The host sleeps ns: over at once in virtual time. Sleeps with no pin
    // call between them are one wait, traced in whole milliseconds: "SLEEP 2000".
    void sleep(std::uint64_t ns);
    // Time that passes without a sleep: a clock being watched, or real time.
    void advance(std::uint64_t ns);
    // The port is opened: the chip powers up afresh, and a fuse written
    // since takes effect.
    void powerUp();
    // A request the adapter does not know.
    void refuse(std::string what);

    std::uint64_t nowNs() const;
    std::uint64_t sleptNs() const;  // every sleep asked for, exactly
    // Calls and sleeps so far: what a watched clock tells the host's other work by.
    std::uint64_t activity() const { return activity_; }
    std::uint64_t lineCalls() const { return lineCalls_; }      // pins driven
    std::uint64_t statusReads() const { return statusReads_; }  // reads of MISO
    // A line per pin call and wait: "SCK 1", "MOSI 0", "RESET 1", "MISO 0",
    // "SLEEP 2000"; kept only with AdapterConfig::trace.
    const std::vector<std::string>& trace() const { return trace_; }
    const Violations& violations() const { return violations_; }
    const Noise& noise() const { return noise_; }

  private:
    void driveSck(bool level);
    void driveMosi(bool level);
    void pinCall(const char* name, bool level);
    void pollMiso();

    Target chip_;
    const AdapterConfig config_;
    std::uint64_t calls_ = 0;     // calls that succeeded
    std::uint64_t activity_ = 0;  // calls tried and sleeps taken
    std::uint64_t sleptNs_ = 0;
    std::uint64_t lineCalls_ = 0, statusReads_ = 0;
    std::uint64_t waitNs_ = 0;  // the sleeps since the last pin call
    bool waitTraced_ = false;   // the trace's last line is that wait
    // The interrupt endpoint's copy of MISO, as it stood at polledAtNs_.
    bool polled_ = false, polledMiso_ = false;
    std::uint64_t polledAtNs_ = 0;
    // A simulated break: MOSI falls at pulseEndNs_; a clear waits until pulseClearNs_.
    bool pulsing_ = false;
    std::uint64_t pulseEndNs_ = 0, pulseClearNs_ = 0;
    std::vector<std::string> trace_;
    Violations violations_;
    Noise noise_;
    // SCK and MOSI as the host drove them, whatever noise made of them.
    bool hostSck_ = false, hostMosi_ = false;
};

}  // namespace vtarget
