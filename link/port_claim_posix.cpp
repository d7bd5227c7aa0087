#include "link/port_claim_posix.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace claim {

namespace {

// The lock directory while a lock file in it is ours, and the file's name.
int lockDir = -1;
char lockName[NAME_MAX + 1];

// The PID that the lock file name in dir holds; 0 when it holds none, -1
// when there is no such file.
pid_t ownerOf(int dir, const char* name) {
    int file = ::openat(dir, name, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (file < 0) return errno == ENOENT ? -1 : 0;
    char text[32] = {};
    ssize_t size = ::read(file, text, sizeof text - 1);
    ::close(file);
    char* end = nullptr;
    long pid = size > 0 ? std::strtol(text, &end, 10) : 0;
    return pid > 0 && pid <= INT_MAX && (*end == '\n' || *end == '\0') ? static_cast<pid_t>(pid)
                                                                       : 0;
}

bool outOfDescriptors() {
    return errno == EMFILE || errno == ENFILE;
}

bool alive(pid_t pid) {
    return pid != ::getpid() && (::kill(pid, 0) == 0 || errno == EPERM);
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
    // A lock file that appears between the look and the link sends us round again.
    bool busy = true;
    for (int attempt = 0; busy && attempt < 3; ++attempt) {
        pid_t owner = ownerOf(dir, lockName);
        if (owner == 0 && outOfDescriptors()) {
            int error = errno;
            ::close(dir);
            errno = error;
            return false;
        }
        if (owner == 0 || (owner > 0 && alive(owner))) break;
        bool removed = owner < 0 || ::unlinkat(dir, lockName, 0) == 0 || errno == ENOENT;
        int error = removed ? place(dir, lockName) : errno;
        if (error == 0) {
            lockDir = dir;
            return true;
        }
        // A directory or a stale lock file that we may not change leaves the port unlocked.
        busy = error == EEXIST;
    }
    ::close(dir);
    if (busy) errno = EBUSY;
    return !busy;
}

void release() {
    if (lockDir < 0) return;
    if (ownerOf(lockDir, lockName) == ::getpid()) ::unlinkat(lockDir, lockName, 0);
    ::close(lockDir);
    lockDir = -1;
}

pid_t lockedBy(const char* lockDirPath, const char* path) {
    char name[NAME_MAX + 1];
    int dir = lockNameOf(path, name) ? ::open(lockDirPath, O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1;
    if (dir < 0) return 0;
    pid_t owner = ownerOf(dir, name);
    ::close(dir);
    return owner > 0 && alive(owner) ? owner : 0;
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
