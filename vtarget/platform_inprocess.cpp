// The platform calls served by a virtual chip in the same process, through
// the virtual adapter that the caller of attach() owns: its wiring, its call
// cost and its sleeps.
#include "link/platform.h"
#include "vtarget/inprocess.h"

namespace vtarget {

namespace {

constexpr std::uint64_t kNsPerMs = 1000000;

Adapter* adapter = nullptr;
bool opened = false;

unsigned bitOf(platform::PortLine line) {
    switch (line) {
        case platform::PortLine::Rts:
            return lineBit(Line::Rts);
        case platform::PortLine::Dtr:
            return lineBit(Line::Dtr);
        case platform::PortLine::TxBreak:
            return lineBit(Line::TxBreak);
        case platform::PortLine::Dsr:
            return lineBit(Line::Dsr);
    }
    return 0;
}

}  // namespace

void attach(Adapter* attached) {
    adapter = attached;
    opened = false;
}

}  // namespace vtarget

namespace platform {

bool open(const char*) {
    if (!vtarget::adapter || vtarget::opened) return false;
    vtarget::opened = true;
    vtarget::adapter->powerUp();
    return true;
}

bool set(PortLine line, bool level) {
    unsigned bit = vtarget::bitOf(line);
    return vtarget::adapter && vtarget::adapter->drive(bit, level ? bit : 0);
}

bool get(PortLine line, bool& level) {
    unsigned levels = 0;
    bool answered = vtarget::adapter && vtarget::adapter->read(levels);
    level = (levels & vtarget::bitOf(line)) != 0;
    return answered;
}

void close() {
    vtarget::opened = false;
}

void sleepMs(unsigned ms) {
    if (vtarget::adapter) vtarget::adapter->sleep(std::uint64_t{ms} * vtarget::kNsPerMs);
}

std::uint64_t nowUs() {
    return vtarget::adapter ? vtarget::adapter->nowNs() / 1000 : 0;
}

}  // namespace platform
