#include "isp/session.h"

#include "link/interrupt.h"

namespace isp {

namespace {

constexpr std::uint32_t kUsPerMs = 1000;
// Clearing a break that is really driven takes one or two USB control
// transfers at the most; a simulated one (46 baud and a NUL, CH341 chips
// without a break register: drivers/usb/serial/ch341.c) about 239 ms.
constexpr std::uint64_t kSimulatedBreakUs = 50000;
// A line call this slow is a USB control transfer (a 1-ms frame or more).
constexpr std::uint64_t kUsbCallUs = 250;
// The first wait before a sample on a port whose status lags: one frame, the
// shortest interrupt poll interval of a full-speed USB device (USB 2.0,
// 9.6.6); connect doubles it while the framing comes out wrong.
constexpr std::uint32_t kFirstSampleWaitUs = 1000;

void drive(waveform::Pin pin, bool level) {
    waveform::Waveform wave = port::begin();
    waveform::drive(wave, pin, level);
    port::exchange(wave);
}

}  // namespace

Opened openPort(const char* name, bool fast) {
    return port::open(name, fast);
}

bool portAnswering() {
    return port::answering();
}

void releaseTarget() {
    waveform::Waveform wave = port::begin();
    waveform::drive(wave, waveform::Pin::Reset, true);
    port::exchange(wave);
}

void requestInterrupt(int sig) {
    interrupt::request(sig);
}

int interruption() {
    return interrupt::requested();
}

void letGo() {
    waveform::Waveform wave = port::begin();
    // A write the chip has begun runs on its own clock: leave it time to end.
    waveform::wait(wave, kLongestWriteUs);
    waveform::drive(wave, waveform::Pin::Reset, true);
    waveform::drive(wave, waveform::Pin::Sck, false);
    waveform::drive(wave, waveform::Pin::Mosi, false);
    port::exchange(wave, true);
}

void closePort() {
    port::close();
}

void abandon() {
    port::abandon(kLongestWriteUs);
}

void waitMs(unsigned ms) {
    port::wait(ms * kUsPerMs);
}

PortCheck checkPort() {
    std::uint64_t start = port::nowUs();
    waveform::Waveform status = port::begin();
    waveform::sample(status);
    port::exchange(status);
    if (port::lost()) return {Fitness::NoStatus, port::describe(port::failure()), 0};
    std::uint64_t read = port::nowUs();
    drive(waveform::Pin::Mosi, true);
    std::uint64_t set = port::nowUs();
    if (!port::lost()) drive(waveform::Pin::Mosi, false);
    if (port::lost()) return {Fitness::NoBreak, port::describe(port::failure()), 0};
    std::uint64_t cleared = port::nowUs();
    if (cleared - set > kSimulatedBreakUs) return {Fitness::SimulatedBreak, nullptr, cleared - set};
    if (set - read >= kUsbCallUs && (read - start) * 4 <= set - read) {
        port::setSampleWait(kFirstSampleWaitUs);
    }
    return {Fitness::Ready, nullptr, 0};
}

}  // namespace isp
