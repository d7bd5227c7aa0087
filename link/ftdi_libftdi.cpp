// The FTDI transport through libftdi1.
//
// In synchronous bit-bang mode the chip puts each byte written on its pins
// and returns, for each, the pins as they stood before that byte: a sample
// is the byte read back for the byte written after the drive it follows
// (FTDI, "Synchronous Bit Bang Mode"). The pins are driven to the levels the
// UART would give the same line states: an asserted RTS# or DTR# is low, and
// a break holds TXD low.
#include "link/ftdi.h"

#include <ftdi.h>

#include <cerrno>
#include <cstdio>

#include "link/platform.h"
#include "link/wiring.h"

namespace port {

namespace {

using waveform::Pin;
using waveform::Step;
using wiring::PortLine;

constexpr int kVendor = 0x0403;
constexpr int kProducts[] = {0x6001 /* FT232R */, 0x6015 /* FT-X */};

// The FT232R's bit-bang pins D0..D7 are TXD, RXD, RTS#, CTS#, DTR#, DSR#,
// DCD#, RI# (FT232R datasheet; AN232R-01); each line is active low there.
struct Bit {
    PortLine line;
    unsigned char mask;
};
const Bit kBits[] = {
    {PortLine::TxBreak, 0x01},
    {PortLine::Rts, 0x04},
    {PortLine::Dtr, 0x10},
    {PortLine::Dsr, 0x20},
};
constexpr unsigned char kOutputs = 0x01 | 0x04 | 0x10;

// libftdi multiplies a bit-bang rate by 4 and the chip samples at 16 times
// its baud rate: 6000 gives a sample every 2.6 us, longer than the 2 cycles
// of the slowest internal clock (ATtiny15L: 0.8 MHz, 2.5 us) that SCK must
// stay high and low.
constexpr int kBaud = 6000;
// Bytes written before they are read back: the FT232R stops clocking when its
// 256-byte receive buffer is full, and takes 128 more into its transmit one.
constexpr std::size_t kChunk = 256;
// A read that has not come back by then is a device that is gone.
constexpr std::uint64_t kReadTimeoutUs = 1000000;

unsigned char maskOf(Pin pin) {
    PortLine line = wiring::portLineOf(pin);
    for (const Bit& bit : kBits) {
        if (bit.line == line) return bit.mask;
    }
    return 0;
}

class Ftdi : public Transport {
  public:
    explicit Ftdi(ftdi_context* context) : context_(context) {}

    Result run(const waveform::Waveform& wave, waveform::Samples& samples) override {
        samples.count = 0;
        pending_ = 0;
        firstSample_ = 0;
        for (std::size_t i = 0; i < wave.count; ++i) {
            const Step& step = wave.steps[i];
            if (step.kind == Step::Wait) {
                flush(samples, step.us);
                continue;
            }
            if (step.kind == Step::Drive) {
                unsigned char mask = maskOf(step.pin);
                pins_ = step.level ? pins_ & ~mask : pins_ | mask;
            } else {
                // The byte read for this one holds the pins before it: after the last drive.
                where_[samples.count++ - firstSample_] = pending_;
            }
            out_[pending_++] = pins_;
            if (pending_ == kChunk) flush(samples, 0);
        }
        flush(samples, 0);
        return status_;
    }

    std::uint64_t nowUs() override { return platform::nowUs(); }

    bool batches() const override { return true; }

    // Back to the UART, which gives the device back to its kernel driver.
    void close() override {
        ftdi_set_bitmode(context_, 0, BITMODE_RESET);
        ftdi_usb_close(context_);
        ftdi_free(context_);
    }

  private:
    // Writes what is pending, waits waitUs (the answer comes back meanwhile)
    // and reads the pins sampled for it.
    void flush(waveform::Samples& samples, std::uint32_t waitUs) {
        bool sent = pending_ > 0 && status_ && write();
        if (waitUs > 0) platform::sleepUs(waitUs);
        if (sent) read();
        for (std::size_t s = firstSample_; s < samples.count; ++s)
            samples.bits[s] = status_ && (in_[where_[s - firstSample_]] & maskOf(Pin::Miso)) == 0;
        firstSample_ = samples.count;
        pending_ = 0;
    }

    bool write() {
        int size = static_cast<int>(pending_);
        if (ftdi_write_data(context_, out_, size) != size) status_ = Result{EIO};
        return static_cast<bool>(status_);
    }

