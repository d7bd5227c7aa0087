// Which character devices are a console, which quillet never drives: a break
// on a serial console can fire the kernel's magic SysRq, and the console's
// other names reach the same device.
#pragma once

#include <sys/types.h>

#include <cstddef>

namespace console {

enum class Verdict {
    Free,
    Console,              // the console under any of its names, or a UART the kernel lists as one
    ControllingTerminal,  // /dev/tty (5:0): the session's own terminal, whatever it is
    Unknown,              // the kernel's console list could not be read
};

struct Check {
    Verdict verdict;
    int error;  // Unknown: why the list could not be read
};

// The rule on a device number, given the devices the kernel lists as its
// consoles: /dev/tty (5:0), /dev/console (5:1) and /dev/tty0 (4:0) are always
// refused; any other device where it is listed (Documentation/admin-guide/
// devices.txt gives the numbers).
Verdict byNumber(dev_t device, const dev_t* listed, std::size_t count);

// The rule for device against the kernel's own list (/proc/consoles and
// /sys/class/tty/console/active). A list that cannot be read refuses: a
// check that cannot look must not let the console through.
Check check(dev_t device);

// True when this process has a controlling terminal, for /dev/tty's reason.
bool hasControllingTerminal();

}  // namespace console
