// The output file on POSIX systems: lstat and stat to see what a name stands
// for, open with O_EXCL for the temporary file, fsync, and rename.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "image/output.h"

namespace image::output {

namespace {

constexpr std::size_t kMaxPathBytes = 4096;
// A stale temporary file of a process long gone may have the same name.
constexpr unsigned kAttempts = 100;

char target[kMaxPathBytes];
bool targetExists = false;
struct stat targetStat {};
char temporary[kMaxPathBytes + 32];
int fd = -1;
int lastError = 0;

bool failWith(int error) {
    lastError = error;
    return false;
}

bool remember(const char* path) {
    std::size_t length = std::strlen(path);
    if (length >= sizeof target) return failWith(ENAMETOOLONG);
    std::memcpy(target, path, length + 1);
    return true;
}

Kind kindOf(mode_t mode) {
    if (S_ISREG(mode)) return Kind::Regular;
    if (S_ISDIR(mode)) return Kind::Directory;
    if (S_ISCHR(mode) || S_ISBLK(mode)) return Kind::Device;
    if (S_ISFIFO(mode)) return Kind::Fifo;
    return Kind::Other;
}

// The replaced file's owner, group and permission bits. Where its group
// cannot be kept, its group's access goes to no other group.
bool keepPermissions() {
    mode_t mode = targetStat.st_mode & 0777;
    if (::fchown(fd, targetStat.st_uid, targetStat.st_gid) != 0 &&
        ::fchown(fd, static_cast<uid_t>(-1), targetStat.st_gid) != 0) {
        mode &= ~static_cast<mode_t>(070);
    }
    return ::fchmod(fd, mode) == 0 || failWith(errno);
}

bool writeAll(int to, const char* text, std::size_t size) {
    while (size > 0) {
        ssize_t written = ::write(to, text, size);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return failWith(written < 0 ? errno : EIO);
        text += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

}  // namespace

bool inspect(const char* path, Kind& kind) {
    targetExists = false;
    // An empty name would be found only by the rename, after the read.
    if (*path == '\0') return failWith(ENOENT);
    struct stat st {};
    if (::lstat(path, &st) != 0) {
        if (errno != ENOENT) return failWith(errno);
        kind = Kind::Missing;
        return remember(path);
    }
    bool link = S_ISLNK(st.st_mode);
    if (link && ::stat(path, &st) != 0) {
        if (errno != ENOENT) return failWith(errno);
        kind = Kind::BrokenLink;
        return true;
    }
    kind = kindOf(st.st_mode);
    if (kind != Kind::Regular) return true;
    targetExists = true;
    targetStat = st;
    if (!link) return remember(path);
    char* resolved = ::realpath(path, nullptr);
    if (resolved == nullptr) return failWith(errno);
    bool remembered = remember(resolved);
    std::free(resolved);
    return remembered;
}

bool createTemporary() {
    discard();
    const char* slash = std::strrchr(target, '/');
    int directoryLength = slash == nullptr ? 0 : static_cast<int>(slash - target + 1);
    for (unsigned attempt = 0; fd < 0 && attempt < kAttempts; ++attempt) {
        std::snprintf(temporary, sizeof temporary, "%.*s.quillet-%ld-%u.tmp", directoryLength,
                      target, static_cast<long>(::getpid()), attempt);
        // Mode 0666 less the umask, as for any new file.
        fd = ::open(temporary, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) {
        temporary[0] = '\0';
        return failWith(errno);
    }
    if (!targetExists || keepPermissions()) return true;
    int error = lastError;
    discard();
    return failWith(error);
}

bool writeTemporary(const char* text, std::size_t size) {
    return writeAll(fd, text, size);
}

bool flushTemporary() {
    int error = ::fsync(fd) == 0 ? 0 : errno;
    if (::close(fd) != 0 && error == 0) error = errno;
    fd = -1;
    return error == 0 || failWith(error);
}

bool replace() {
    if (::rename(temporary, target) != 0) return failWith(errno);
    temporary[0] = '\0';
    return true;
}

void discard() {
    if (fd >= 0) ::close(fd);
    fd = -1;
    if (temporary[0] != '\0') ::unlink(temporary);
    temporary[0] = '\0';
}

bool writeStandardOutput(const char* text, std::size_t size) {
    return writeAll(STDOUT_FILENO, text, size);
}

const char* reason() {
    return std::strerror(lastError);
}

}  // namespace image::output
