#include "vtarget/adapter.h"

namespace vtarget {

namespace {

constexpr std::uint64_t kNsPerMs = 1000000;

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
bool Adapter::call(std::uint64_t ns) {
    ++activity_;
    advance(ns);
    if (config_.failAfterSet && calls_ >= config_.failAfter) return false;
    ++calls_;
    return true;
}

// A pin driven or read ends the wait before it.
void Adapter::pinCall(const char* name, bool level) {
    waitNs_ = 0;
    waitTraced_ = false;
    if (config_.trace) trace_.push_back(std::string(name) + (level ? " 1" : " 0"));
}

bool Adapter::drive(unsigned lines, unsigned levels) {
    if (!call(config_.callNs)) return false;
    setLines(lines, levels);
    return true;
}

void Adapter::setLines(unsigned lines, unsigned levels) {
    for (const Wire& wire : kWiring) {
        unsigned bit = lineBit(wire.line);
        if (!wire.fromHost || (lines & bit) == 0) continue;
        bool level = (levels & bit) != 0;
        ++lineCalls_;
        pinCall(wire.name, level);
        chip_.setPin(wire.pin, level);
    }
}

bool Adapter::read(unsigned& levels) {
    levels = 0;
    if (!call(config_.callNs)) return false;
    levels = lines();
    return true;
}

unsigned Adapter::lines() {
    unsigned levels = 0;
    for (const Wire& wire : kWiring) {
        bool level = chip_.pinLevel(wire.pin);
        if (!wire.fromHost) {
            ++statusReads_;
            pinCall(wire.name, level);
        }
        if (level) levels |= lineBit(wire.line);
    }
    return levels;
}

void Adapter::sleep(std::uint64_t ns) {
    ++activity_;
    sleptNs_ += ns;
    chip_.advanceNs(ns);
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

void Adapter::advance(std::uint64_t ns) {
    chip_.advanceNs(ns);
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
