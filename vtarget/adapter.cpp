#include "vtarget/adapter.h"

namespace vtarget {

namespace {

constexpr std::uint64_t kNsPerUs = 1000;

struct Wire {
    Line line;
    Pin pin;
    bool fromHost;
};

//   chip              serial port (DB9)
//   SCK    <--------  RTS   (7)
//   RESET  <--------  DTR   (4)
//   MOSI   <--------  TxD   (3)  break state
//   MISO   -------->  DSR   (6)
// A call that drives several lines drives them in this order.
const Wire kWiring[] = {
    {Line::Rts, Pin::Sck, true},
    {Line::Dtr, Pin::Reset, true},
    {Line::TxBreak, Pin::Mosi, true},
    {Line::Dsr, Pin::Miso, false},
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

bool Adapter::drive(unsigned lines, unsigned levels) {
    if (!call()) return false;
    for (const Wire& wire : kWiring) {
        unsigned bit = lineBit(wire.line);
        if (wire.fromHost && (lines & bit) != 0) chip_.setPin(wire.pin, (levels & bit) != 0);
    }
    return true;
}

bool Adapter::read(unsigned& levels) {
    levels = 0;
    if (!call()) return false;
    for (const Wire& wire : kWiring) {
        bool level = wire.fromHost ? chip_.pinLevel(wire.pin) : chip_.readMiso();
        if (level) levels |= lineBit(wire.line);
    }
    return true;
}

void Adapter::sleep(std::uint64_t ns) {
    ++activity_;
    sleptNs_ += ns;
    std::uint64_t total = subUsNs_ + ns;
    subUsNs_ = total % kNsPerUs;
    chip_.sleep(total / kNsPerUs);
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
