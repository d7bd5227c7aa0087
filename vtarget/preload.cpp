// The virtual chip behind a serial device path, for a whole program: the
// C library calls that the preload library stands in front of.
//
// Loaded with LD_PRELOAD, the library answers an open of the build's COM1
// device (or of a path given with port=) with the served port (see
// served_port.h), wired to the virtual chip through the virtual adapter
// (adapter.h). An open of the build's lock directory opens "lock" in the
// working directory instead. With the ft232r key, libftdi's opens find a
// virtual FT232R on the same adapter (preload_ftdi.cpp, ft232r.h).
//
// Wherever it is loaded, the library also owns the process's time: unless
// VTARGET has realtime, nanosleep, clock_nanosleep, usleep and sleep return at
// once and advance the chip's clock, and clock_gettime, gettimeofday and time
// read the virtual clock (virtual_clock.h), so a run is fast and the same
// every time.
//
// Settings come from VTARGET (see preload_config.h); a bad one ends the
// process with exit code 125 before main runs, and help lists the keys.

// The definitions of open() below must not meet the fortified inline wrappers.
#undef _FORTIFY_SOURCE

#include "vtarget/preload.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>

#include "vtarget/adapter.h"
#include "vtarget/chip.h"
#include "vtarget/ft232r.h"
#include "vtarget/preload_config.h"
#include "vtarget/report.h"
#include "vtarget/served_port.h"
#include "vtarget/tpi_chip.h"
#include "vtarget/virtual_clock.h"

#ifndef QUILLET_COM1_DEVICE
#define QUILLET_COM1_DEVICE "/dev/ttyS0"
#endif
#ifndef QUILLET_LOCK_DIR
#define QUILLET_LOCK_DIR "/var/lock"
#endif

namespace vtarget {

namespace {

constexpr std::uint64_t kNsPerUs = 1000;
constexpr std::uint64_t kNsPerS = 1000000000;

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
    int (*stat)(const char*, struct stat*);
    int (*stat64)(const char*, struct stat64*);
    decltype(::access)* access;
    decltype(::unlinkat)* unlinkat;
    decltype(::renameat)* renameat;
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

VirtualClock::Epoch epochOf(clockid_t clock) {
    bool wall = clock == CLOCK_REALTIME || clock == CLOCK_REALTIME_COARSE || clock == CLOCK_TAI;
    return wall ? VirtualClock::Epoch::Wall : VirtualClock::Epoch::Uptime;
}

std::uint64_t monotonicNs() {
    timespec now{};
    realClockGettime(CLOCK_MONOTONIC, &now);
    return nsOf(now);
}

Config chipConfig(const PreloadOptions& options) {
    Config config = options.chip;
    config.keepWords = !options.traceOut.empty();
    // In real time a pulse lasts as long as the calls between its edges
    // really take, on a pseudo-terminal far less than on a port: it tells
    // nothing of the program's pulses on hardware.
    if (options.realtime) {
        config.sckMinNs = 0;
        config.sckMinFixed = true;
    }
    return config;
}

AdapterConfig adapterConfig(const PreloadOptions& options) {
    AdapterConfig config = options.adapter;
    config.trace = !options.traceOut.empty();
    // In real time a call takes what it really takes.
    if (options.realtime) config.callNs = config.statusNs = 0;
    return config;
}

PortOptions portOptions(const PreloadOptions& options) {
    PortOptions port;
    port.paths.push_back(QUILLET_COM1_DEVICE);
    port.paths.insert(port.paths.end(), options.ports.begin(), options.ports.end());
    for (const auto& [path, number] : options.portNumbers)
        port.numbers[path] = makedev(number.majorNumber, number.minorNumber);
    const DeviceNumber& real = options.realDevice;
    if (real.majorNumber != 0 || real.minorNumber != 0)
        port.realDevice = makedev(real.majorNumber, real.minorNumber);
    port.noPort = options.noPort;
    port.servePtys = options.servePtys;
    return port;
}

}  // namespace

// Everything the library keeps for the process: one chip behind one adapter
// (the TPI chip with the tpi key, else the serial one), reached through the
// served port and, with the ft232r key, an FT232R.
class Library {
  public:
    explicit Library(const PreloadOptions& options)
        : options_(options),
          chip_(chipConfig(options)),
          tpi_(options.tpi ? std::make_unique<TpiChip>(options.tpiChip) : nullptr),
          adapter_(tpi_ ? Target(*tpi_) : Target(chip_), adapterConfig(options)),
          clock_(adapter_),
          port_(adapter_, portOptions(options), {realOpen, realClose, realIoctl}),
          owner_(::getpid()),
          startNs_(options.realtime ? monotonicNs() : 0) {
        Ft232rConfig ft232r = options.ft232rConfig;
        ft232r.usbTakesTime = !options.realtime;
        if (options.ft232r) ft232r_ = std::make_unique<Ft232r>(adapter_, ft232r);
    }

