#include "link/port_claim_posix.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "link/platform.h"

namespace claim {

namespace {

// The longest lock file read whole: "%10d\n" is 11 bytes, and some programs
// pad the number further. A longer file names no process.
constexpr std::size_t kMaxLockBytes = 64;
// How long a lock file that names no process is given to be written in full:
// a program that writes its PID after creating the file does so at once.
constexpr std::uint64_t kSecondLookUs = 100000;
// Rounds of look, move aside and place before a busy lock directory refuses.
constexpr int kRounds = 5;

// The lock directory while a lock file in it is ours, and the file's name. A
// signal handler reads them (release()).
volatile std::sig_atomic_t lockDir = -1;
char lockName[NAME_MAX + 1];

// A lock file as read, kept open so that no other file can get its inode
// number while it is compared.
struct Seen {
    LockFile lock;
    int fd;
    int error;  // Unreadable: why the open or the read failed
    char text[kMaxLockBytes + 1];
    ssize_t size;
};

bool outOfDescriptors() {
    return errno == EMFILE || errno == ENFILE;
}

bool alive(pid_t pid) {
    return pid != ::getpid() && (::kill(pid, 0) == 0 || errno == EPERM);
}

// The first field of text: blanks, then a positive decimal PID, ended by
// white space or the end. By hand: a signal handler parses it too.
LockFile parse(const char* text, ssize_t size) {
    if (size == 0) return {LockState::Empty, 0};
    ssize_t at = 0;
    while (at < size && (text[at] == ' ' || text[at] == '\t'))
        ++at;
    long pid = 0;
    ssize_t digits = 0;
    for (; at < size && text[at] >= '0' && text[at] <= '9' && pid <= INT_MAX; ++at, ++digits)
        pid = pid * 10 + (text[at] - '0');
    bool ended = at == size || text[at] == '\n' || text[at] == ' ' || text[at] == '\t';
    if (size > static_cast<ssize_t>(kMaxLockBytes) || digits == 0 || !ended || pid == 0 ||
        pid > INT_MAX) {
        return {LockState::NoNumber, 0};
    }
    pid_t owner = static_cast<pid_t>(pid);
    return {alive(owner) ? LockState::Live : LockState::Stale, owner};
}

// Reads the lock file name in dir into seen, whole. Async-signal-safe.
void readLock(int dir, const char* name, Seen& seen) {
    seen.size = 0;
    seen.fd = ::openat(dir, name, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    seen.error = errno;
    if (seen.fd < 0) {
        seen.lock = {errno == ENOENT ? LockState::None : LockState::Unreadable, 0};
        return;
    }
    seen.size = ::read(seen.fd, seen.text, sizeof seen.text);
    seen.error = errno;
    seen.lock = seen.size < 0 ? LockFile{LockState::Unreadable, 0} : parse(seen.text, seen.size);
}

void forget(Seen& seen) {
    if (seen.fd >= 0) ::close(seen.fd);
    seen.fd = -1;
}

bool namesNoProcess(LockState state) {
    return state == LockState::Empty || state == LockState::NoNumber;
}

// Reads the lock file; with again, one that names no process once more after a wait.
void look(int dir, const char* name, Seen& seen, bool again) {
    readLock(dir, name, seen);
    if (!again || !namesNoProcess(seen.lock.state)) return;
    forget(seen);
    platform::sleepUs(kSecondLookUs);
    readLock(dir, name, seen);
}

// Moves the stale lock file that seen holds out of the way under a name of
// this process's own, and removes it if it is still that file with that text.
// Otherwise another run's lock took the name after seen was read: it is put
// back, and EAGAIN sends the caller round again. (Should a third run have
// placed a lock while it was aside, that one stays.) Returns 0 once the
// stale file is gone, or the errno of a failure.
int removeStale(int dir, const char* name, const Seen& seen) {
    char aside[32];
    std::snprintf(aside, sizeof aside, "LSTALE.%d", static_cast<int>(::getpid()));
    if (::renameat(dir, name, dir, aside) != 0) return errno == ENOENT ? 0 : errno;
    Seen moved{};
    readLock(dir, aside, moved);
    struct stat was {};
    struct stat now {};
    bool same = moved.fd >= 0 && ::fstat(seen.fd, &was) == 0 && ::fstat(moved.fd, &now) == 0 &&
                was.st_dev == now.st_dev && was.st_ino == now.st_ino && moved.size == seen.size &&
                std::memcmp(moved.text, seen.text, static_cast<std::size_t>(seen.size)) == 0;
    forget(moved);
    // Putting back fails with EEXIST only where a third run's lock has the
    // name; any other failure leaves the file aside rather than lose it.
    int putBack = 0;
    if (!same && ::linkat(dir, aside, dir, name, 0) != 0 && errno != EEXIST) putBack = errno;
    if (putBack == 0) ::unlinkat(dir, aside, 0);
    return same ? 0 : putBack != 0 ? putBack : EAGAIN;
}

// Names the lock file of path into name: false when no file can have it.
bool lockNameOf(const char* path, char (&name)[NAME_MAX + 1]) {
    char resolved[PATH_MAX];
    const char* device = ::realpath(path, resolved) != nullptr ? resolved : path;
    const char* slash = std::strrchr(device, '/');
    int length = std::snprintf(name, sizeof name, "LCK..%s", slash ? slash + 1 : device);
    return length < static_cast<int>(sizeof name);
}

// Writes this process's lock file as name in dir: under a name of its own
// first, then linked into place, so that nobody reads it half written and
// of two processes only one gets it. Returns 0, or the errno of the failure.
int place(int dir, const char* name) {
    char temporary[32];
    std::snprintf(temporary, sizeof temporary, "LTMP.%d", static_cast<int>(::getpid()));
    ::unlinkat(dir, temporary, 0);
    int file = ::openat(dir, temporary, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (file < 0) return errno;
    char text[16];
    int length = std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(::getpid()));
    // Readable by everyone whatever the umask, as other programs must read it.
    bool written = ::fchmod(file, 0644) == 0 && ::write(file, text, length) == length;
    int error = written ? 0 : errno;
    ::close(file);
    if (written && ::linkat(dir, temporary, dir, name, 0) != 0) error = errno;
    ::unlinkat(dir, temporary, 0);
    return error;
}

}  // namespace

bool take(const char* lockDirPath, const char* path) {
    bool named = lockNameOf(path, lockName);
    int dir = ::open(lockDirPath, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    // Out of descriptors, the lock cannot be looked at: the port is refused.
    if (dir < 0 && (errno == EMFILE || errno == ENFILE)) return false;
    // No file can have a name that long, and no lock can be placed without the directory.
    if (!named || dir < 0) {
        if (dir >= 0) ::close(dir);
        return true;
    }
    // A lock file that appears between the look and the link, or a stale one
    // replaced meanwhile, sends us round again.
    bool busy = true;
    bool waited = false;
    for (int round = 0; busy && round < kRounds; ++round) {
        Seen seen{};
        look(dir, lockName, seen, !waited);
        waited = waited || namesNoProcess(seen.lock.state);
        LockState state = seen.lock.state;
        // Out of descriptors, the lock cannot be looked at: the port is refused.
        if (state == LockState::Unreadable && (seen.error == EMFILE || seen.error == ENFILE)) {
            ::close(dir);
            errno = seen.error;
            return false;
        }
        int error = state == LockState::Stale ? removeStale(dir, lockName, seen) : 0;
        forget(seen);
        if (state != LockState::None && state != LockState::Stale) break;
        if (error == 0) error = place(dir, lockName);
        if (error == 0) {
            lockDir = dir;
            return true;
        }
        // A directory or a stale lock file that we may not change leaves the port unlocked.
        busy = error == EEXIST || error == EAGAIN;
    }
    ::close(dir);
    if (busy) errno = EBUSY;
    return !busy;
}

void release() {
    int dir = lockDir;
    if (dir < 0) return;
    Seen seen{};
    readLock(dir, lockName, seen);
    forget(seen);
    if (seen.lock.state == LockState::Stale && seen.lock.pid == ::getpid()) {
        ::unlinkat(dir, lockName, 0);
    }
    lockDir = -1;
    ::close(dir);
}

LockFile examine(const char* lockDirPath, const char* path, bool again) {
    char name[NAME_MAX + 1];
    int dir = lockNameOf(path, name) ? ::open(lockDirPath, O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1;
    if (dir < 0) return {LockState::None, 0};
    Seen seen{};
    look(dir, name, seen, again);
    forget(seen);
    ::close(dir);
    return seen.lock;
}

bool lockFilePath(const char* lockDirPath, const char* path, char* file, std::size_t size) {
    char name[NAME_MAX + 1];
    if (!lockNameOf(path, name)) return false;
    int length = std::snprintf(file, size, "%s/%s", lockDirPath, name);
    return length > 0 && static_cast<std::size_t>(length) < size;
}

const char* problemOf(LockState state) {
    if (state == LockState::Empty) return "it is empty";
    if (state == LockState::NoNumber) return "it holds no process number";
    return nullptr;
}

pid_t heldBy(dev_t device) {
    DIR* processes = ::opendir("/proc");
    if (processes == nullptr) return outOfDescriptors() ? -1 : 0;
    char self[16];
    std::snprintf(self, sizeof self, "%d", static_cast<int>(::getpid()));
    pid_t holder = 0;
    for (dirent* process; holder == 0 && (process = ::readdir(processes)) != nullptr;) {
        const char* name = process->d_name;
        if (name[0] < '0' || name[0] > '9' || std::strcmp(name, self) == 0) continue;
        char path[NAME_MAX + 8];
        std::snprintf(path, sizeof path, "%s/fd", name);
        // Gone meanwhile, or another user's process that we may not look into.
        int fds = ::openat(::dirfd(processes), path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        DIR* list = fds < 0 ? nullptr : ::fdopendir(fds);
        if (list == nullptr) {
            if (fds >= 0) ::close(fds);
            if (outOfDescriptors()) holder = -1;
            continue;
        }
        // Each entry is a link to what the descriptor has open: its device
        // number shows the port under whatever name it was opened.
        for (dirent* entry; holder == 0 && (entry = ::readdir(list)) != nullptr;) {
            struct stat st {};
            if (entry->d_name[0] != '.' && ::fstatat(fds, entry->d_name, &st, 0) == 0 &&
                S_ISCHR(st.st_mode) && st.st_rdev == device) {
                holder = static_cast<pid_t>(std::strtol(name, nullptr, 10));
            }
        }
        ::closedir(list);
    }
    ::closedir(processes);
    return holder;
}

}  // namespace claim
