// The FTDI transport of a build without libftdi1.
#include <cerrno>

#include "link/ftdi.h"

namespace port {

Transport* openFtdi(const char*, Result& why, const char*& advice) {
    why = Result{ENOSYS};
    advice =
        "This build has no FTDI support: it was built without libftdi1 "
        "(Debian: libftdi1-dev).";
    return nullptr;
}

void findFtdiChips(FoundPorts&) {}

}  // namespace port
