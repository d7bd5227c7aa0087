#include "vtarget/virtual_clock.h"

namespace vtarget {

namespace {

constexpr std::uint64_t kNsPerS = 1000000000;
constexpr std::uint64_t kWallEpochS = 946684800;  // 2000-01-01 00:00:00 UTC
constexpr std::uint64_t kUptimeS = 1000;

}  // namespace

std::uint64_t VirtualClock::read(Epoch epoch) {
    if (adapter_.activity() != seenActivity_) {
        seenActivity_ = adapter_.activity();
        watchedReads_ = 0;
    }
    if (++watchedReads_ > kFreeReads) adapter_.advance(kWatchedReadNs);
    return peek(epoch);
}

std::uint64_t VirtualClock::peek(Epoch epoch) const {
    return (epoch == Epoch::Wall ? kWallEpochS : kUptimeS) * kNsPerS + adapter_.nowNs();
}

void VirtualClock::catchUp(std::uint64_t elapsedNs) {
    std::uint64_t now = adapter_.nowNs();
    if (elapsedNs > now) adapter_.advance(elapsedNs - now);
}

}  // namespace vtarget
