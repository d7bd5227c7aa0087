// The clocks a program reads under the preload library, made from the
// adapter's virtual time: wall-clock time starts at 2000-01-01 00:00:00 UTC,
// the other clocks a little after zero, as an uptime would.
//
// A program may wait by watching a clock, with no line call or sleep between
// its reads. The first few such reads cost nothing, so a program that reads
// the clock twice to see whether it moves (as quillet's sleep does) finds it
// standing and sleeps, and its sleeps stay exact. Every further read moves
// the clock on by a microsecond, so a program that spins until a deadline
// gets there.
#pragma once

#include <cstdint>

#include "vtarget/adapter.h"

namespace vtarget {

class VirtualClock {
  public:
    enum class Epoch { Wall, Uptime };

    static constexpr std::uint64_t kFreeReads = 8;
    static constexpr std::uint64_t kWatchedReadNs = 1000;

    explicit VirtualClock(Adapter& adapter) : adapter_(adapter) {}

    // A read by the program: nanoseconds since the epoch.
    std::uint64_t read(Epoch epoch);
    // The same without the cost of a read, for the library's own use.
    std::uint64_t peek(Epoch epoch) const;
    // Real time: moves the adapter's time up to elapsedNs since the start, if it is behind.
    void catchUp(std::uint64_t elapsedNs);

  private:
    Adapter& adapter_;
    std::uint64_t seenActivity_ = 0;
    std::uint64_t watchedReads_ = 0;  // reads with no call or sleep between them
};

}  // namespace vtarget
