#include "vtarget/adapter.h"

namespace vtarget {

namespace {

constexpr std::uint64_t kNsPerUs = 1000;

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

Adapter::Adapter(Chip& chip, const AdapterConfig& config) : chip_(chip), config_(config) {}

// Every call takes its time, whether or not the adapter is still there.
bool Adapter::call() {
    ++activity_;
    advance(config_.callNs);
    if (config_.failAfterSet && calls_ >= config_.failAfter) return false;
    ++calls_;
    return true;
}

// A pin driven or read ends the wait before it.
void Adapter::pinCall(const char* name, bool level) {
    waitUs_ = 0;
    waitTraced_ = false;
    if (config_.trace) trace_.push_back(std::string(name) + (level ? " 1" : " 0"));
}

bool Adapter::drive(unsigned lines, unsigned levels) {
    if (!call()) return false;
    for (const Wire& wire : kWiring) {
        unsigned bit = lineBit(wire.line);
        if (!wire.fromHost || (lines & bit) == 0) continue;
        bool level = (levels & bit) != 0;
        ++lineCalls_;
        pinCall(wire.name, level);
        chip_.setPin(wire.pin, level);
    }
    return true;
}

bool Adapter::read(unsigned& levels) {
    levels = 0;
    if (!call()) return false;
    for (const Wire& wire : kWiring) {
        bool level = chip_.pinLevel(wire.pin);
        if (!wire.fromHost) {
            ++statusReads_;
            pinCall(wire.name, level);
        }
        if (level) levels |= lineBit(wire.line);
    }
    return true;
}

void Adapter::sleep(std::uint64_t ns) {
    ++activity_;
    sleptNs_ += ns;
    std::uint64_t total = subUsNs_ + ns;
    subUsNs_ = total % kNsPerUs;
    std::uint64_t us = total / kNsPerUs;
    chip_.advanceUs(us);
    waitUs_ += us;
    if (!config_.trace || waitUs_ < 1000) return;
    std::string line = "SLEEP " + std::to_string(waitUs_ / 1000);
    if (waitTraced_) {
        trace_.back() = std::move(line);
    } else {
        trace_.push_back(std::move(line));
        waitTraced_ = true;
    }
}

void Adapter::advance(std::uint64_t ns) {
    std::uint64_t total = subUsNs_ + ns;
    subUsNs_ = total % kNsPerUs;
    chip_.advanceUs(total / kNsPerUs);
}

void Adapter::refuse(std::string what) {
    violations_.add(std::move(what));
}

std::uint64_t Adapter::nowNs() const {
    return chip_.nowUs() * kNsPerUs + subUsNs_;
}

std::uint64_t Adapter::sleptNs() const {
    return sleptNs_;
}

}  // namespace vtarget
