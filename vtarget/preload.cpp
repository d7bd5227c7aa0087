// The virtual chip behind a serial device path, for a whole program.
//
// Loaded with LD_PRELOAD, the library answers an open of the build's COM1
// device (or of a path given with port=) with the slave side of a fresh
// pseudo-terminal, so termios calls, flock and fcntl keep working, and serves
// the modem-line ioctls on it from the virtual chip:
//   RTS -> SCK, DTR -> RESET, break -> MOSI, DSR <- MISO.
// Such an open never reaches the real device.
//
// Wherever it is loaded, the library also owns the process's time: unless
// VTARGET has realtime, nanosleep, clock_nanosleep, usleep and sleep return at
// once and advance the chip's clock, and clock_gettime, gettimeofday and time
// read that clock, so a run is fast and the same every time.
//
// Descriptors are followed by number: a dup of the served descriptor is a
// plain pseudo-terminal.
//
// With serve-ptys, a pseudo-terminal slave that the process did not open
// through the library is served too, from its first modem-line call on (on a
// pseudo-terminal such a call does nothing or fails). Wine needs it: its
// server opens the port and hands the descriptor to the program's process,
// which makes the modem-line calls.
//
// Settings come from VTARGET (see preload_config.h); a bad one ends the
// process with exit code 125 before main runs.

// The definitions of open() below must not meet the fortified inline wrappers.
#undef _FORTIFY_SOURCE

#include <dlfcn.h>
#include <fcntl.h>
#include <linux/major.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/time.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "vtarget/chip.h"
#include "vtarget/preload_config.h"

#ifndef QUILLET_COM1_DEVICE
#define QUILLET_COM1_DEVICE "/dev/ttyS0"
#endif

namespace vtarget {

namespace {

constexpr std::uint64_t kNsPerUs = 1000;
constexpr std::uint64_t kNsPerMs = 1000000;
constexpr std::uint64_t kNsPerS = 1000000000;
// Virtual wall-clock time starts at 2000-01-01 00:00:00 UTC; the monotonic
// clocks start a little after zero, as an uptime would.
constexpr std::uint64_t kVirtualEpochS = 946684800;
constexpr std::uint64_t kVirtualUptimeS = 1000;

template <typename F>
F* next(F*& slot, const char* name) {
    if (slot == nullptr) slot = reinterpret_cast<F*>(dlsym(RTLD_NEXT, name));
    return slot;
}

// The functions this library stands in front of, as the rest of the process
// would have reached them. Null until resolved: nothing here waits for a
// constructor to have run.
struct Real {
    decltype(::open)* open;
    decltype(::close)* close;
    decltype(::ioctl)* ioctl;
    decltype(::nanosleep)* nanosleep;
    decltype(::clock_nanosleep)* clockNanosleep;
    decltype(::clock_gettime)* clockGettime;
};

Real real;

void resolveReal() {
    next(real.open, "open");
    next(real.close, "close");
    next(real.ioctl, "ioctl");
    next(real.nanosleep, "nanosleep");
    next(real.clockNanosleep, "clock_nanosleep");
    next(real.clockGettime, "clock_gettime");
}

int realOpen(const char* path, int flags) {
    return next(real.open, "open")(path, flags);
}
int realClose(int fd) {
    return next(real.close, "close")(fd);
}
int realIoctl(int fd, unsigned long request, void* arg) {
    return next(real.ioctl, "ioctl")(fd, request, arg);
}
int realNanosleep(const timespec* request, timespec* remaining) {
    return next(real.nanosleep, "nanosleep")(request, remaining);
}
int realClockNanosleep(clockid_t clock, int flags, const timespec* request, timespec* remaining) {
    return next(real.clockNanosleep, "clock_nanosleep")(clock, flags, request, remaining);
}
// A sanitizer's allocator reads the clock, possibly from inside dlsym: until
// the function is resolved the kernel is asked directly.
int realClockGettime(clockid_t clock, timespec* now) {
    if (real.clockGettime == nullptr)
        return static_cast<int>(::syscall(SYS_clock_gettime, clock, now));
    return real.clockGettime(clock, now);
}

std::uint64_t nsOf(const timespec& t) {
    return static_cast<std::uint64_t>(t.tv_sec) * kNsPerS + static_cast<std::uint64_t>(t.tv_nsec);
}

timespec timespecOf(std::uint64_t ns) {
    return {static_cast<time_t>(ns / kNsPerS), static_cast<long>(ns % kNsPerS)};
}

bool valid(const timespec* t) {
    return t != nullptr && t->tv_sec >= 0 && t->tv_nsec >= 0 &&
           static_cast<std::uint64_t>(t->tv_nsec) < kNsPerS;
}

// The clocks that measure elapsed time; CPU-time clocks stay real.
bool isVirtualClock(clockid_t clock) {
    switch (clock) {
        case CLOCK_REALTIME:
        case CLOCK_REALTIME_COARSE:
        case CLOCK_TAI:
        case CLOCK_MONOTONIC:
        case CLOCK_MONOTONIC_COARSE:
        case CLOCK_MONOTONIC_RAW:
        case CLOCK_BOOTTIME:
            return true;
        default:
            return false;
    }
}

// The requests that drive or read the lines.
bool isLineRequest(unsigned long request) {
    switch (request) {
        case TIOCMBIS:
        case TIOCMBIC:
        case TIOCMSET:
        case TIOCMGET:
        case TIOCSBRK:
        case TIOCCBRK:
            return true;
        default:
            return false;
    }
}

bool isPtySlave(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return false;
    unsigned kind = major(st.st_rdev);
    return kind >= UNIX98_PTY_SLAVE_MAJOR && kind < UNIX98_PTY_SLAVE_MAJOR + UNIX98_PTY_MAJOR_COUNT;
}

bool isWallClock(clockid_t clock) {
    return clock == CLOCK_REALTIME || clock == CLOCK_REALTIME_COARSE || clock == CLOCK_TAI;
}

std::string hex(const std::uint8_t* bytes, std::size_t n) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string text;
    for (std::size_t i = 0; i < n; ++i) {
        text += kDigits[bytes[i] >> 4];
        text += kDigits[bytes[i] & 0x0F];
    }
    return text;
}

std::string quoted(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\"";
}

Config chipConfig(const PreloadOptions& options) {
    Config config = options.chip;
    config.trace = !options.traceOut.empty();
    return config;
}

// The master of an adopted descriptor: it is in another process.
constexpr int kNoMaster = -1;

class Shim {
  public:
    explicit Shim(const PreloadOptions& options)
        : options_(options), chip_(chipConfig(options)), owner_(::getpid()) {
        paths_.push_back(QUILLET_COM1_DEVICE);
        paths_.insert(paths_.end(), options.ports.begin(), options.ports.end());
        for (const std::string& path : paths_) {
            struct stat st {};
            if (::stat(path.c_str(), &st) == 0 && S_ISCHR(st.st_mode))
                devices_.push_back(st.st_rdev);
        }
        if (options_.realtime) startNs_ = monotonicNs();
    }