    std::recursive_mutex& mutex() { return mutex_; }
    bool realtime() const { return options_.realtime; }
    std::uint32_t lockDelayMs() const { return options_.lockDelayMs; }
    ServedPort& port() { return port_; }
    Adapter& adapter() { return adapter_; }
    VirtualClock& clock() { return clock_; }
    Ft232r* ft232r() { return ft232r_.get(); }

    // Brings the chip up to the monotonic clock (real time only).
    void catchUp() { clock_.catchUp(monotonicNs() - startNs_); }

    int ioctl(int fd, unsigned long request, void* arg) {
        if (options_.realtime && isLineRequest(request)) catchUp();
        return port_.ioctl(fd, request, arg);
    }

    int close(int fd) {
        int result = port_.close(fd);
        writeOutputs(false);
        return result;
    }

    // Writes state-out and trace-out. At exit, a process that never used the
    // chip leaves files that are already there alone: it is a wrapper such as
    // strace or time that got the same environment as the program it ran.
    void writeOutputs(bool atExit) {
        // A forked child shares the settings but not the chip's story.
        if (::getpid() != owner_) return;
        if (worthWriting(options_.stateOut, atExit)) {
            std::uint64_t roundTrips = ft232r_ ? ft232r_->roundTrips() : 0;
            std::ofstream(options_.stateOut, std::ios::trunc)
                << (tpi_ ? tpiStateJson(*tpi_, adapter_, roundTrips, port_.opens())
                         : stateJson(chip_, adapter_, roundTrips, port_.opens()));
        }
        if (worthWriting(options_.traceOut, atExit)) {
            std::ofstream out(options_.traceOut, std::ios::trunc);
            writeTrace(out, adapter_);
        }
    }

  private:
    bool worthWriting(const std::string& path, bool atExit) const {
        bool used = port_.used() || adapter_.activity() != 0;
        return !path.empty() && (!atExit || used || ::access(path.c_str(), F_OK) != 0);
    }

