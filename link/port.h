// The run's one open port: the transport the port name picks, the pins'
// levels between waveforms, and whether the port still answers.
//
// Callers build a waveform with begin(), add steps (link/waveform.h) and hand
// it to exchange(), which runs it whole and returns what MISO read.
#pragma once

#include <cstddef>
#include <cstdint>

#include "link/transport.h"
#include "link/waveform.h"

namespace port {

enum class OpenStatus {
    Open,
    Refused,    // the OS refused the port: why holds its reason
    NotBuilt,   // a port-name form this build cannot drive
    Malformed,  // "ftdi:" or "usb:" not followed by its form
    NoAdapter,  // usb:VID:PID[:SERIAL] matches no serial port
    Adapters,   // usb:VID:PID[:SERIAL] matches more than one
};

struct Opened {
    OpenStatus status;
    Result why;
    const char* advice;   // a line for the user where the transport has one, or nullptr
    const char* device;   // Refused by the serial transport: the device it tried, or nullptr
    std::size_t matches;  // Adapters: how many
};

// Opens the port called name (link/port_name.h) through the transport its
// form picks; usb:VID:PID[:SERIAL] is the serial port of the one USB adapter
// listed with those ids (link/ports.h). With fast, a pin is driven only when
// its level changes: the same waveform in fewer steps.
Opened open(const char* name, bool fast);

// Puts transport in the place of the one a port name would pick, for every
// later open (nullptr: the port name picks again). Tests and embedders use it.
void install(Transport* transport);

// A waveform that starts from the pins' present levels.
waveform::Waveform begin();

// Makes every later sample wait us first (0: none), for a port whose status
// reads lag behind the lines.
void setSampleWait(std::uint32_t us);
std::uint32_t sampleWait();

// Runs wave on the open port and keeps the levels it leaves. Returns what
// its samples read; once the port has stopped answering nothing more reaches
// it, and every sample reads 0. Once the run has been interrupted
// (link/interrupt.h) nothing runs either, unless evenInterrupted: the steps
// that leave the chip safe.
waveform::Samples exchange(const waveform::Waveform& wave, bool evenInterrupted = false);

// A waveform of one wait of us microseconds, run at once.
void wait(std::uint32_t us);

// True where the open port's waveforms are exchanges with a round trip each.
bool batches();

// True while every call since the open has succeeded and the run has not
// been interrupted.
bool answering();

// True once a call to the open port has failed: the port is gone.
bool lost();

// The reason of the call that failed, once the port has stopped answering.
Result failure();

// Microseconds on the port's clock, which never goes back.
std::uint64_t nowUs();

// The OS's text for the reason why, for a message.
const char* describe(Result why);

// Closes the port; drives nothing.
void close();

// From a signal handler, before the process ends: the open transport's
// abandon(waitUs) (link/transport.h).
void abandon(std::uint32_t waitUs);

}  // namespace port
