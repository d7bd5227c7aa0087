#include "isp/ports.h"

#include "isp/session.h"
#include "link/port_name.h"
#include "link/ports.h"
#include "text/printable.h"

namespace isp {

namespace {

port::FoundPorts found;

// Why the OS refused the port, and what the user can do about it.
void sayWhy(const port::Opened& opened) {
    port::RefusalFacts facts = port::explainRefusal(opened.device, opened.why.error);
    text::Printable device;
    text::Printable group;
    text::Printable holder;
    switch (facts.refusal) {
        case port::Refusal::Missing:
            std::fprintf(stderr, "  No such port: %s does not exist.\n", device.of(facts.device));
            break;
        case port::Refusal::Permission:
            if (!facts.groupMayUse) {
                std::fprintf(stderr,
                             "  Permission denied on %s: ask the system's administrator for "
                             "access.\n",
                             device.of(facts.device));
                break;
            }
            std::fprintf(stderr,
                         "  Permission denied: %s belongs to group %s, which this session is not "
                         "in.\n  Add yourself to it with: sudo usermod -aG %s $USER\n  then log "
                         "out and in again (a new group takes effect at login).\n",
                         device.of(facts.device), group.of(facts.group), group.of(facts.group));
            break;
        case port::Refusal::InUse:
            if (facts.lockProblem != nullptr) {
                const char* file = device.of(facts.lockFile);
                std::fprintf(stderr,
                             "  Lock file %s names no process (%s): if no program is using the "
                             "port, remove it with rm %s\n",
                             file, facts.lockProblem, file);
            } else if (facts.holder != 0) {
                std::fprintf(stderr, "  In use by another program: %s (PID %ld).\n",
                             holder.of(facts.holderName), facts.holder);
            } else {
                std::fprintf(stderr, "  In use by another program.\n");
            }
            break;
        case port::Refusal::Console:
            std::fprintf(stderr,
                         "  A system console: quillet never drives one, as a break on it can "
                         "trigger the kernel's magic SysRq.\n");
            break;
        case port::Refusal::ControllingTerminal:
            if (facts.hasTerminal) {
                std::fprintf(stderr,
                             "  %s is this session's controlling terminal, whatever device that "
                             "is: quillet never drives it. Name the port itself.\n",
                             device.of(facts.device));
            } else {
                std::fprintf(stderr,
                             "  No such device or address: %s stands for the controlling "
                             "terminal, and this session has none.\n",
                             device.of(facts.device));
            }
            break;
        case port::Refusal::ConsoleUnchecked:
            std::fprintf(stderr,
                         "  The system's consoles could not be looked up (%s): quillet drives no "
                         "port that may be one.\n",
                         port::describe(port::Result{facts.checkError}));
            break;
        case port::Refusal::Other:
            std::fprintf(stderr, "  Not opened: %s.\n", port::describe(opened.why));
            break;
    }
}

}  // namespace

void setSystemRoot(const char* root) {
    port::setSystemRoot(root);
}

void printPorts(std::FILE* out, const char* indent, const char* heading) {
    port::listPorts(found);
    if (interruption() != 0) return;
    if (found.count == 0) std::fprintf(stderr, "  No serial port or FTDI chip found.\n");
    if (found.count != 0 && heading != nullptr) std::fprintf(stderr, "%s\n", heading);
    char line[4096];
    // A signal ends the list where it finds it.
    for (std::size_t i = 0; i < found.count && interruption() == 0; ++i) {
        port::describePort(found.ports[i], line, sizeof line);
        std::fprintf(out, "%s%s\n", indent, line);
    }
    if (found.leftOut != 0 && interruption() == 0) {
        std::fprintf(stderr, "  %u more ports left out: the list holds at most %u.\n",
                     static_cast<unsigned>(found.leftOut), static_cast<unsigned>(port::kMaxPorts));
    }
}

void explainRefusal(const char* name, const port::Opened& opened) {
    port::PortName parsed = port::parsePortName(name);
    text::Printable shown;
    if (opened.advice != nullptr) {
        std::fprintf(stderr, "  %s\n", shown.of(opened.advice));
    } else if (opened.status == port::OpenStatus::Malformed) {
        std::fprintf(stderr,
                     "  A port name is ftdi, ftdi:SERIAL, usb:VID:PID or "
                     "usb:VID:PID:SERIAL (in hexadecimal), or a device.\n");
    } else if (opened.status == port::OpenStatus::NoAdapter) {
        std::fprintf(stderr, "  No USB serial adapter %04x:%04x%s%s found.\n", parsed.vid,
                     parsed.pid, parsed.serial[0] != '\0' ? " with serial number " : "",
                     shown.of(parsed.serial));
    } else if (opened.status == port::OpenStatus::Adapters) {
        std::fprintf(stderr,
                     "  %u USB serial adapters %04x:%04x found: name one by its serial number "
                     "(usb:VID:PID:SERIAL) or by its device.\n",
                     static_cast<unsigned>(opened.matches), parsed.vid, parsed.pid);
    } else if (opened.device != nullptr) {
        sayWhy(opened);
    }
    printPorts(stderr, "    ", "  Ports found:");
}

}  // namespace isp
