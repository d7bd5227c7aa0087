#include "vtarget/adapter.h"

#include <cerrno>

namespace vtarget {

namespace {

constexpr std::uint64_t kNsPerMs = 1000000;
// One USB control transfer, synchronous in every driver below: taken as one
// full-speed frame (1 ms, USB 2.0 9.6.6). A planning figure, not a measurement.
constexpr std::uint64_t kTransferNs = 1000000;
// A status read the driver answers from its copy, with no USB I/O: a system
// call's time, as on a native UART.
constexpr std::uint64_t kCachedNs = kDefaultCallNs;
// bInterval 1 of the CH340's and PL2303's interrupt IN endpoint: polled every frame.
constexpr std::uint64_t kFrameNs = 1000000;

AdapterConfig preset(std::uint64_t statusNs, std::uint64_t pollNs, unsigned setCalls,
                     unsigned clearCalls) {
    AdapterConfig config;
    config.callNs = kTransferNs;
    config.statusNs = statusNs;
    config.statusPollNs = pollNs;
    config.breakSetCalls = setCalls;
    config.breakClearCalls = clearCalls;
    return config;
}

struct Wire {
    Line line;
    Pin pin;
    bool fromHost;
    const char* name;  // the pin's, in the trace
};

//   chip              serial port (DB9)
//   SCK    <--------  RTS   (7)
//   RESET  <--------  DTR   (4)
//   MOSI   <--------  TxD   (3)  break state
//   MISO   -------->  DSR   (6)
// A call that drives several lines drives them in this order.
const Wire kWiring[] = {
    {Line::Rts, Pin::Sck, true, "SCK"},
    {Line::Dtr, Pin::Reset, true, "RESET"},
    {Line::TxBreak, Pin::Mosi, true, "MOSI"},
    {Line::Dsr, Pin::Miso, false, "MISO"},
};

}  // namespace

// Each driver in drivers/usb/serial/ of Linux: TIOCMSET, TIOCMBIS and TIOCMBIC
// are one control OUT transfer in every one (ftdi_tiocmset, cp210x_tiocmset,
// ch341_tiocmset, pl2303_tiocmset). TIOCMGET is a fresh control IN on
// ftdi_sio (ftdi_get_modem_status) and cp210x (CP210X_GET_MDMSTS); ch341 and
// pl2303 return the status their interrupt endpoint last reported
// (ch341_read_int_callback, pl2303_read_int_callback). Before TIOCSBRK the
// tty layer drains the output (tty_io.c, tty_wait_until_sent), one more
// transfer where the driver has tx_empty (ftdi_tx_empty, cp210x_tx_empty);
// the break itself is one transfer (ftdi_break_ctl, cp210x_break_ctl,
// pl2303_set_break), or two on ch341 chips with a break register, which
// read it and write it (ch341_break_ctl).
const std::vector<AdapterPreset>& adapterPresets() {
    static const std::vector<AdapterPreset> presets = {
        {"native", AdapterConfig(), true},
        {"ftdi", preset(kTransferNs, 0, 2, 1), true},
        {"cp210x", preset(kTransferNs, 0, 2, 1), true},
        {"ch340", preset(kCachedNs, kFrameNs, 2, 2), false},
        {"pl2303", preset(kCachedNs, kFrameNs, 1, 1), false},
    };
    return presets;
}

Adapter::Adapter(Target chip, const AdapterConfig& config)
    : chip_(chip), config_(config), noise_(config.noise) {}

// Every call takes its time, whether or not the adapter is still there, and
// counts as one that succeeded unless it fails: with EIO once the adapter is
// gone, else with refusal when there is one.
Result Adapter::call(std::uint64_t ns, int refusal) {
    ++activity_;
    advance(ns);
    if (config_.failAfterSet && calls_ >= config_.failAfter) return Result{EIO};
    if (refusal != 0) return Result{refusal};
    ++calls_;
    return Result{};
}

// A pin driven or read ends the wait before it.
void Adapter::pinCall(const char* name, bool level) {
    waitNs_ = 0;
    waitTraced_ = false;
    if (config_.trace) trace_.push_back(std::string(name) + (level ? " 1" : " 0"));
}

Result Adapter::drive(unsigned lines, unsigned levels) {
    Result result = call(config_.callNs);
    if (!result) return result;
    pollMiso();
    // The break has calls of its own: setBreak().
    setLines(lines & ~lineBit(Line::TxBreak), levels);
    return result;
}

void Adapter::setLines(unsigned lines, unsigned levels) {
    for (const Wire& wire : kWiring) {
        unsigned bit = lineBit(wire.line);
        if (!wire.fromHost || (lines & bit) == 0) continue;
        bool level = (levels & bit) != 0;
        ++lineCalls_;
        pinCall(wire.name, level);
        if (wire.pin == Pin::Sck) {
            driveSck(level);
        } else if (wire.pin == Pin::Mosi) {
            driveMosi(level);
        } else {
            chip_.setPin(wire.pin, level);
        }
    }
}

// A rising edge the host meant is the chip's to know, dropped or not; one
// the noise adds is not.
void Adapter::driveSck(bool level) {
    bool rises = level && !hostSck_;
    hostSck_ = level;
    bool drop = noise_.strike(NoiseKind::SckDrop, nowNs());
    bool extra = noise_.strike(NoiseKind::SckExtra, nowNs());
    bool flipBit = rises && noise_.strike(NoiseKind::MosiBit, nowNs());
    if (rises) chip_.hostSample(hostMosi_);
    if (drop) return;
    bool mosi = chip_.pinLevel(Pin::Mosi);
    if (flipBit) chip_.setPin(Pin::Mosi, !mosi);
    chip_.setPin(Pin::Sck, level);
    if (flipBit) chip_.setPin(Pin::Mosi, mosi);
    if (extra) chip_.glitchSck();
}

void Adapter::driveMosi(bool level) {
    hostMosi_ = level;
    chip_.setPin(Pin::Mosi, noise_.strike(NoiseKind::Mosi, nowNs()) ? !level : level);
}

Result Adapter::setBreak(bool on) {
    // ch341_simulate_break: the clear sleeps until the NUL has gone out.
    if (!on && nowNs() < pulseClearNs_) advance(pulseClearNs_ - nowNs());
    unsigned calls = on ? config_.breakSetCalls : config_.breakClearCalls;
    Result result =
        call(calls * config_.callNs, config_.breakMode == BreakMode::Enotty ? ENOTTY : 0);
    if (!result) return result;
    pulsing_ = on && config_.breakMode == BreakMode::Pulse;
    pulseEndNs_ = nowNs() + kPulseHighNs;
    pulseClearNs_ = pulsing_ ? nowNs() + kPulseClearNs : 0;
    ++lineCalls_;
    pinCall("MOSI", on);
    driveMosi(on);
    return result;
}

Result Adapter::read(unsigned& levels) {
    levels = 0;
    Result result = call(config_.statusNs);
    if (!result) return result;
    pollMiso();
    levels = lines();
    return result;
}

unsigned Adapter::lines() {
    unsigned levels = 0;
    for (const Wire& wire : kWiring) {
        // The host's own lines read as it drove them, whatever noise made of them.
        bool level = wire.pin == Pin::Sck    ? hostSck_
                     : wire.pin == Pin::Mosi ? hostMosi_
                                             : chip_.pinLevel(wire.pin);
        if (!wire.fromHost) {
            level = polled_ && polledAtNs_ + config_.statusPollNs > nowNs() ? polledMiso_ : level;
            if (noise_.strike(NoiseKind::Miso, nowNs())) level = !level;
            ++statusReads_;
            pinCall(wire.name, level);
        }
        if (level) levels |= lineBit(wire.line);
    }
    return levels;
}

// Keeps the interrupt endpoint's copy: before the pins change at a time
// after the last poll boundary, MISO as it is now is MISO as it stood there.
// A change made at the boundary itself is in the copy.
void Adapter::pollMiso() {
    if (config_.statusPollNs == 0) return;
    std::uint64_t now = nowNs();
    std::uint64_t boundary = now - now % config_.statusPollNs;
    if (boundary == now || (polled_ && boundary <= polledAtNs_)) return;
    polled_ = true;
    polledAtNs_ = boundary;
    polledMiso_ = chip_.pinLevel(Pin::Miso);
}

void Adapter::powerUp() {
    pollMiso();
    chip_.powerUp();
}

void Adapter::sleep(std::uint64_t ns) {
    ++activity_;
    sleptNs_ += ns;
    advance(ns);
    waitNs_ += ns;
    if (!config_.trace || waitNs_ < kNsPerMs) return;
    std::string line = "SLEEP " + std::to_string(waitNs_ / kNsPerMs);
    if (waitTraced_) {
        trace_.back() = std::move(line);
    } else {
        trace_.push_back(std::move(line));
        waitTraced_ = true;
    }
}

// A simulated break ends on its own, whatever the host does meanwhile.
void Adapter::advance(std::uint64_t ns) {
    chip_.advanceNs(ns);
    if (pulsing_ && nowNs() >= pulseEndNs_) {
        pulsing_ = false;
        hostMosi_ = false;
        chip_.setPin(Pin::Mosi, false);
    }
}

void Adapter::refuse(std::string what) {
    violations_.add(std::move(what));
}

std::uint64_t Adapter::nowNs() const {
    return chip_.nowNs();
}

std::uint64_t Adapter::sleptNs() const {
    return sleptNs_;
}

}  // namespace vtarget
