#include "vtarget/served_port.h"

#include <fcntl.h>
#include <linux/major.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace vtarget {

namespace {

// The master of an adopted descriptor: it is in another process.
constexpr int kNoMaster = -1;

bool isPtySlave(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return false;
    unsigned kind = major(st.st_rdev);
    return kind >= UNIX98_PTY_SLAVE_MAJOR && kind < UNIX98_PTY_SLAVE_MAJOR + UNIX98_PTY_MAJOR_COUNT;
}

// The modem bits that stand for the adapter's lines.
unsigned linesOf(int bits) {
    return ((bits & TIOCM_RTS) != 0 ? lineBit(Line::Rts) : 0) |
           ((bits & TIOCM_DTR) != 0 ? lineBit(Line::Dtr) : 0);
}

int bitsOf(unsigned lines) {
    return ((lines & lineBit(Line::Rts)) != 0 ? TIOCM_RTS : 0) |
           ((lines & lineBit(Line::Dtr)) != 0 ? TIOCM_DTR : 0) |
           ((lines & lineBit(Line::Dsr)) != 0 ? TIOCM_DSR : 0);
}

}  // namespace

dev_t virtualDevice() {
    return makedev(240, 0);
}

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

ServedPort::ServedPort(Adapter& adapter, const PortOptions& options, RealCalls real)
    : adapter_(adapter), options_(options), real_(real) {
    for (const std::string& path : options_.paths) {
        struct stat st {};
        if (::stat(path.c_str(), &st) == 0 && S_ISCHR(st.st_mode)) devices_.push_back(st.st_rdev);
    }
}

bool ServedPort::serves(int dirfd, const char* path) const {
    if (path == nullptr) return false;
    for (const std::string& served : options_.paths) {
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

int ServedPort::stat(const char* path, struct stat* st) const {
    if (options_.noPort) {
        errno = ENOENT;
        return -1;
    }
    auto named = options_.numbers.find(path);
    *st = {};
    st->st_mode = S_IFCHR | 0660;
    st->st_nlink = 1;
    st->st_uid = ::getuid();
    st->st_gid = ::getgid();
    st->st_rdev = named != options_.numbers.end() ? named->second : virtualDevice();
    return 0;
}

int ServedPort::open(int flags) {
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
        fd = real_.open(name, kept | O_NOCTTY);
    }
    if (fd < 0) {
        int error = errno;
        real_.close(master);
        errno = error;
        return -1;
    }
    // The first descriptor of a closed port powers the chip up.
    if (masters_.empty()) adapter_.powerUp();
    masters_[fd] = master;
    used_ = true;
    ++opens_;
    return fd;
}

bool ServedPort::adopts(int fd, unsigned long request) {
    if (!options_.servePtys || !isLineRequest(request) || !isPtySlave(fd)) return false;
    masters_[fd] = kNoMaster;
    used_ = true;
    return true;
}

int ServedPort::close(int fd) {
    auto served = masters_.find(fd);
    if (served != masters_.end()) {
        if (served->second != kNoMaster) real_.close(served->second);
        masters_.erase(served);
    }
    return real_.close(fd);
}

int ServedPort::ioctl(int fd, unsigned long request, void* arg) {
    if (isLineRequest(request)) return lineCall(request, static_cast<int*>(arg));
    switch (request) {
        case TIOCGDEV:
            if (arg == nullptr) {
                errno = EFAULT;
                return -1;
            }
            // The kernel's encoding of a device number in 32 bits (new_encode_dev).
            *static_cast<unsigned int*>(arg) = static_cast<unsigned int>(options_.realDevice);
            return 0;
        case TIOCEXCL:
        case TIOCNXCL:
        case TIOCGEXCL:
        case TCGETS:
        case TCSETS:
        case TCSETSW:
        case TCSETSF:
        case TCFLSH:
        case TCXONC:
        case TCSBRK:
            return real_.ioctl(fd, request, arg);
        default: {
            char text[64];
            std::snprintf(text, sizeof text, "unsupported ioctl request 0x%lX", request);
            adapter_.refuse(text);
            errno = ENOTTY;
            return -1;
        }
    }
}

int ServedPort::lineCall(unsigned long request, int* bits) {
    bool needsBits = request != TIOCSBRK && request != TIOCCBRK;
    if (needsBits && bits == nullptr) {
        errno = EFAULT;
        return -1;
    }
    Result done;
    unsigned levels = 0;
    switch (request) {
        case TIOCSBRK:
        case TIOCCBRK:
            done = adapter_.setBreak(request == TIOCSBRK);
            break;
        case TIOCMGET:
            done = adapter_.read(levels);
            if (done) *bits = bitsOf(levels);
            break;
        case TIOCMSET:
            done = adapter_.drive(lineBit(Line::Rts) | lineBit(Line::Dtr), linesOf(*bits));
            break;
        default:
            done = adapter_.drive(linesOf(*bits), request == TIOCMBIS ? linesOf(*bits) : 0);
            break;
    }
    if (!done) {
        errno = done.error;
        return -1;
    }
    return 0;
}

}  // namespace vtarget
