// The platform calls served by a virtual chip in the same process: the
// adapter's wiring as the chip sees it, and sleeps that pass virtual time.
#include "link/platform.h"
#include "vtarget/inprocess.h"

namespace vtarget {

namespace {

Chip* attached = nullptr;
bool opened = false;

}  // namespace

void attach(Chip* chip) {
    attached = chip;
    opened = false;
}

}  // namespace vtarget

namespace platform {

bool open() {
    if (vtarget::attached == nullptr || vtarget::opened) return false;
    vtarget::opened = true;
    return true;
}

void set(PortLine line, bool level) {
    if (vtarget::attached == nullptr) return;
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
            break;
    }
}

bool get(PortLine line) {
    return vtarget::attached != nullptr && line == PortLine::Dsr && vtarget::attached->readMiso();
}

void close() {
    vtarget::opened = false;
}

void sleepMs(unsigned ms) {
    if (vtarget::attached != nullptr) vtarget::attached->sleepMs(ms);
}

}  // namespace platform
