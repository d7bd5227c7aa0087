// A transport runs waveforms on an open port. The serial one makes a
// platform call per drive and per sample; another may move a whole waveform
// in one exchange. Either way, every waveform the session hands over is run
// before its call returns, so a sample whose value decides the next steps is
// always read by then: a waveform is where a transport must flush.
#pragma once

#include <cstdint>

#include "link/names.h"
#include "link/waveform.h"

namespace port {

using wiring::Result;

class Transport {
  public:
    virtual ~Transport() = default;
    // Runs every step of wave in order and fills samples with what each
    // sample read. Where a call fails, the waveform's later drives and
    // samples are left out but its waits are still waited, so a run keeps
    // its timing; returns that first failure. After one, the session hands
    // the transport nothing but waits.
    virtual Result run(const waveform::Waveform& wave, waveform::Samples& samples) = 0;
    // Microseconds on the transport's clock, which never goes back.
    virtual std::uint64_t nowUs() = 0;
    // True where a waveform is one exchange whose answer takes a round trip,
    // so that a fixed wait after a write is better spent reading it back.
    virtual bool batches() const { return false; }
    // Closes the port; drives nothing.
    virtual void close() = 0;
    // From a signal handler, before the process ends: waits waitUs for a
    // write the chip may have begun, sets RESET, clears SCK and MOSI and
    // closes the port, with async-signal-safe calls only. A transport whose
    // calls are not (libusb's) does nothing: its run lets the chip go on the
    // way out of an interrupted run only.
    virtual void abandon(std::uint32_t waitUs) { (void)waitUs; }
};

}  // namespace port
