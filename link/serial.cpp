#include "link/serial.h"

#include "link/platform.h"
#include "link/wiring.h"

namespace port {

namespace {

using waveform::Pin;
using waveform::Step;
using wiring::portLineOf;

class Serial : public Transport {
  public:
    Result run(const waveform::Waveform& wave, waveform::Samples& samples) override {
        samples.count = 0;
        Result failed;
        for (std::size_t i = 0; i < wave.count; ++i) {
            const Step& step = wave.steps[i];
            if (step.kind == Step::Wait) {
                platform::sleepUs(step.us);
            } else if (step.kind == Step::Drive) {
                if (failed) failed = platform::set(portLineOf(step.pin), step.level);
            } else {
                bool level = false;
                if (failed) failed = platform::get(portLineOf(Pin::Miso), level);
                samples.bits[samples.count++] = level;
            }
        }
        return failed;
    }

    std::uint64_t nowUs() override { return platform::nowUs(); }

    void close() override { platform::close(); }

    // ioctl, nanosleep, close and the lock file's unlinkat are all
    // async-signal-safe (POSIX.1-2017, 2.4.3).
    void abandon(std::uint32_t waitUs) override {
        platform::sleepUs(waitUs);
        platform::set(portLineOf(Pin::Reset), true);
        platform::set(portLineOf(Pin::Sck), false);
        platform::set(portLineOf(Pin::Mosi), false);
        platform::close();
    }
};

Serial serial;

}  // namespace

Transport* openSerial(const char* name, Result& why) {
    why = platform::open(name);
    return why ? &serial : nullptr;
}

}  // namespace port