    const PreloadOptions options_;
    Chip chip_;
    std::unique_ptr<TpiChip> tpi_;
    Adapter adapter_;
    VirtualClock clock_;
    ServedPort port_;
    std::unique_ptr<Ft232r> ft232r_;
    const pid_t owner_;
    const std::uint64_t startNs_;  // the monotonic clock at load (real time)
    std::recursive_mutex mutex_;
};

namespace {

// Lowers the open-file limit so that n more descriptors can be opened: a
// shell's ulimit -n would starve the dynamic loader before the library loads.
// A new descriptor takes the lowest free number below the limit.
void leaveDescriptors(int n) {
    int fd = 0;
    for (int free = 0; free < n; ++fd) {
        if (::fcntl(fd, F_GETFD) == -1) ++free;
    }
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = static_cast<rlim_t>(fd);
    ::setrlimit(RLIMIT_NOFILE, &limit);
}

Library* create() {
    PreloadOptions options;
    std::string error = parsePreloadOptions(std::getenv("VTARGET"), options);
    // Not exit(): no handler of a half-loaded process may run.
    if (!error.empty()) {
        std::fprintf(stderr, "vtarget: %s\n", error.c_str());
        ::_exit(125);
    }
    if (options.help) {
        std::fputs(preloadHelp().c_str(), stdout);
        std::fflush(stdout);
        ::_exit(0);
    }
    Library* made = new Library(options);
    if (options.fdsLeft >= 0) leaveDescriptors(options.fdsLeft);
    return made;
}

std::atomic<Library*> instance{nullptr};
// The lock directory that "lock" stands in for, once opened: its device and inode.
std::atomic<dev_t> lockDirDevice{0};
std::atomic<ino_t> lockDirInode{0};
std::atomic<bool> starting{false};

// The library's state, made on first use (at the latest when the library
// loads). Null while it is being made: the calls that the runtime makes
// meanwhile, such as a sanitizer's allocator reading the clock, go straight on.
Library* library() {
    Library* made = instance.load(std::memory_order_acquire);
    if (made != nullptr || starting.exchange(true)) return made;
    resolveReal();
    made = create();
    instance.store(made, std::memory_order_release);
    return made;
}

__attribute__((constructor)) void load() {
    library();
}

__attribute__((destructor)) void unload() {
    Library* made = library();
    if (made == nullptr) return;
    std::lock_guard<std::recursive_mutex> lock(made->mutex());
    made->writeOutputs(true);
}

int serveOrOpen(int dirfd, const char* path, int flags, mode_t mode,
                int (*passOn)(int, const char*, int, mode_t)) {
    // The build's lock directory is "lock" in the working directory: no
    // process under the library takes or removes the machine's lock files.
    if (path != nullptr && std::strcmp(path, QUILLET_LOCK_DIR) == 0) {
        int fd = passOn(AT_FDCWD, "lock", flags, mode);
        struct stat st {};
        if (fd >= 0 && ::fstat(fd, &st) == 0) {
            lockDirDevice = st.st_dev;
            lockDirInode = st.st_ino;
        }
        return fd;
    }
    Library* made = library();
    if (made == nullptr) {
        // No open of the device may reach it, even before the library is ready.
        if (path != nullptr && std::strcmp(path, QUILLET_COM1_DEVICE) == 0) {
            errno = EAGAIN;
            return -1;
        }
        return passOn(dirfd, path, flags, mode);
    }
    if (!made->port().serves(dirfd, path)) return passOn(dirfd, path, flags, mode);
    std::lock_guard<std::recursive_mutex> lock(made->mutex());
    return made->port().open(flags);
}

// A served path's stat: the device it stands for (served_port.h).
template <typename Stat, typename RealStat>
int statOrServe(const char* path, Stat* st, RealStat realStat) {
    Library* made = library();
    if (made == nullptr || !made->port().serves(AT_FDCWD, path)) return realStat(path, st);
    std::lock_guard<std::recursive_mutex> lock(made->mutex());
    struct stat served {};
    if (made->port().stat(path, &served) != 0) return -1;
    *st = {};
    st->st_mode = served.st_mode;
    st->st_nlink = served.st_nlink;
    st->st_uid = served.st_uid;
    st->st_gid = served.st_gid;
    st->st_rdev = served.st_rdev;
    return 0;
}

// With lock-delay-ms, waits that long in real time where name, relative to
// dirfd, is a lock file (LCK..*) in the lock directory.
void delayLockChange(int dirfd, const char* name) {
    Library* made = library();
    if (made == nullptr || made->lockDelayMs() == 0 || name == nullptr ||
        std::strncmp(name, "LCK..", 5) != 0) {
        return;
    }
    struct stat st {};
    if (::fstat(dirfd, &st) != 0 || st.st_dev != lockDirDevice || st.st_ino != lockDirInode) return;
    std::uint64_t ns = std::uint64_t{made->lockDelayMs()} * 1000000u;
    timespec wait = timespecOf(ns);
    while (realNanosleep(&wait, &wait) != 0 && errno == EINTR) {
    }
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
    Library* made = library();
    std::uint64_t left = 0;
    if (made == nullptr) return realSleep(left);
    if (!made->realtime()) {
        std::lock_guard<std::recursive_mutex> lock(made->mutex());
        made->adapter().sleep(asked);
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
        made->adapter().sleep(asked > left ? asked - left : 0);
    }
    errno = error;
    return result;
}

}  // namespace

FtdiAccess::FtdiAccess() : library_(library()) {
    if (library_ == nullptr) return;
    lock_ = std::unique_lock<std::recursive_mutex>(library_->mutex());
    if (library_->realtime()) library_->catchUp();
    device_ = library_->ft232r();
}

void FtdiAccess::closed() {
    if (library_ != nullptr) library_->writeOutputs(false);
}

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

__attribute__((visibility("default"))) int stat(const char* path, struct stat* st) noexcept {
    return vtarget::statOrServe(path, st, vtarget::next(vtarget::real.stat, "stat"));
}

__attribute__((visibility("default"))) int stat64(const char* path, struct stat64* st) noexcept {
    return vtarget::statOrServe(path, st, vtarget::next(vtarget::real.stat64, "stat64"));
}

__attribute__((visibility("default"))) int access(const char* path, int mode) noexcept {
    struct stat st {};
    vtarget::Library* library = vtarget::library();
    if (library == nullptr || !library->port().serves(AT_FDCWD, path)) {
        return vtarget::next(vtarget::real.access, "access")(path, mode);
    }
    return stat(path, &st);
}

__attribute__((visibility("default"))) int unlinkat(int dirfd, const char* path, int flags) {
    vtarget::delayLockChange(dirfd, path);
    return vtarget::next(vtarget::real.unlinkat, "unlinkat")(dirfd, path, flags);
}

__attribute__((visibility("default"))) int renameat(int olddirfd, const char* oldpath, int newdirfd,
                                                    const char* newpath) {
    vtarget::delayLockChange(olddirfd, oldpath);
    return vtarget::next(vtarget::real.renameat, "renameat")(olddirfd, oldpath, newdirfd, newpath);
}

__attribute__((visibility("default"))) int close(int fd) {
    vtarget::Library* library = vtarget::library();
    if (library == nullptr) return vtarget::realClose(fd);
    std::lock_guard<std::recursive_mutex> lock(library->mutex());
    return library->port().isServed(fd) ? library->close(fd) : vtarget::realClose(fd);
}

__attribute__((visibility("default"))) int ioctl(int fd, unsigned long request, ...) noexcept {
    va_list args;
    va_start(args, request);
    void* arg = va_arg(args, void*);
    va_end(args);
    vtarget::Library* library = vtarget::library();
    if (library == nullptr) return vtarget::realIoctl(fd, request, arg);
    std::lock_guard<std::recursive_mutex> lock(library->mutex());
    vtarget::ServedPort& port = library->port();
    return port.isServed(fd) || port.adopts(fd, request) ? library->ioctl(fd, request, arg)
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
    vtarget::Library* library = vtarget::library();
    if (absolute) {
        // The library's own look at the clock: no read by the program.
        std::uint64_t now = 0;
        if (library == nullptr || library->realtime()) {
            timespec t{};
            vtarget::realClockGettime(clock, &t);
            now = vtarget::nsOf(t);
        } else {
            std::lock_guard<std::recursive_mutex> lock(library->mutex());
            now = library->clock().peek(vtarget::epochOf(clock));
        }
        asked = asked > now ? asked - now : 0;
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
    vtarget::Library* library = vtarget::library();
    if (library == nullptr || library->realtime() || !vtarget::isVirtualClock(clock)) {
        return vtarget::realClockGettime(clock, now);
    }
    std::lock_guard<std::recursive_mutex> lock(library->mutex());
    *now = vtarget::timespecOf(library->clock().read(vtarget::epochOf(clock)));
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
