// The platform calls served by a virtual chip in the same process: the
// adapter's wiring as the chip sees it, and sleeps that pass virtual time.
#include "link/platform.h"
#include "vtarget/inprocess.h"

namespace vtarget {

namespace {

Chip* attached = nullptr;
bool opened = false;
// What a line call takes on a native UART, so that a host polling the chip sees time pass.
constexpr std::uint64_t kCallUs = 2;

}  // namespace

void attach(Chip* chip) {
    attached = chip;
    opened = false;
}

}  // namespace vtarget

namespace platform {

bool open(const char*) {
    if (vtarget::attached == nullptr || vtarget::opened) return false;
    vtarget::opened = true;
    return true;
}

bool set(PortLine line, bool level) {
    if (vtarget::attached == nullptr) return false;
    vtarget::attached->advanceUs(vtarget::kCallUs);
    switch (line) {
        case PortLine::Rts:
            vtarget::attached->setPin(vtarget::Pin::Sck, level);
            break;
        case PortLine::Dtr:
            vtarget::attached->setPin(vtarget::Pin::Reset, level);
            break;
        case PortLine::TxBreak:
            vtarget::attached->setPin(vtarget::Pin::Mosi, level);
            break;
        case PortLine::Dsr:
            return false;
    }
    return true;
}

bool get(PortLine line, bool& level) {
    if (vtarget::attached != nullptr) vtarget::attached->advanceUs(vtarget::kCallUs);
    level = vtarget::attached != nullptr && line == PortLine::Dsr && vtarget::attached->readMiso();
    return vtarget::attached != nullptr;
}

void close() {
    vtarget::opened = false;
}

void sleepMs(unsigned ms) {
    if (vtarget::attached != nullptr) vtarget::attached->sleepMs(ms);
}

std::uint64_t nowUs() {
    return vtarget::attached != nullptr ? vtarget::attached->nowUs() : 0;
}

}  // namespace platform