    std::recursive_mutex& mutex() { return mutex_; }
    bool realtime() const { return options_.realtime; }

    // True when path (relative to dirfd) names a served device, by its
    // spelling or as another name of the same device node.
    bool serves(int dirfd, const char* path) const {
        if (path == nullptr) return false;
        for (const std::string& served : paths_) {
            if (served == path) return true;
        }
        struct stat st {};
        if (devices_.empty() || ::fstatat(dirfd, path, &st, 0) != 0 || !S_ISCHR(st.st_mode)) {
            return false;
        }
        for (dev_t device : devices_) {
            if (device == st.st_rdev) return true;
        }
        return false;
    }

    int open(int flags) {
        if (options_.noPort) {
            errno = ENOENT;
            return -1;
        }
        int master = ::posix_openpt(O_RDWR | O_NOCTTY);
        if (master < 0) return -1;
        char name[64];
        int fd = -1;
        if (::grantpt(master) == 0 && ::unlockpt(master) == 0 &&
            ::ptsname_r(master, name, sizeof name) == 0) {
            int kept = flags & (O_ACCMODE | O_NONBLOCK | O_CLOEXEC);
            fd = realOpen(name, kept | O_NOCTTY);
        }
        if (fd < 0) {
            int error = errno;
            realClose(master);
            errno = error;
            return -1;
        }
        masters_[fd] = master;
        used_ = true;
        return fd;
    }

    bool isServed(int fd) const { return masters_.count(fd) != 0; }

    // Takes fd on as the served port when serve-ptys lets this call do it.
    bool adopts(int fd, unsigned long request) {
        if (!options_.servePtys || !isLineRequest(request) || !isPtySlave(fd)) return false;
        masters_[fd] = kNoMaster;
        used_ = true;
        return true;
    }

