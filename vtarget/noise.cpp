#include "vtarget/noise.h"

namespace vtarget {

namespace {

const char* const kNames[kNoiseKinds] = {"miso", "sck-drop", "sck-extra", "mosi", "mosi-bit"};

// SplitMix64 (Steele, Lea and Flood, "Fast splittable pseudorandom number
// generators", OOPSLA 2014): one 64-bit state a stream, the same numbers on
// every platform.
std::uint64_t splitMix(std::uint64_t& state) {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15u);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
    return z ^ (z >> 31);
}

}  // namespace

const char* noiseKindName(NoiseKind kind) {
    return kNames[static_cast<std::size_t>(kind)];
}

bool noiseKindOf(const std::string& name, NoiseKind& kind) {
    for (std::size_t k = 0; k < kNoiseKinds; ++k) {
        if (name != kNames[k]) continue;
        kind = static_cast<NoiseKind>(k);
        return true;
    }
    return false;
}

bool NoiseConfig::any() const {
    for (double p : probability) {
        if (p > 0) return true;
    }
    return !at.empty();
}

Noise::Noise(const NoiseConfig& config) : config_(config), active_(config.any()) {
    for (std::size_t k = 0; k < kNoiseKinds; ++k) {
        std::uint64_t state = config.seed ^ (0xD1B54A32D192ED03u * (k + 1));
        streams_[k] = splitMix(state);
    }
}

bool Noise::strike(NoiseKind kind, std::uint64_t ns) {
    std::size_t k = index(kind);
    std::uint64_t call = ++calls_[k];
    if (!active_) return false;
    bool hit = config_.at.count({kind, call}) != 0;
    double p = config_.probability[k];
    // A draw only where the kind has a probability, so its stream is its own.
    if (p > 0) {
        // The top 53 bits as a fraction in [0, 1).
        double draw = static_cast<double>(splitMix(streams_[k]) >> 11) * 0x1.0p-53;
        hit = hit || draw < p;
    }
    if (!hit) return false;
    ++eventCount_;
    if (events_.size() < kKept) events_.push_back({kind, call, ns});
    return true;
}

}  // namespace vtarget
