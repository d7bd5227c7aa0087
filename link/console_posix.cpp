#include "link/console_posix.h"

#include <sys/sysmacros.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace console {

namespace {

// Enough for any machine's consoles; more are not looked at.
constexpr std::size_t kMaxListed = 16;

struct Listed {
    dev_t devices[kMaxListed];
    std::size_t count = 0;
    int error = 0;

    void add(dev_t device) {
        if (count < kMaxListed) devices[count++] = device;
    }
};

// The device number at the end of a /proc/consoles line ("ttyS0 -W- (EC p a) 4:64").
bool numberOf(const char* line, dev_t& device) {
    const char* colon = std::strrchr(line, ':');
    if (colon == nullptr) return false;
    const char* start = colon;
    while (start > line && start[-1] >= '0' && start[-1] <= '9')
        --start;
    unsigned major = 0;
    unsigned minor = 0;
    if (std::sscanf(start, "%u:%u", &major, &minor) != 2) return false;
    device = makedev(major, minor);
    return true;
}

void readProc(Listed& listed) {
    std::FILE* consoles = std::fopen("/proc/consoles", "re");
    if (consoles == nullptr) {
        listed.error = errno;
        return;
    }
    char line[256];
    dev_t device = 0;
    while (std::fgets(line, sizeof line, consoles) != nullptr) {
        if (numberOf(line, device)) listed.add(device);
    }
    std::fclose(consoles);
}

// The same list through sysfs, by name, each name's number from its own
// entry there; a kernel without the list has /proc's.
void readSys(Listed& listed) {
    std::FILE* active = std::fopen("/sys/class/tty/console/active", "re");
    if (active == nullptr) {
        if (errno != ENOENT) listed.error = errno;
        return;
    }
    char name[64];
    while (std::fscanf(active, "%63s", name) == 1) {
        char path[96];
        std::snprintf(path, sizeof path, "/sys/class/tty/%s/dev", name);
        std::FILE* number = std::fopen(path, "re");
        if (number == nullptr) continue;
        unsigned major = 0;
        unsigned minor = 0;
        if (std::fscanf(number, "%u:%u", &major, &minor) == 2) listed.add(makedev(major, minor));
        std::fclose(number);
    }
    std::fclose(active);
}

}  // namespace

Verdict byNumber(dev_t device, const dev_t* listed, std::size_t count) {
    if (device == makedev(5, 0)) return Verdict::ControllingTerminal;
    if (device == makedev(5, 1) || device == makedev(4, 0)) return Verdict::Console;
    for (std::size_t i = 0; i < count; ++i) {
        if (listed[i] == device) return Verdict::Console;
    }
    return Verdict::Free;
}

Check check(dev_t device) {
    Listed listed;
    readProc(listed);
    if (listed.error == 0) readSys(listed);
    Verdict verdict = byNumber(device, listed.devices, listed.count);
    // The always-refused names need no list.
    if (verdict == Verdict::Free && listed.error != 0) return Check{Verdict::Unknown, listed.error};
    return Check{verdict, 0};
}

bool hasControllingTerminal() {
    // Field 7 of /proc/self/stat, tty_nr: 0 without one (proc(5)).
    std::FILE* stat = std::fopen("/proc/self/stat", "re");
    if (stat == nullptr) return false;
    char text[512] = {};
    std::size_t size = std::fread(text, 1, sizeof text - 1, stat);
    std::fclose(stat);
    text[size] = '\0';
    // The command name, field 2, may hold blanks and parentheses: count from its end.
    const char* end = std::strrchr(text, ')');
    int terminal = 0;
    return end != nullptr && std::sscanf(end + 1, " %*c %*d %*d %*d %d", &terminal) == 1 &&
           terminal != 0;
}

}  // namespace console
