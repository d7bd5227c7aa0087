// The adapter's wiring and the bit-level transfer.
//
// The target shifts MISO out on the falling edge of SCK and samples MOSI on
// the rising edge, so every read of MISO falls between SCK low and SCK high.
// There is no delay here: the platform calls themselves are the clock.
#include "link/line.h"

#include "link/platform.h"

namespace line {

namespace {

constexpr int kUnknown = -1;

bool fastMode = false;
bool answered = true;
int levels[4] = {kUnknown, kUnknown, kUnknown, kUnknown};  // by Pin, as last driven

struct Wire {
    Pin pin;
    platform::PortLine portLine;
};

//   target                    serial port (DB9)
//   SCK    <------------------  RTS   (7)
//   MOSI   <------------------  TxD   (3)  break state
//   RESET  <------------------  DTR   (4)
//   MISO   ------------------>  DSR   (6)
//   GND    -------------------  GND   (5)
const Wire kWiring[] = {
    {Pin::Sck, platform::PortLine::Rts},
    {Pin::Mosi, platform::PortLine::TxBreak},
    {Pin::Reset, platform::PortLine::Dtr},
    {Pin::Miso, platform::PortLine::Dsr},
};

platform::PortLine portLineOf(Pin pin) {
    for (const Wire& wire : kWiring) {
        if (wire.pin == pin) return wire.portLine;
    }
    return platform::PortLine::Dsr;  // unreachable: every pin is wired
}

}  // namespace

bool open(const char* name, bool fast) {
    fastMode = fast;
    answered = true;
    for (int& level : levels)
        level = kUnknown;
    return platform::open(name);
}

void set(Pin pin, int level) {
    int& last = levels[static_cast<int>(pin)];
    if (!answered || (fastMode && last == (level != 0))) return;
    last = level != 0;
    answered = platform::set(portLineOf(pin), level != 0);
}

int readMiso() {
    bool level = false;
    if (answered) answered = platform::get(portLineOf(Pin::Miso), level);
    return level ? 1 : 0;
}

bool answering() {
    return answered;
}

void releaseTarget() {
    set(Pin::Reset, 1);
}

void close() {
    platform::close();
}

void sleepMs(unsigned ms) {
    platform::sleepMs(ms);
}

std::uint64_t nowUs() {
    return platform::nowUs();
}

void sendByte(std::uint8_t b) {
    for (int bit = 7; bit >= 0; --bit) {
        set(Pin::Mosi, (b >> bit) & 1);
        set(Pin::Sck, 0);
        set(Pin::Sck, 1);
        set(Pin::Sck, 0);
    }
}

std::uint8_t exchangeByte(std::uint8_t b) {
    unsigned result = 0;
    for (int bit = 7; bit >= 0; --bit) {
        set(Pin::Mosi, (b >> bit) & 1);
        set(Pin::Sck, 0);
        result = (result << 1) | static_cast<unsigned>(readMiso());
        set(Pin::Sck, 1);
        set(Pin::Sck, 0);
        set(Pin::Mosi, 1);
    }
    return static_cast<std::uint8_t>(result);
}

std::uint8_t receiveByte() {
    unsigned result = 0;
    for (int i = 0; i < 8; ++i) {
        set(Pin::Sck, 0);
        result = (result << 1) | static_cast<unsigned>(readMiso());
        set(Pin::Sck, 1);
    }
    return static_cast<std::uint8_t>(result);
}

void sendInstruction(IspInstruction w) {
    sendByte(static_cast<std::uint8_t>(w >> 24));
    sendByte(static_cast<std::uint8_t>(w >> 16));
    sendByte(static_cast<std::uint8_t>(w >> 8));
    sendByte(static_cast<std::uint8_t>(w));
}

std::uint8_t queryInstruction(IspInstruction w) {
    sendByte(static_cast<std::uint8_t>(w >> 24));
    sendByte(static_cast<std::uint8_t>(w >> 16));
    sendByte(static_cast<std::uint8_t>(w >> 8));
    return receiveByte();
}

}  // namespace line
