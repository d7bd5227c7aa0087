// Line noise in front of the virtual chip, seeded so that a run replays.
//
// Each kind strikes one kind of adapter call (noise-miso and the like in
// preload_config.h): the I-th eligible call of a kind is struck when a
// targeted event names it, or with the kind's probability, drawn from a
// stream of its own seeded by the seed and the kind, so that adding one kind
// changes no other kind's events. Every event is kept for the state file:
// its kind, the eligible call it struck (counted from 1) and the virtual time.
#pragma once

#include <array>
#include <cstdint>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace vtarget {

enum class NoiseKind {
    Miso,      // a status read (an FT232R sample) reports MISO inverted
    SckDrop,   // an SCK drive does not reach the chip
    SckExtra,  // an SCK drive clocks one more rising edge than asked
    Mosi,      // a MOSI drive reaches the chip inverted, until the next one
    MosiBit,   // MOSI is inverted around one rising SCK edge only
};
constexpr std::size_t kNoiseKinds = 5;

// "miso", "sck-drop", "sck-extra", "mosi", "mosi-bit".
const char* noiseKindName(NoiseKind kind);
bool noiseKindOf(const std::string& name, NoiseKind& kind);

struct NoiseConfig {
    std::uint64_t seed = 0;
    std::array<double, kNoiseKinds> probability{};     // per eligible call
    std::set<std::pair<NoiseKind, std::uint64_t>> at;  // targeted: kind, eligible call from 1
    bool any() const;
};

struct NoiseEvent {
    NoiseKind kind;
    std::uint64_t call;  // the kind's eligible call it struck, from 1
    std::uint64_t ns;    // virtual time
};

class Noise {
  public:
    static constexpr std::size_t kKept = 1000;

    explicit Noise(const NoiseConfig& config);

    // An eligible call of the kind at virtual time ns: whether noise strikes it.
    bool strike(NoiseKind kind, std::uint64_t ns);

    // Eligible calls so far, per kind, counted with noise or without.
    std::uint64_t calls(NoiseKind kind) const { return calls_[index(kind)]; }
    // The first kKept events, in order, and how many in all.
    const std::vector<NoiseEvent>& events() const { return events_; }
    std::uint64_t eventCount() const { return eventCount_; }

  private:
    static std::size_t index(NoiseKind kind) { return static_cast<std::size_t>(kind); }

    NoiseConfig config_;
    bool active_;
    std::array<std::uint64_t, kNoiseKinds> calls_{}, streams_{};
    std::vector<NoiseEvent> events_;
    std::uint64_t eventCount_ = 0;
};

}  // namespace vtarget