    void read() {
        std::size_t got = 0;
        std::uint64_t deadline = platform::nowUs() + kReadTimeoutUs;
        while (got < pending_ && status_) {
            int read = ftdi_read_data(context_, in_ + got, static_cast<int>(pending_ - got));
            if (read < 0 || (read == 0 && platform::nowUs() > deadline)) status_ = Result{EIO};
            if (read > 0) got += static_cast<std::size_t>(read);
        }
    }

    ftdi_context* context_;
    unsigned char pins_ = 0xFF;  // every line deasserted
    unsigned char out_[kChunk];
    unsigned char in_[kChunk];
    std::size_t where_[waveform::kMaxSamples];  // each pending sample's byte
    std::size_t pending_ = 0, firstSample_ = 0;
    Result status_;
};

// Why libftdi refused the open, as an errno and a line for the user.
void refusal(int code, const char* serial, ftdi_context* context, Result& why,
             const char*& advice) {
    static char text[320];
    if (code == -3) {
        why = Result{ENODEV};
        std::snprintf(text, sizeof text, "No FTDI FT232R or FT-X device found%s%s.",
                      serial[0] != '\0' ? " with serial number " : "", serial);
    } else if (code == -4 || code == -8) {
        why = Result{EACCES};
        std::snprintf(text, sizeof text,
                      "Permission denied on the FTDI USB device: as root, copy the example "
                      "udev rule 60-quillet.rules (/usr/share/doc/quillet/examples/) to "
                      "/etc/udev/rules.d, put this adapter's serial number in it, run udevadm "
                      "control --reload-rules and plug the device in again.");
    } else if (code == -5) {
        why = Result{EBUSY};
        std::snprintf(text, sizeof text, "The FTDI device is in use by another program.");
    } else {
        why = Result{EIO};
        std::snprintf(text, sizeof text, "The FTDI device did not open: %s.",
                      ftdi_get_error_string(context));
    }
    advice = text;
}

}  // namespace

Transport* openFtdi(const char* serial, Result& why, const char*& advice) {
    static Ftdi* opened = nullptr;
    delete opened;
    opened = nullptr;
    ftdi_context* context = ftdi_new();
    if (context == nullptr) {
        why = Result{ENOMEM};
        advice = "libftdi1 could not start.";
        return nullptr;
    }
    // libftdi takes the device from its kernel driver and gives it back at
    // close, so its serial port comes back after the run.
    context->module_detach_mode = AUTO_DETACH_REATACH_SIO_MODULE;
    int code = -3;
    for (int product : kProducts) {
        code = ftdi_usb_open_desc(context, kVendor, product, nullptr,
                                  serial[0] != '\0' ? serial : nullptr);
        if (code != -3) break;
    }
    if (code == 0 && (ftdi_set_latency_timer(context, 1) != 0 ||
                      ftdi_set_bitmode(context, kOutputs, BITMODE_SYNCBB) != 0 ||
                      ftdi_set_baudrate(context, kBaud) != 0 || ftdi_tcioflush(context) != 0)) {
        ftdi_usb_close(context);
        code = -100;
    }
    if (code != 0) {
        refusal(code, serial, context, why, advice);
        ftdi_free(context);
        return nullptr;
    }
    opened = new Ftdi(context);
    why = Result{};
    return opened;
}

void findFtdiChips(FoundPorts& found) {
    ftdi_context* context = ftdi_new();
    if (context == nullptr) return;
    for (int product : kProducts) {
        ftdi_device_list* list = nullptr;
        if (ftdi_usb_find_all(context, &list, kVendor, product) < 0) list = nullptr;
        for (ftdi_device_list* at = list; at != nullptr; at = at->next) {
            FoundPort* port = addPort(found);
            if (port == nullptr) continue;
            port->bitBang = port->usb = true;
            port->vid = kVendor;
            port->pid = static_cast<unsigned>(product);
            std::snprintf(port->family, sizeof port->family, "%s", familyOf(kVendor, product));
            std::snprintf(port->driver, sizeof port->driver, "libftdi1");
            // This opens the USB device, not its serial port: no line moves.
            int code =
                ftdi_usb_get_strings(context, at->dev, nullptr, 0, port->product,
                                     sizeof port->product, port->serial, sizeof port->serial);
            if (code != 0) port->product[0] = port->serial[0] = '\0';
            // As when opening it: libusb could not open the device (refusal() above).
            if (code == -4) port->state = PortState::NoAccess;
            std::snprintf(port->name, sizeof port->name, "ftdi%s%s",
                          port->serial[0] != '\0' ? ":" : "", port->serial);
        }
        ftdi_list_free(&list);
    }
    ftdi_free(context);
}

}  // namespace port