    int close(int fd) {
        if (masters_[fd] != kNoMaster) realClose(masters_[fd]);
        masters_.erase(fd);
        int result = realClose(fd);
        flushSleeps();
        writeOutputs(false);
        return result;
    }

    int ioctl(int fd, unsigned long request, void* arg) {
        if (isLineRequest(request)) return lineCall(request, static_cast<int*>(arg));
        switch (request) {
            case TIOCEXCL:
            case TIOCNXCL:
            case TCGETS:
            case TCSETS:
            case TCSETSW:
            case TCSETSF:
            case TCFLSH:
            case TCXONC:
            case TCSBRK:
                return realIoctl(fd, request, arg);
            default: {
                char text[64];
                std::snprintf(text, sizeof text, "unsupported ioctl request 0x%lX", request);
                violations_.emplace_back(text);
                errno = ENOTTY;
                return -1;
            }
        }
    }

    // A sleep of ns nanoseconds: over at once in virtual time; in real time,
    // what the caller has just slept. Sleeps with no line or status call
    // between them reach the chip as one, as a wait on the lines would look.
    void slept(std::uint64_t ns) {
        sleepNs_ += ns;
        used_ = true;
        pendingNs_ += ns;
    }

    // Hands the sleeps taken since the last call to the chip.
    void flushSleeps() {
        std::uint64_t ns = pendingNs_;
        pendingNs_ = 0;
        for (std::uint64_t ms = ns / kNsPerMs; ms > 0;) {
            unsigned part = static_cast<unsigned>(ms < 1000000000u ? ms : 1000000000u);
            chip_.sleepMs(part);
            ms -= part;
        }
        advanceNs(ns % kNsPerMs);
    }

    // Brings the chip up to the monotonic clock (real time only).
    void catchUp() {
        std::uint64_t elapsed = monotonicNs() - startNs_;
        if (elapsed > nowNs()) advanceNs(elapsed - nowNs());
    }

    std::uint64_t clockNs(clockid_t clock) const {
        return (isWallClock(clock) ? kVirtualEpochS : kVirtualUptimeS) * kNsPerS + nowNs();
    }

    // Writes state-out and trace-out. At exit, a process that never used the
    // chip leaves files that are already there alone: it is a wrapper such as
    // strace or time that got the same environment as the program it ran.
    void writeOutputs(bool atExit) const {
        // A forked child shares the settings but not the chip's story.
        if (::getpid() != owner_) return;
        if (worthWriting(options_.stateOut, atExit)) {
            std::ofstream out(options_.stateOut, std::ios::trunc);
            out << stateJson();
        }
        if (worthWriting(options_.traceOut, atExit)) {
            std::ofstream out(options_.traceOut, std::ios::trunc);
            for (const std::string& line : chip_.trace())
                out << line << '\n';
        }
    }

  private:
    bool worthWriting(const std::string& path, bool atExit) const {
        return !path.empty() && (!atExit || used_ || ::access(path.c_str(), F_OK) != 0);
    }

    std::uint64_t nowNs() const { return chip_.nowUs() * kNsPerUs + subUsNs_ + pendingNs_; }

    void advanceNs(std::uint64_t ns) {
        std::uint64_t total = subUsNs_ + ns;
        subUsNs_ = total % kNsPerUs;
        chip_.advanceUs(total / kNsPerUs);
    }

    std::uint64_t monotonicNs() const {
        timespec now{};
        realClockGettime(CLOCK_MONOTONIC, &now);
        return nsOf(now);
    }

    int lineCall(unsigned long request, int* bits) {
        bool needsBits = request != TIOCSBRK && request != TIOCCBRK;
        if (needsBits && bits == nullptr) {
            errno = EFAULT;
            return -1;
        }
        if (options_.failAfterSet && calls_ >= options_.failAfter) {
            errno = EIO;
            return -1;
        }
        ++calls_;
        flushSleeps();
        if (options_.realtime) {
            catchUp();
        } else {
            chip_.advanceUs(options_.callUs);
        }
        bool set = request == TIOCMBIS;
        switch (request) {
            case TIOCSBRK:
            case TIOCCBRK:
                chip_.setPin(Pin::Mosi, request == TIOCSBRK);
                break;
            case TIOCMGET:
                *bits = (chip_.readMiso() ? TIOCM_DSR : 0) |
                        (chip_.pinLevel(Pin::Sck) ? TIOCM_RTS : 0) |
                        (chip_.pinLevel(Pin::Reset) ? TIOCM_DTR : 0);
                break;
            case TIOCMSET:
                chip_.setPin(Pin::Sck, (*bits & TIOCM_RTS) != 0);
                chip_.setPin(Pin::Reset, (*bits & TIOCM_DTR) != 0);
                break;
            default:
                if (*bits & TIOCM_RTS) chip_.setPin(Pin::Sck, set);
                if (*bits & TIOCM_DTR) chip_.setPin(Pin::Reset, set);
                break;
        }
        return 0;
    }

