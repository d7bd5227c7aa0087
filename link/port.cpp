#include "link/port.h"

#include <cerrno>
#include <cstdio>

#include "link/ftdi.h"
#include "link/interrupt.h"
#include "link/platform.h"
#include "link/port_name.h"
#include "link/ports.h"
#include "link/serial.h"

namespace port {

namespace {

Transport* installed = nullptr;
Transport* current = nullptr;
bool fastMode = false;
std::uint32_t sampleWaitUs = 0;
Result failed;
waveform::Levels levels;

// The waits of wave alone: a run keeps its timing after the port is lost.
waveform::Waveform waitsOf(const waveform::Waveform& wave) {
    waveform::Waveform waits = begin();
    for (std::size_t i = 0; i < wave.count; ++i) {
        if (wave.steps[i].kind == waveform::Step::Wait) waveform::wait(waits, wave.steps[i].us);
    }
    return waits;
}

}  // namespace

waveform::Waveform begin() {
    return waveform::start(levels, fastMode, sampleWaitUs);
}

void setSampleWait(std::uint32_t us) {
    sampleWaitUs = us;
}

std::uint32_t sampleWait() {
    return sampleWaitUs;
}

Opened open(const char* name, bool fast) {
    fastMode = fast;
    sampleWaitUs = 0;
    failed = Result{};
    levels = waveform::Levels{};
    current = nullptr;
    PortName parsed = parsePortName(name);
    Result why;
    const char* advice = nullptr;
    const char* device = parsed.device;
    if (installed != nullptr) {
        current = installed;
    } else if (parsed.kind == PortKind::Malformed) {
        return {OpenStatus::Malformed, Result{EINVAL}, nullptr, nullptr, 0};
    } else if (parsed.kind == PortKind::UsbSerial) {
        static FoundPorts found;
        static char resolved[sizeof found.ports[0].name];
        const FoundPort* match = nullptr;
        std::size_t matches = matchUsb(found, parsed.vid, parsed.pid, parsed.serial, match);
        if (matches != 1) {
            OpenStatus status = matches == 0 ? OpenStatus::NoAdapter : OpenStatus::Adapters;
            return {status, Result{ENODEV}, nullptr, nullptr, matches};
        }
        std::snprintf(resolved, sizeof resolved, "%s", match->name);
        device = resolved;
        current = openSerial(device, why);
    } else if (parsed.kind == PortKind::Ftdi) {
        device = nullptr;
        current = openFtdi(parsed.serial, why, advice);
    } else {
        current = openSerial(device, why);
    }
    if (current == nullptr) {
        OpenStatus status = why.error == ENOSYS ? OpenStatus::NotBuilt : OpenStatus::Refused;
        return {status, why, advice, device, 0};
    }
    return {OpenStatus::Open, Result{}, nullptr, nullptr, 0};
}

void install(Transport* transport) {
    installed = transport;
}

waveform::Samples exchange(const waveform::Waveform& wave, bool evenInterrupted) {
    waveform::Samples samples;
    levels = wave.levels;
    if (current == nullptr || (interrupt::requested() != 0 && !evenInterrupted)) return samples;
    if (!failed) {
        waveform::Waveform waits = waitsOf(wave);
        if (waits.count > 0) current->run(waits, samples);
        samples.count = 0;
        return samples;
    }
    failed = wave.overflowed ? Result{EOVERFLOW} : current->run(wave, samples);
    if (!failed) samples.count = 0;
    return samples;
}

void wait(std::uint32_t us) {
    waveform::Waveform wave = begin();
    waveform::wait(wave, us);
    exchange(wave);
}

bool batches() {
    return current != nullptr && current->batches();
}

bool answering() {
    return current != nullptr && static_cast<bool>(failed) && interrupt::requested() == 0;
}

bool lost() {
    return current != nullptr && !failed;
}

Result failure() {
    return failed;
}

std::uint64_t nowUs() {
    return current != nullptr ? current->nowUs() : 0;
}

const char* describe(Result why) {
    return platform::describe(why.error);
}

void close() {
    if (current != nullptr) current->close();
    current = nullptr;
}

void abandon(std::uint32_t waitUs) {
    Transport* open = current;
    if (open != nullptr) open->abandon(waitUs);
}

}  // namespace port
