// The POSIX back end's serial ports, from Linux's sysfs below the system root
// (link/ports.h), and why an open was refused. Nothing under /dev is opened.
//
// A port is /sys/class/tty/NAME with a device link (virtual terminals have
// none); a serial core port whose type is 0, PORT_UNKNOWN
// (include/uapi/linux/serial_core.h), is a placeholder of the 8250 driver
// with no UART behind it and is skipped (Documentation/ABI/stable/
// sysfs-class-tty). Its device is NAME under /dev.
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "link/console_posix.h"
#include "link/interrupt.h"
#include "link/port_claim_posix.h"
#include "link/ports.h"

#ifndef QUILLET_COM1_DEVICE
#define QUILLET_COM1_DEVICE "/dev/ttyS0"
#endif
#ifndef QUILLET_LOCK_DIR
#define QUILLET_LOCK_DIR "/var/lock"
#endif

namespace port {

namespace {

// From a tty's device up to its USB device: the usb-serial port, the
// interface, the device (a CDC ACM tty's device is the interface).
constexpr int kUsbLevels = 3;
// From Linux 6.5 on, a serial core tty's device is a port on the
// serial-base bus under a controller, both with drivers of the bus's own
// ("port", "ctrl"); the UART's driver is above them
// (drivers/tty/serial/serial_base_bus.c).
constexpr int kSerialBaseLevels = 2;

// dir, "/" and name into path; false when they do not fit.
template <std::size_t N>
bool pathOf(char (&path)[N], const char* dir, const char* name) {
    int length = std::snprintf(path, N, "%s/%s", dir, name);
    return length > 0 && static_cast<std::size_t>(length) < N;
}

// The attribute file at path, its line end cut, into text; false when there is none.
bool readAttribute(const char* path, char* text, std::size_t size) {
    int file = ::open(path, O_RDONLY | O_CLOEXEC);
    if (file < 0) return false;
    ssize_t length = ::read(file, text, size - 1);
    ::close(file);
    if (length < 0) return false;
    while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == ' '))
        --length;
    text[length] = '\0';
    return true;
}

// The last part of the link at path ("ch341-uart" for ../drivers/ch341-uart)
// into name; false, and "", where there is none or it does not fit.
bool linkName(const char* path, char* name, std::size_t size) {
    char target[PATH_MAX];
    ssize_t read = ::readlink(path, target, sizeof target - 1);
    name[0] = '\0';
    if (read <= 0) return false;
    target[read] = '\0';
    const char* slash = std::strrchr(target, '/');
    const char* last = slash != nullptr ? slash + 1 : target;
    std::size_t length = std::strlen(last);
    if (length >= size) return false;
    std::memcpy(name, last, length + 1);
    return true;
}

// The driver of the tty's device at dir, and a USB adapter's ids and strings,
// looked for in dir and the devices above it (".." after a link leads to the
// parent of its target).
void describeDevice(const char* dir, FoundPort& port) {
    char up[PATH_MAX];
    char path[PATH_MAX];
    char text[32];
    std::snprintf(up, sizeof up, "%s", dir);
    for (int level = 0; level < kSerialBaseLevels; ++level) {
        text[0] = '\0';
        if (pathOf(path, up, "subsystem")) linkName(path, text, sizeof text);
        if (std::strcmp(text, "serial-base") != 0 || !pathOf(path, up, "..")) break;
        std::memcpy(up, path, sizeof up);
    }
    if (pathOf(path, up, "driver")) linkName(path, port.driver, sizeof port.driver);
    std::snprintf(up, sizeof up, "%s", dir);
    for (int level = 0; level < kUsbLevels && !port.usb; ++level) {
        port.usb = pathOf(path, up, "idVendor") && readAttribute(path, text, sizeof text);
        if (port.usb) {
            port.vid = static_cast<unsigned>(std::strtoul(text, nullptr, 16));
            if (pathOf(path, up, "idProduct") && readAttribute(path, text, sizeof text))
                port.pid = static_cast<unsigned>(std::strtoul(text, nullptr, 16));
            if (pathOf(path, up, "serial")) readAttribute(path, port.serial, sizeof port.serial);
            if (pathOf(path, up, "product")) readAttribute(path, port.product, sizeof port.product);
        }
        if (!pathOf(path, up, "..")) break;
        std::memcpy(up, path, sizeof up);
    }
}

// True when the blank-separated list holds name.
bool listed(const char* list, const char* name) {
    std::size_t length = std::strlen(name);
    for (const char* at = list; (at = std::strstr(at, name)) != nullptr; at += length) {
        bool starts = at == list || at[-1] == ' ';
        if (starts && (at[length] == '\0' || at[length] == ' ')) return true;
    }
    return false;
}

void groupName(gid_t gid, char* name, std::size_t size) {
    const group* entry = ::getgrgid(gid);
    if (entry != nullptr) {
        std::snprintf(name, size, "%s", entry->gr_name);
    } else {
        std::snprintf(name, size, "%u", static_cast<unsigned>(gid));
    }
}

