// The rules a run broke: every one counted, the first few kept as text, so
// that a run of any length stays in constant memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vtarget {

class Violations {
  public:
    static constexpr std::size_t kKept = 16;

    void add(std::string text) {
        ++count_;
        if (kept_.size() < kKept) kept_.push_back(std::move(text));
    }
    std::uint64_t count() const { return count_; }
    // The first kKept, in order.
    const std::vector<std::string>& kept() const { return kept_; }

  private:
    std::uint64_t count_ = 0;
    std::vector<std::string> kept_;
};

}  // namespace vtarget
