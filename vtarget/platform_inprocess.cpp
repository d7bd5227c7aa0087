// The platform calls served by a virtual chip in the same process, through
// the virtual adapter that the caller of attach() owns: its wiring, the cost
// and the error of each call, and its sleeps.
#include <cerrno>
#include <cstring>

#include "link/platform.h"
#include "vtarget/inprocess.h"

namespace vtarget {

namespace {

constexpr std::uint64_t kNsPerUs = 1000;

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

Result open(const char*) {
    if (!vtarget::adapter) return Result{ENOENT};
    if (vtarget::opened) return Result{EBUSY};
    vtarget::opened = true;
    vtarget::adapter->powerUp();
    return Result{};
}

Result set(PortLine line, bool level) {
    unsigned bit = vtarget::bitOf(line);
    if (line == PortLine::Dsr) return Result{EINVAL};
    if (!vtarget::adapter) return Result{EIO};
    if (line == PortLine::TxBreak) return vtarget::adapter->setBreak(level);
    return vtarget::adapter->drive(bit, level ? bit : 0);
}

Result get(PortLine line, bool& level) {
    unsigned levels = 0;
    Result answered = vtarget::adapter ? vtarget::adapter->read(levels) : Result{EIO};
    level = (levels & vtarget::bitOf(line)) != 0;
    return answered;
}

void close() {
    vtarget::opened = false;
}

void sleepUs(std::uint64_t us) {
    if (vtarget::adapter) vtarget::adapter->sleep(us * vtarget::kNsPerUs);
}

const char* describe(int error) {
    return std::strerror(error);
}

std::uint64_t nowUs() {
    return vtarget::adapter ? vtarget::adapter->nowNs() / 1000 : 0;
}

}  // namespace platform