    std::string stateJson() const {
        std::string json = "{\n";
        json += "  \"flash\": \"" + hex(chip_.flash().data(), kFlashBytes) + "\",\n";
        json += "  \"eeprom\": \"" + hex(chip_.eeprom().data(), kEepromBytes) + "\",\n";
        std::uint8_t fuse = chip_.fuse();
        std::uint8_t lock = chip_.lock();
        json += "  \"fuse\": \"" + hex(&fuse, 1) + "\",\n";
        json += "  \"lock\": \"" + hex(&lock, 1) + "\",\n";
        json += "  \"virtual_us\": " + std::to_string(chip_.nowUs()) + ",\n";
        json += "  \"sleep_us\": " + std::to_string(sleepNs_ / kNsPerUs) + ",\n";
        json += "  \"line_calls\": " + std::to_string(chip_.lineCalls()) + ",\n";
        json += "  \"status_reads\": " + std::to_string(chip_.statusReads()) + ",\n";
        json += "  \"instructions\": {";
        const char* separator = "";
        for (const auto& [kind, count] : chip_.instructions()) {
            json += separator + quoted(kind) + ": " + std::to_string(count);
            separator = ", ";
        }
        json += "},\n";
        json +=
            "  \"unknown_instructions\": " + std::to_string(chip_.unknownInstructions()) + ",\n";
        json += "  \"violations\": [";
        separator = "";
        std::vector<std::string> all = chip_.violations();
        all.insert(all.end(), violations_.begin(), violations_.end());
        for (const std::string& violation : all) {
            json += separator + quoted(violation);
            separator = ", ";
        }
        return json + "]\n}\n";
    }