// Whether another program holds the port or the user may not open it,
// without opening it; device is its number (0: unknown). The lock file is
// read as a run reads it: twice where it names no process, and one that
// cannot be read counts as live, as a run refuses it too.
void findState(FoundPort& port, dev_t device, const char* name, const char* consoles) {
    claim::LockState lock = claim::examine(QUILLET_LOCK_DIR, port.name, true).state;
    if ((device != 0 && console::check(device).verdict == console::Verdict::Console) ||
        listed(consoles, name)) {
        port.state = PortState::Console;
    } else if (lock == claim::LockState::Live || lock == claim::LockState::Unreadable ||
               (device != 0 && claim::heldBy(device) > 0)) {
        port.state = PortState::InUse;
    } else if (claim::problemOf(lock) != nullptr) {
        port.state = PortState::BadLock;
    } else if (::access(port.name, R_OK | W_OK) != 0 && errno == EACCES) {
        port.state = PortState::NoAccess;
        struct stat st {};
        if (::stat(port.name, &st) == 0) groupName(st.st_gid, port.group, sizeof port.group);
    }
}

}  // namespace

void findSerialPorts(FoundPorts& found) {
    char classDir[PATH_MAX];
    char tty[PATH_MAX];
    char path[PATH_MAX];
    char text[32];
    if (!pathOf(classDir, systemRoot(), "sys/class/tty")) return;
    DIR* ttys = ::opendir(classDir);
    if (ttys == nullptr) return;
    char consoles[256] = "";
    if (pathOf(path, classDir, "console/active")) readAttribute(path, consoles, sizeof consoles);
    for (dirent* entry; (entry = ::readdir(ttys)) != nullptr;) {
        const char* name = entry->d_name;
        if (name[0] == '.' || !pathOf(tty, classDir, name) || !pathOf(path, tty, "device") ||
            ::access(path, F_OK) != 0) {
            continue;
        }
        bool uart = pathOf(path, tty, "type") && readAttribute(path, text, sizeof text);
        if (uart && std::strtol(text, nullptr, 10) == 0) continue;
        // A signal ends the look; one port past the list's room is counted.
        if (interrupt::requested() != 0) break;
        FoundPort* port = addPort(found);
        if (port == nullptr) continue;
        char dev[PATH_MAX];
        if (!pathOf(dev, systemRoot(), "dev") || !pathOf(port->name, dev, name)) {
            --found.count;
            continue;
        }
        if (pathOf(path, tty, "device")) describeDevice(path, *port);
        if (!wanted(found, *port)) {
            --found.count;
            continue;
        }
        const char* family = port->usb ? familyOf(port->vid, port->pid) : uart ? "UART" : "";
        std::snprintf(port->family, sizeof port->family, "%s", family);
        unsigned major = 0;
        unsigned minor = 0;
        bool numbered = pathOf(path, tty, "dev") && readAttribute(path, text, sizeof text) &&
                        std::sscanf(text, "%u:%u", &major, &minor) == 2;
        findState(*port, numbered ? makedev(major, minor) : 0, name, consoles);
    }
    ::closedir(ttys);
}

RefusalFacts explainRefusal(const char* name, int error) {
    RefusalFacts facts{};
    const char* path = std::strcmp(name, "COM1:") == 0 ? QUILLET_COM1_DEVICE : name;
    std::snprintf(facts.device, sizeof facts.device, "%s", path);
    struct stat st {};
    bool exists = ::stat(path, &st) == 0;
    // The console check runs before anything else is looked at; what it
    // found stands, whichever errno it gave.
    console::Check check{console::Verdict::Free, 0};
    if (exists && S_ISCHR(st.st_mode)) check = console::check(st.st_rdev);
    if (check.verdict == console::Verdict::ControllingTerminal) {
        facts.refusal = Refusal::ControllingTerminal;
        facts.hasTerminal = console::hasControllingTerminal();
    } else if (check.verdict == console::Verdict::Console) {
        facts.refusal = Refusal::Console;
    } else if (check.verdict == console::Verdict::Unknown) {
        facts.refusal = Refusal::ConsoleUnchecked;
        facts.checkError = check.error;
    } else if (error == ENOENT || error == ENODEV || error == ENXIO) {
        facts.refusal = Refusal::Missing;
    } else if (error == EACCES) {
        facts.refusal = Refusal::Permission;
        if (exists) groupName(st.st_gid, facts.group, sizeof facts.group);
        facts.groupMayUse = exists && st.st_gid != 0 && (st.st_mode & 060) == 060;
    } else if (error == EBUSY) {
        facts.refusal = Refusal::InUse;
        // The lock as the open found it: one that names no process was read twice then.
        claim::LockFile lock = claim::examine(QUILLET_LOCK_DIR, path, false);
        facts.lockProblem = claim::problemOf(lock.state);
        if (facts.lockProblem != nullptr &&
            !claim::lockFilePath(QUILLET_LOCK_DIR, path, facts.lockFile, sizeof facts.lockFile)) {
            facts.lockProblem = nullptr;
        }
        pid_t holder = lock.state == claim::LockState::Live ? lock.pid : 0;
        if (holder == 0 && exists && S_ISCHR(st.st_mode)) holder = claim::heldBy(st.st_rdev);
        facts.holder = holder > 0 ? holder : 0;
        char comm[32];
        std::snprintf(comm, sizeof comm, "/proc/%ld/comm", facts.holder);
        if (facts.holder != 0) readAttribute(comm, facts.holderName, sizeof facts.holderName);
    } else if (error == EPERM) {
        facts.refusal = Refusal::Console;
    }
    return facts;
}

}  // namespace port
