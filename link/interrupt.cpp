#include "link/interrupt.h"

#include <atomic>
#include <csignal>

namespace interrupt {

namespace {

// Lock-free, so a signal handler or another thread (Windows' console control
// handler) may set it.
std::atomic<int> signalled{0};
static_assert(std::atomic<int>::is_always_lock_free, "a signal handler needs a lock-free flag");

}  // namespace

void request(int sig) {
    int none = 0;
    signalled.compare_exchange_strong(none, sig);
}

int requested() {
    return signalled.load();
}

void clear() {
    signalled.store(0);
}

}  // namespace interrupt