    const PreloadOptions options_;
    Chip chip_;
    const pid_t owner_;
    std::recursive_mutex mutex_;
    std::vector<std::string> paths_;
    std::vector<dev_t> devices_;
    bool used_ = false;            // a served path opened or a sleep taken
    std::map<int, int> masters_;   // served descriptor -> its pseudo-terminal master
    std::uint64_t calls_ = 0;      // line and status calls so far
    std::uint64_t sleepNs_ = 0;    // sum of the sleeps asked for
    std::uint64_t subUsNs_ = 0;    // the chip's clock below its microsecond
    std::uint64_t pendingNs_ = 0;  // slept since the last line or status call
    std::uint64_t startNs_ = 0;    // the monotonic clock at load (real time)
    std::vector<std::string> violations_;
};

Shim* create() {
    PreloadOptions options;
    std::string error = parsePreloadOptions(std::getenv("VTARGET"), options);
    if (!error.empty()) {
        std::fprintf(stderr, "vtarget: %s\n", error.c_str());
        // Not exit(): no handler of a half-loaded process may run.
        ::_exit(125);
    }
    return new Shim(options);
}

std::atomic<Shim*> instance{nullptr};
std::atomic<bool> starting{false};

// The shim, made on first use (at the latest when the library loads). Null
// while it is being made: the calls that the runtime makes meanwhile, such as
// a sanitizer's allocator reading the clock, go straight on.
Shim* shim() {
    Shim* made = instance.load(std::memory_order_acquire);
    if (made != nullptr || starting.exchange(true)) return made;
    resolveReal();
    made = create();
    instance.store(made, std::memory_order_release);
    return made;
}

__attribute__((constructor)) void load() {
    shim();
}

__attribute__((destructor)) void unload() {
    Shim* made = shim();
    if (made == nullptr) return;
    std::lock_guard<std::recursive_mutex> lock(made->mutex());
    made->flushSleeps();
    made->writeOutputs(true);
}

int serveOrOpen(int dirfd, const char* path, int flags, mode_t mode,
                int (*passOn)(int, const char*, int, mode_t)) {
    Shim* made = shim();
    if (made == nullptr) {
        // No open of the device may reach it, even before the shim is there.
        if (path != nullptr && std::strcmp(path, QUILLET_COM1_DEVICE) == 0) {
            errno = EAGAIN;
            return -1;
        }
        return passOn(dirfd, path, flags, mode);
    }
    if (!made->serves(dirfd, path)) return passOn(dirfd, path, flags, mode);
    std::lock_guard<std::recursive_mutex> lock(made->mutex());
    return made->open(flags);
}

mode_t modeOf(int flags, va_list args) {
    bool creates = (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE;
    return creates ? static_cast<mode_t>(va_arg(args, int)) : 0;
}

// The real open family, each reached by its own name.
template <const char* kName>
int openPlain(int, const char* path, int flags, mode_t mode) {
    static int (*f)(const char*, int, ...) = nullptr;
    return next(f, kName)(path, flags, mode);
}

template <const char* kName>
int openAt(int dirfd, const char* path, int flags, mode_t mode) {
    static int (*f)(int, const char*, int, ...) = nullptr;
    return next(f, kName)(dirfd, path, flags, mode);
}

template <const char* kName>
int openFortified(int, const char* path, int flags, mode_t) {
    static int (*f)(const char*, int) = nullptr;
    return next(f, kName)(path, flags);
}

template <const char* kName>
int openAtFortified(int dirfd, const char* path, int flags, mode_t) {
    static int (*f)(int, const char*, int) = nullptr;
    return next(f, kName)(dirfd, path, flags);
}

constexpr char kOpen[] = "open";
constexpr char kOpen64[] = "open64";
constexpr char kOpenat[] = "openat";
constexpr char kOpenat64[] = "openat64";
constexpr char kOpen2[] = "__open_2";
constexpr char kOpen64_2[] = "__open64_2";
constexpr char kOpenat2[] = "__openat_2";
constexpr char kOpenat64_2[] = "__openat64_2";

// A sleep of `asked` nanoseconds: over at once in virtual time; in real time
// realSleep(left) waits, and the chip is credited with what was slept.
template <typename RealSleep>
int sleepFor(std::uint64_t asked, RealSleep realSleep) {
    Shim* made = shim();
    std::uint64_t left = 0;
    if (made == nullptr) return realSleep(left);
    if (!made->realtime()) {
        std::lock_guard<std::recursive_mutex> lock(made->mutex());
        made->slept(asked);
        return 0;
    }
    {
        std::lock_guard<std::recursive_mutex> lock(made->mutex());
        made->catchUp();
    }
    int result = realSleep(left);
    int error = errno;
    {
        std::lock_guard<std::recursive_mutex> lock(made->mutex());
        made->slept(asked > left ? asked - left : 0);
    }
    errno = error;
    return result;
}

}  // namespace

}  // namespace vtarget

using vtarget::kOpen;
using vtarget::kOpen2;
using vtarget::kOpen64;
using vtarget::kOpen64_2;
using vtarget::kOpenat;
using vtarget::kOpenat2;
using vtarget::kOpenat64;
using vtarget::kOpenat64_2;

