#include "vtarget/ft232r.h"

#include <algorithm>
#include <cstdio>

namespace vtarget {

namespace {

constexpr std::uint64_t kNsPerS = 1000000000;
constexpr std::uint64_t kNsPerMs = 1000000;
// A control request waits for its status stage: a full-speed USB frame.
constexpr std::uint64_t kControlNs = kNsPerMs;

// The UART's pins on the bit-bang bus, all active low, and the adapter's line on each.
struct UartPin {
    unsigned bit;
    Line line;
};
const UartPin kUartPins[] = {
    {0, Line::TxBreak},  // TXD: a break holds it low
    {2, Line::Rts},      // RTS#
    {4, Line::Dtr},      // DTR#
    {5, Line::Dsr},      // DSR#, the chip's
};

constexpr unsigned kHostLines = lineBit(Line::Rts) | lineBit(Line::Dtr) | lineBit(Line::TxBreak);

}  // namespace

Ft232r::Ft232r(Adapter& adapter, const Ft232rConfig& config) : adapter_(adapter), config_(config) {}

std::uint32_t Ft232r::nearestBaud(std::int64_t baud) {
    // libftdi 1.5's ftdi_to_clkbits() for a 48 MHz clock divided by 16: three
    // special divisors, then eighths of 3 MHz up to 0x1FFFF, each rounded half up.
    if (baud <= 0) return 0;
    if (baud >= 3000000) return 3000000;
    if (baud >= 2000000) return 2000000;
    if (baud >= 1500000) return 1500000;
    std::int64_t eighths = std::min<std::int64_t>((48000000 / baud + 1) / 2, 0x1FFFF);
    return static_cast<std::uint32_t>((48000000 / eighths + 1) / 2);
}

bool Ft232r::open() {
    if (gone_) return false;
    if (!open_) adapter_.powerUp();
    open_ = true;
    mode_ = kModeUart;
    outputs_ = 0;
    latch_ = 0xFF;
    latencyMs_ = 16;
    baud_ = 9600;
    samples_.clear();
    delivered_ = 0;
    // The lines stand as the UART leaves them; the chip is told the first time.
    driven_ = ~0u;
    drivePins();
    return true;
}

void Ft232r::close() {
    open_ = false;
}

// A transfer that fails leaves the device gone for good, as an unplugged
// one; it takes its time all the same.
bool Ft232r::transfer(std::uint64_t ns) {
    if (!adapter_.call(config_.usbTakesTime ? ns : 0)) gone_ = true;
    return !gone_;
}

// A transfer the host waits on.
bool Ft232r::waited(std::uint64_t ns) {
    ++roundTrips_;
    return transfer(ns);
}

bool Ft232r::setLatencyTimer(unsigned ms) {
    if (!waited(kControlNs)) return false;
    latencyMs_ = ms;
    return true;
}

bool Ft232r::setBitmode(std::uint8_t outputs, std::uint8_t mode) {
    if (!waited(kControlNs)) return false;
    if (mode != kModeUart && mode != kModeSyncBitbang) {
        char text[64];
        std::snprintf(text, sizeof text, "FT232R: bit mode 0x%02X is not modelled", mode);
        adapter_.refuse(text);
        mode = kModeUart;
    }
    mode_ = mode;
    outputs_ = outputs;
    drivePins();
    return true;
}

bool Ft232r::setBaudrate(std::uint32_t baud) {
    if (!waited(kControlNs)) return false;
    baud_ = baud;
    return true;
}

bool Ft232r::purge() {
    if (!waited(kControlNs)) return false;
    samples_.clear();
    delivered_ = 0;
    return true;
}

bool Ft232r::readPins(std::uint8_t& value) {
    if (!waited(kControlNs)) return false;
    value = pins();
    return true;
}

// The pins now: outputs as driven, DSR# from the chip, the rest pulled high.
std::uint8_t Ft232r::pins() {
    unsigned driven = mode_ == kModeSyncBitbang ? outputs_ : 0;
    unsigned value = (latch_ & driven) | (0xFF & ~driven);
    bool dsr = (adapter_.lines() & lineBit(Line::Dsr)) != 0;
    if ((driven & (1u << 5)) == 0 && dsr) value &= ~(1u << 5);
    return static_cast<std::uint8_t>(value);
}

// Moves the host's lines that the pins have changed.
void Ft232r::drivePins() {
    unsigned driven = mode_ == kModeSyncBitbang ? outputs_ : 0;
    unsigned value = (latch_ & driven) | (0xFF & ~driven);
    unsigned lines = 0;
    for (const UartPin& pin : kUartPins) {
        if ((value & (1u << pin.bit)) == 0) lines |= lineBit(pin.line);
    }
    lines &= kHostLines;
    unsigned changed = (lines ^ driven_) & kHostLines;
    driven_ = lines;
    if (changed != 0) adapter_.setLines(changed, lines);
}

// One tick of the sample clock, 16 times the baud rate, kept exact over many.
void Ft232r::clockSample() {
    std::uint64_t perSample = 16 * std::uint64_t{baud_};
    std::uint64_t total = sampleRemainder_ + kNsPerS;
    sampleRemainder_ = total % perSample;
    adapter_.advance(total / perSample);
}

bool Ft232r::write(const std::uint8_t* bytes, std::size_t n) {
    if (!transfer(0)) return false;
    if (mode_ != kModeSyncBitbang) {
        adapter_.refuse("FT232R: data written outside synchronous bit-bang");
        return true;
    }
    if (samples_.size() - delivered_ + n > kBufferBytes) {
        adapter_.refuse("FT232R: more than 384 bytes written and not read");
    }
    for (std::size_t i = 0; i < n; ++i) {
        samples_.push_back(pins());
        latch_ = bytes[i];
        drivePins();
        clockSample();
    }
    readyAtNs_ = adapter_.nowNs() + (config_.usbTakesTime ? latencyMs_ * kNsPerMs : 0);
    return true;
}

long Ft232r::read(std::uint8_t* out, std::size_t n) {
    if (n == 0) return 0;
    if (delivered_ < n) {
        // The host asks the device, which answers when its latency timer
        // runs out: after the last sample, or a whole period when it has none.
        bool fresh = samples_.size() > delivered_;
        std::uint64_t now = adapter_.nowNs();
        std::uint64_t ready = fresh ? readyAtNs_ : now + latencyMs_ * kNsPerMs;
        if (!waited(ready > now ? ready - now : 0)) return -1;
        delivered_ = samples_.size();
    }
    std::size_t taken = std::min(n, delivered_);
    std::copy_n(samples_.begin(), taken, out);
    samples_.erase(samples_.begin(), samples_.begin() + static_cast<std::ptrdiff_t>(taken));
    delivered_ -= taken;
    return static_cast<long>(taken);
}

}  // namespace vtarget
