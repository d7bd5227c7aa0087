// The POSIX serial port back end: the control lines through modem ioctls.
//
// The port name "COM1:" stands for the device path fixed at build time
// (QUILLET_COM1_DEVICE); any other name is a device path. The port's lock
// file goes into the lock directory fixed at build time (QUILLET_LOCK_DIR).
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>

#include "link/console_posix.h"
#include "link/interrupt.h"
#include "link/platform.h"
#include "link/port_claim_posix.h"

#ifndef QUILLET_COM1_DEVICE
#define QUILLET_COM1_DEVICE "/dev/ttyS0"
#endif
#ifndef QUILLET_LOCK_DIR
#define QUILLET_LOCK_DIR "/var/lock"
#endif

namespace platform {

namespace {

int fd = -1;

// How long before a sleep's deadline the clock is watched instead: a little
// more than the wake-up latency of a typical kernel.
constexpr std::uint64_t kSpinNs = 300000;

Result failure() {
    return Result{errno != 0 ? errno : EIO};
}

Result outcome(int returned) {
    return returned == 0 ? Result{} : failure();
}

// 0 where the device numbered device is no console; EPERM where it is one
// (console/console_posix.h), or the errno that kept the check from looking.
int consoleRefusal(dev_t device) {
    console::Check check = console::check(device);
    if (check.verdict == console::Verdict::Unknown) return check.error;
    return check.verdict == console::Verdict::Free ? 0 : EPERM;
}

// What can be known of path without opening it, as an open raises DTR and
// RTS: that it exists, is a character device this user may read and write,
// and is no console under any name. Returns 0, or the errno that refuses it.
int refusalBeforeOpen(const char* path) {
    struct stat st {};
    if (::stat(path, &st) != 0) return errno;
    if (::access(path, R_OK | W_OK) != 0) return errno;
    if (!S_ISCHR(st.st_mode)) return ENOTTY;
    return consoleRefusal(st.st_rdev);
}

// Makes the open port ours alone. Returns 0, or the errno that refuses it:
// EBUSY when another program has it, EPERM for a system console.
int claimPort(int candidate) {
    struct stat st {};
    if (::fstat(candidate, &st) != 0) return errno;
    if (!S_ISCHR(st.st_mode)) return ENOTTY;
    // The device the terminal really is, where a name stands for another
    // (/dev/console for the console's UART): the kernel knows it.
    unsigned int real = 0;
    int refusal = consoleRefusal(st.st_rdev);
    if (refusal == 0 && ::ioctl(candidate, TIOCGDEV, &real) == 0) refusal = consoleRefusal(real);
    if (refusal != 0) return refusal;
    // Another program's exclusive use, which root's open passes, is left as it is.
    int exclusive = 0;
    if (::ioctl(candidate, TIOCGEXCL, &exclusive) == 0 && exclusive != 0) return EBUSY;
    if (::ioctl(candidate, TIOCEXCL) != 0) return errno;
    // Exclusive before the look, so that no program opens the port after it.
    int error = 0;
    pid_t holder = claim::heldBy(st.st_rdev);
    if (holder < 0) {
        error = errno;
    } else if (holder != 0) {
        error = EBUSY;
    } else if (::flock(candidate, LOCK_EX | LOCK_NB) != 0) {
        error = errno == EWOULDBLOCK ? EBUSY : errno;
    } else {
        int flags = ::fcntl(candidate, F_GETFL);
        if (flags == -1 || ::fcntl(candidate, F_SETFL, flags & ~O_NONBLOCK) != 0) error = errno;
    }
    if (error != 0) ::ioctl(candidate, TIOCNXCL);
    return error;
}

std::uint64_t monotonicNs() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000000000u +
           static_cast<std::uint64_t>(now.tv_nsec);
}

// Sleeps ns, or less where a signal asks the run to end meanwhile.
bool sleepNs(std::uint64_t ns) {
    timespec left{static_cast<time_t>(ns / 1000000000u), static_cast<long>(ns % 1000000000u)};
    while (::nanosleep(&left, &left) != 0) {
        if (errno != EINTR || interrupt::requested() != 0) return false;
    }
    return true;
}

}  // namespace

Result open(const char* name) {
    const char* path = std::strcmp(name, "COM1:") == 0 ? QUILLET_COM1_DEVICE : name;
    int refusal = refusalBeforeOpen(path);
    if (refusal != 0) return Result{refusal};
    if (!claim::take(QUILLET_LOCK_DIR, path)) return failure();
    // Non-blocking so that a port waiting for carrier does not hang the open.
    int candidate = ::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK);
    int error = candidate < 0 ? errno : claimPort(candidate);
    if (error == 0) {
        fd = candidate;
        return Result{};
    }
    if (candidate >= 0) ::close(candidate);
    claim::release();
    return Result{error};
}

Result set(PortLine line, bool level) {
    int bits = line == PortLine::Rts ? TIOCM_RTS : TIOCM_DTR;
    if (line == PortLine::Dsr) return Result{EINVAL};
    if (line == PortLine::TxBreak) return outcome(::ioctl(fd, level ? TIOCSBRK : TIOCCBRK));
    return outcome(::ioctl(fd, level ? TIOCMBIS : TIOCMBIC, &bits));
}

Result get(PortLine, bool& level) {
    int status = 0;
    Result result = outcome(::ioctl(fd, TIOCMGET, &status));
    level = result && (status & TIOCM_DSR) != 0;
    return result;
}

// Leaves the port as it was found: not exclusive, not locked.
void close() {
    if (fd >= 0) {
        ::ioctl(fd, TIOCNXCL);
        ::close(fd);
    }
    fd = -1;
    claim::release();
}

const char* describe(int error) {
    return std::strerror(error);
}

std::uint64_t nowUs() {
    return monotonicNs() / 1000u;
}

void sleepUs(std::uint64_t us) {
    // The kernel wakes a sleeper some way past its time. Sleep until shortly
    // before the deadline, then watch the clock; a clock that stands still
    // (virtual time) gets the rest as a plain sleep.
    std::uint64_t now = monotonicNs();
    std::uint64_t deadline = now + us * 1000u;
    if (deadline - now > kSpinNs && !sleepNs(deadline - now - kSpinNs)) return;
    std::uint64_t last = 0;
    while ((now = monotonicNs()) < deadline) {
        if (now == last) {
            sleepNs(deadline - now);
            break;
        }
        last = now;
    }
}

}  // namespace platform