extern "C" {

__attribute__((visibility("default"))) int open(const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    mode_t mode = vtarget::modeOf(flags, args);
    va_end(args);
    return vtarget::serveOrOpen(AT_FDCWD, path, flags, mode, vtarget::openPlain<kOpen>);
}

__attribute__((visibility("default"))) int open64(const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    mode_t mode = vtarget::modeOf(flags, args);
    va_end(args);
    return vtarget::serveOrOpen(AT_FDCWD, path, flags, mode, vtarget::openPlain<kOpen64>);
}

__attribute__((visibility("default"))) int openat(int dirfd, const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    mode_t mode = vtarget::modeOf(flags, args);
    va_end(args);
    return vtarget::serveOrOpen(dirfd, path, flags, mode, vtarget::openAt<kOpenat>);
}

__attribute__((visibility("default"))) int openat64(int dirfd, const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    mode_t mode = vtarget::modeOf(flags, args);
    va_end(args);
    return vtarget::serveOrOpen(dirfd, path, flags, mode, vtarget::openAt<kOpenat64>);
}

__attribute__((visibility("default"))) int __open_2(const char* path, int flags) {
    return vtarget::serveOrOpen(AT_FDCWD, path, flags, 0, vtarget::openFortified<kOpen2>);
}

__attribute__((visibility("default"))) int __open64_2(const char* path, int flags) {
    return vtarget::serveOrOpen(AT_FDCWD, path, flags, 0, vtarget::openFortified<kOpen64_2>);
}

__attribute__((visibility("default"))) int __openat_2(int dirfd, const char* path, int flags) {
    return vtarget::serveOrOpen(dirfd, path, flags, 0, vtarget::openAtFortified<kOpenat2>);
}

__attribute__((visibility("default"))) int __openat64_2(int dirfd, const char* path, int flags) {
    return vtarget::serveOrOpen(dirfd, path, flags, 0, vtarget::openAtFortified<kOpenat64_2>);
}

__attribute__((visibility("default"))) int close(int fd) {
    vtarget::Shim* shim = vtarget::shim();
    if (shim == nullptr) return vtarget::realClose(fd);
    std::lock_guard<std::recursive_mutex> lock(shim->mutex());
    return shim->isServed(fd) ? shim->close(fd) : vtarget::realClose(fd);
}

__attribute__((visibility("default"))) int ioctl(int fd, unsigned long request, ...) noexcept {
    va_list args;
    va_start(args, request);
    void* arg = va_arg(args, void*);
    va_end(args);
    vtarget::Shim* shim = vtarget::shim();
    if (shim == nullptr) return vtarget::realIoctl(fd, request, arg);
    std::lock_guard<std::recursive_mutex> lock(shim->mutex());
    return shim->isServed(fd) || shim->adopts(fd, request) ? shim->ioctl(fd, request, arg)
                                                           : vtarget::realIoctl(fd, request, arg);
}

__attribute__((visibility("default"))) int nanosleep(const timespec* request, timespec* remaining) {
    if (!vtarget::valid(request)) {
        errno = EINVAL;
        return -1;
    }
    return vtarget::sleepFor(vtarget::nsOf(*request), [&](std::uint64_t& left) {
        int result = vtarget::realNanosleep(request, remaining);
        if (result != 0 && errno == EINTR && remaining != nullptr) left = vtarget::nsOf(*remaining);
        return result;
    });
}

__attribute__((visibility("default"))) int clock_nanosleep(clockid_t clock, int flags,
                                                           const timespec* request,
                                                           timespec* remaining) {
    if (!vtarget::isVirtualClock(clock) || !vtarget::valid(request)) {
        return vtarget::realClockNanosleep(clock, flags, request, remaining);
    }
    bool absolute = (flags & TIMER_ABSTIME) != 0;
    std::uint64_t asked = vtarget::nsOf(*request);
    if (absolute) {
        timespec now{};
        clock_gettime(clock, &now);
        asked = asked > vtarget::nsOf(now) ? asked - vtarget::nsOf(now) : 0;
    }
    return vtarget::sleepFor(asked, [&](std::uint64_t& left) {
        int result = vtarget::realClockNanosleep(clock, flags, request, remaining);
        if (result == EINTR && !absolute && remaining != nullptr) left = vtarget::nsOf(*remaining);
        return result;
    });
}

__attribute__((visibility("default"))) int usleep(useconds_t us) {
    timespec request = vtarget::timespecOf(std::uint64_t{us} * vtarget::kNsPerUs);
    return nanosleep(&request, nullptr);
}

__attribute__((visibility("default"))) unsigned sleep(unsigned seconds) {
    timespec request = vtarget::timespecOf(std::uint64_t{seconds} * vtarget::kNsPerS);
    timespec remaining{};
    if (nanosleep(&request, &remaining) != 0) {
        return static_cast<unsigned>(remaining.tv_sec + (remaining.tv_nsec > 0 ? 1 : 0));
    }
    return 0;
}

__attribute__((visibility("default"))) int clock_gettime(clockid_t clock, timespec* now) noexcept {
    vtarget::Shim* shim = vtarget::shim();
    if (shim == nullptr || shim->realtime() || !vtarget::isVirtualClock(clock)) {
        return vtarget::realClockGettime(clock, now);
    }
    std::lock_guard<std::recursive_mutex> lock(shim->mutex());
    *now = vtarget::timespecOf(shim->clockNs(clock));
    return 0;
}

__attribute__((visibility("default"))) int gettimeofday(timeval* now, void* zone) noexcept {
    timespec t{};
    if (clock_gettime(CLOCK_REALTIME, &t) != 0) return -1;
    now->tv_sec = t.tv_sec;
    now->tv_usec = static_cast<suseconds_t>(t.tv_nsec / 1000);
    if (zone != nullptr) *static_cast<struct timezone*>(zone) = {};
    return 0;
}

__attribute__((visibility("default"))) time_t time(time_t* now) noexcept {
    timespec t{};
    clock_gettime(CLOCK_REALTIME, &t);
    if (now != nullptr) *now = t.tv_sec;
    return t.tv_sec;
}

}  // extern "C"
