// The output file on POSIX systems (Linux: O_PATH, extended attributes). A
// name is looked at and used through its directory's descriptor (fstatat,
// openat, renameat), so that the file checked is the file used; a link is
// followed by reading it, hop by hop, only where this user or root owns it,
// never by the system on the program's behalf.
#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "image/output.h"

namespace image::output {

namespace {

constexpr std::size_t kMaxPathBytes = 4096;
// As many as the kernel follows in one path (its MAXSYMLINKS).
constexpr unsigned kMaxLinks = 40;
// Names are random: only a crowd of other files could take every one tried.
constexpr unsigned kAttempts = 100;
// A temporary file's name: the prefix, six of the alphabet's characters and
// the suffix, as mkstemp makes them.
constexpr char kPrefix[] = ".quillet-";
constexpr char kSuffix[] = ".tmp";
constexpr std::size_t kRandomChars = 6;
constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
constexpr std::size_t kPrefixChars = sizeof kPrefix - 1;
constexpr std::size_t kNameChars = kPrefixChars + kRandomChars + sizeof kSuffix - 1;
constexpr char kAccessAcl[] = "system.posix_acl_access";

// The remembered file: its directory, open, and its name there.
int directory = -1;
char name[NAME_MAX + 1];
bool targetExists = false;
struct stat targetStat {};
char temporary[kNameChars + 1];
int fd = -1;
int lastError = 0;
// What inspect refused, for the message.
char refused[kMaxPathBytes];
char owner[128];

// The replaced file's user attributes and access control list, as read.
struct Attribute {
    const char* key;
    const char* value;
    std::size_t size;
};
constexpr std::size_t kMaxAttributes = 64;
char keys[64 * 1024];
char values[256 * 1024];
Attribute attributes[kMaxAttributes];
std::size_t attributeCount = 0;
// Whether the replaced file has an access control list; Unknown where it
// could not be read.
enum class Acl { None, Present, Unknown };
Acl acl = Acl::None;
// The permission bits that grant nobody more than that list did.
mode_t withinAcl = 0777;
// For a signal handler: temporary names a file of this run, and the run ends.
volatile std::sig_atomic_t removable = 0;
volatile std::sig_atomic_t ending = 0;

bool failWith(int error) {
    lastError = error;
    return false;
}

Kind kindOf(mode_t mode) {
    if (S_ISREG(mode)) return Kind::Regular;
    if (S_ISDIR(mode)) return Kind::Directory;
    if (S_ISCHR(mode) || S_ISBLK(mode)) return Kind::Device;
    if (S_ISFIFO(mode)) return Kind::Fifo;
    return Kind::Other;
}

void closeDirectory() {
    if (directory >= 0) ::close(directory);
    directory = -1;
}

// Opens the directory of text (all before its last "/") relative to from,
// as directory, and takes the name after it ("." where text ends in "/").
bool enter(int from, const char* text) {
    const char* slash = std::strrchr(text, '/');
    const char* leaf = slash == nullptr ? text : slash + 1;
    if (*leaf == '\0') leaf = ".";
    if (std::strlen(leaf) > NAME_MAX) return failWith(ENAMETOOLONG);
    char part[kMaxPathBytes] = ".";
    if (slash != nullptr) {
        // The slash stays: "/" is a directory, "" is none.
        std::size_t length = static_cast<std::size_t>(slash - text + 1);
        std::memcpy(part, text, length);
        part[length] = '\0';
    }
    int opened = ::openat(from, part, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    // A directory that may be searched but not listed still serves the *at calls.
    if (opened < 0 && errno == EACCES)
        opened = ::openat(from, part, O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (opened < 0) return failWith(errno);
    std::memmove(name, leaf, std::strlen(leaf) + 1);
    closeDirectory();
    directory = opened;
    return true;
}

void describeOwner(uid_t uid) {
    struct passwd entry {};
    struct passwd* found = nullptr;
    char buffer[1024];
    if (::getpwuid_r(uid, &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr) {
        std::snprintf(owner, sizeof owner, "%s (uid %lu)", found->pw_name,
                      static_cast<unsigned long>(uid));
    } else {
        std::snprintf(owner, sizeof owner, "uid %lu", static_cast<unsigned long>(uid));
    }
}

Kind refuse(Kind kind, const char* shown, uid_t uid) {
    std::snprintf(refused, sizeof refused, "%s", shown);
    describeOwner(uid);
    return kind;
}

// The permission bits that grant no one more than the access control list
// value does, once it is gone: the owning group's entry and every named
// one, each within the mask, limit the group's bits; the named ones the
// others' too, as a named user of fewer rights would fall to them.
bool boundOf(const char* value, std::size_t size, mode_t& bound) {
    constexpr unsigned kGroupObj = 0x04, kMask = 0x10, kUser = 0x02, kGroup = 0x08;
    if (size < 4 || (size - 4) % 8 != 0) return false;
    auto little = [&](std::size_t at) {
        return static_cast<unsigned>(static_cast<unsigned char>(value[at])) |
               static_cast<unsigned>(static_cast<unsigned char>(value[at + 1])) << 8;
    };
    unsigned group = 7, mask = 7, named = 7;
    for (std::size_t at = 4; at < size; at += 8) {
        unsigned tag = little(at), perm = little(at + 2) & 7;
        if (tag == kGroupObj) group = perm;
        if (tag == kMask) mask = perm;
        if (tag == kUser || tag == kGroup) named &= perm;
    }
    named &= mask;
    bound = static_cast<mode_t>(0700 | (group & mask & named) << 3 | named);
    return true;
}

ssize_t listOf(int source, const char* procPath, char* list, std::size_t size) {
    return *procPath != '\0' ? ::listxattr(procPath, list, size) : ::flistxattr(source, list, size);
}

ssize_t valueOf(int source, const char* procPath, const char* key, char* value, std::size_t size) {
    return *procPath != '\0' ? ::getxattr(procPath, key, value, size)
                             : ::fgetxattr(source, key, value, size);
}

// Reads the user attributes and access control list of the open source
// (through procPath where it is open only as a path).
void collectAttributes(int source, const char* procPath) {
    ssize_t listed = listOf(source, procPath, keys, sizeof keys);
    if (listed < 0) {
        acl = errno == ENOTSUP ? Acl::None : Acl::Unknown;
        return;
    }
    char* value = values;
    std::size_t room = sizeof values;
    for (char* key = keys; key < keys + listed; key += std::strlen(key) + 1) {
        bool isAcl = std::strncmp(key, "system.posix_acl_", 17) == 0;
        if (!isAcl && std::strncmp(key, "user.", 5) != 0) continue;
        ssize_t size =
            attributeCount < kMaxAttributes ? valueOf(source, procPath, key, value, room) : -1;
        bool access = std::strcmp(key, kAccessAcl) == 0;
        if (access) {
            acl = size >= 0 && boundOf(value, static_cast<std::size_t>(size), withinAcl)
                      ? Acl::Present
                      : Acl::Unknown;
        }
        if (size < 0) continue;
        attributes[attributeCount++] = {key, value, static_cast<std::size_t>(size)};
        value += size;
        room -= static_cast<std::size_t>(size);
    }
}

// Whether the system keeps the open file from being replaced, whoever asks:
// immutable or append-only (chattr +i, +a).
bool fixedInPlace(int file) {
    int flags = 0;
    return ::ioctl(file, FS_IOC_GETFLAGS, &flags) == 0 &&
           (flags & (FS_IMMUTABLE_FL | FS_APPEND_FL)) != 0;
}

// Reads what of the remembered file a copy is to carry, and whether it is
// fixed in place. Where the file may not be read, it is opened as a path and
// looked at through /proc (and is taken as not fixed: the rename will tell).
bool readAttributes() {
    attributeCount = 0;
    acl = Acl::None;
    withinAcl = 0777;
    char procPath[40] = "";
    int source =
        ::openat(directory, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (source < 0) {
        source = ::openat(directory, name, O_PATH | O_NOFOLLOW | O_CLOEXEC);
        if (source < 0) {
            acl = Acl::Unknown;
            return false;
        }
        std::snprintf(procPath, sizeof procPath, "/proc/self/fd/%d", source);
    }
    struct stat st {};
    bool fixed = false;
    if (::fstat(source, &st) == 0 && st.st_dev == targetStat.st_dev &&
        st.st_ino == targetStat.st_ino) {
        collectAttributes(source, procPath);
        fixed = *procPath == '\0' && fixedInPlace(source);
    } else {
        acl = Acl::Unknown;
    }
    ::close(source);
    return fixed;
}

// The regular file (or other thing) that the name stands for, and whether
// this user may replace it there: in a sticky directory only the file's or
// the directory's owner may, or root; an immutable or append-only file no one.
bool settle(const struct stat& st, const char* shown, Kind& kind) {
    kind = kindOf(st.st_mode);
    if (kind != Kind::Regular) return true;
    struct stat dir {};
    if (::fstat(directory, &dir) != 0) return failWith(errno);
    uid_t me = ::geteuid();
    if ((dir.st_mode & S_ISVTX) != 0 && st.st_uid != me && dir.st_uid != me && me != 0) {
        kind = refuse(Kind::Unreplaceable, shown, st.st_uid);
        return true;
    }
    targetStat = st;
    if (readAttributes()) {
        kind = refuse(Kind::FixedInPlace, shown, st.st_uid);
        return true;
    }
    targetExists = true;
    return true;
}

// The replaced file's owner, group, permission bits, user attributes and
// access control list. Where its group cannot be kept, its group's access
// goes to no other group; where its list cannot be carried, the bits grant
// no one more than it did.
bool keepPermissions() {
    mode_t mode = targetStat.st_mode & 0777;
    if (::fchown(fd, targetStat.st_uid, targetStat.st_gid) != 0 &&
        ::fchown(fd, static_cast<uid_t>(-1), targetStat.st_gid) != 0) {
        mode &= ~static_cast<mode_t>(070);
    }
    bool aclCarried = false;
    for (std::size_t i = 0; i < attributeCount; ++i) {
        const Attribute& a = attributes[i];
        bool set = ::fsetxattr(fd, a.key, a.value, a.size, 0) == 0;
        if (std::strcmp(a.key, kAccessAcl) == 0) aclCarried = set;
    }
    // A list that the directory's default gave the new file, which the
    // replaced one did not have.
    if (acl == Acl::None && ::fremovexattr(fd, kAccessAcl) != 0 && errno != ENODATA &&
        errno != ENOTSUP) {
        mode &= 0700;
    }
    if (acl == Acl::Present && !aclCarried) mode &= withinAcl;
    if (acl == Acl::Unknown) mode &= 0700;
    return ::fchmod(fd, mode) == 0 || failWith(errno);
}

bool writeAll(int to, const char* text, std::size_t size) {
    while (size > 0) {
        // A signal that ends the run ends the write: it is not tried again.
        if (ending) return failWith(EINTR);
        ssize_t written = ::write(to, text, size);
        if (written <= 0) return failWith(written < 0 ? errno : EIO);
        text += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

// A new random name in temporary. Without the kernel's generator, the
// clock and the process make one that differs at each attempt.
void makeName(unsigned attempt) {
    unsigned char bytes[kRandomChars];
    if (::getrandom(bytes, sizeof bytes, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bytes)) {
        timespec now{};
        ::clock_gettime(CLOCK_MONOTONIC, &now);
        std::uint64_t mixed = static_cast<std::uint64_t>(now.tv_nsec) * 2654435761u ^
                              static_cast<std::uint64_t>(::getpid()) << 20 ^ attempt;
        for (unsigned char& byte : bytes) {
            byte = static_cast<unsigned char>(mixed);
            mixed = mixed * 6364136223846793005u + 1442695040888963407u;
            byte ^= static_cast<unsigned char>(mixed >> 56);
        }
    }
    std::memcpy(temporary, kPrefix, kPrefixChars);
    for (std::size_t i = 0; i < kRandomChars; ++i)
        temporary[kPrefixChars + i] = kAlphabet[bytes[i] % (sizeof kAlphabet - 1)];
    std::memcpy(temporary + kPrefixChars + kRandomChars, kSuffix, sizeof kSuffix);
}

bool isTemporaryName(const char* entry) {
    if (std::strlen(entry) != kNameChars || std::strncmp(entry, kPrefix, kPrefixChars) != 0 ||
        std::strcmp(entry + kPrefixChars + kRandomChars, kSuffix) != 0) {
        return false;
    }
    for (std::size_t i = 0; i < kRandomChars; ++i) {
        if (std::strchr(kAlphabet, entry[kPrefixChars + i]) == nullptr) return false;
    }
    return true;
}

bool before(const timespec& a, const timespec& b) {
    return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

// Removes entry where a killed run of this user left it: a regular file of
// this user, older than this run's own temporary file, that no live run
// holds locked.
void removeIfLeftOver(const char* entry, const timespec& ours) {
    struct stat st {};
    if (::fstatat(directory, entry, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode) ||
        st.st_uid != ::geteuid() || !before(st.st_mtim, ours)) {
        return;
    }
    constexpr int kFlags = O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    int held = ::openat(directory, entry, O_RDONLY | kFlags);
    if (held < 0) held = ::openat(directory, entry, O_WRONLY | kFlags);
    if (held < 0) return;
    struct stat opened {};
    if (::fstat(held, &opened) == 0 && opened.st_dev == st.st_dev && opened.st_ino == st.st_ino &&
        ::flock(held, LOCK_EX | LOCK_NB) == 0) {
        ::unlinkat(directory, entry, 0);
    }
    ::close(held);
}

void removeLeftovers() {
    struct stat ours {};
    if (::fstat(fd, &ours) != 0) return;
    // A directory that may not be listed keeps them.
    int listing = ::openat(directory, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (listing < 0) return;
    DIR* entries = ::fdopendir(listing);
    if (entries == nullptr) {
        ::close(listing);
        return;
    }
    while (const dirent* entry = ::readdir(entries)) {
        if (isTemporaryName(entry->d_name) && std::strcmp(entry->d_name, temporary) != 0)
            removeIfLeftOver(entry->d_name, ours.st_mtim);
    }
    ::closedir(entries);
}

}  // namespace

bool inspect(const char* path, Kind& kind) {
    targetExists = false;
    closeDirectory();
    // An empty name would be found only by the rename, after the read.
    if (*path == '\0') return failWith(ENOENT);
    char text[kMaxPathBytes];
    if (std::strlen(path) >= sizeof text) return failWith(ENAMETOOLONG);
    std::strcpy(text, path);
    for (unsigned links = 0;; ++links) {
        if (!enter(links == 0 ? AT_FDCWD : directory, text)) return false;
        struct stat st {};
        if (::fstatat(directory, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno != ENOENT) return failWith(errno);
            kind = links == 0 ? Kind::Missing : Kind::BrokenLink;
            return true;
        }
        if (!S_ISLNK(st.st_mode)) return settle(st, text, kind);
        if (st.st_uid != ::geteuid() && st.st_uid != 0) {
            kind = refuse(Kind::ForeignLink, text, st.st_uid);
            return true;
        }
        if (links == kMaxLinks) return failWith(ELOOP);
        // What the link leads to as the system sees it: a pipe behind
        // /proc/self/fd/1 has no name that could be read and followed.
        if (::fstatat(directory, name, &st, 0) != 0) {
            if (errno != ENOENT) return failWith(errno);
            kind = Kind::BrokenLink;
            return true;
        }
        if (!S_ISREG(st.st_mode)) {
            kind = kindOf(st.st_mode);
            return true;
        }
        ssize_t length = ::readlinkat(directory, name, text, sizeof text - 1);
        if (length < 0) return failWith(errno);
        if (static_cast<std::size_t>(length) == sizeof text - 1) return failWith(ENAMETOOLONG);
        text[length] = '\0';
    }
}

const char* refusedName() {
    return refused;
}

const char* refusedOwner() {
    return owner;
}

bool createTemporary() {
    discard();
    for (unsigned attempt = 0; fd < 0 && attempt < kAttempts; ++attempt) {
        makeName(attempt);
        // Mode 0666 less the umask, as for any new file.
        fd = ::openat(directory, temporary, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                      0666);
        if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) {
        temporary[0] = '\0';
        return failWith(errno);
    }
    // Held for the whole run, so that no other run takes it for a leftover.
    ::flock(fd, LOCK_EX | LOCK_NB);
    removeLeftovers();
    removable = 1;
    if (!targetExists || keepPermissions()) return true;
    int error = lastError;
    discard();
    return failWith(error);
}

bool writeTemporary(const char* text, std::size_t size) {
    return writeAll(fd, text, size);
}

bool flushTemporary() {
    return ::fsync(fd) == 0 || failWith(errno);
}

bool replace() {
    // The file stays open, and locked, until it has its name.
    if (::renameat(directory, temporary, directory, name) != 0) return failWith(errno);
    removable = 0;
    temporary[0] = '\0';
    // Its data reached the disk with fsync: the backup is in place, whatever
    // the close says.
    ::close(fd);
    fd = -1;
    return true;
}

void discard() {
    if (fd >= 0) ::close(fd);
    fd = -1;
    if (temporary[0] != '\0') ::unlinkat(directory, temporary, 0);
    removable = 0;
    temporary[0] = '\0';
}

bool writeStandardOutput(const char* text, std::size_t size) {
    return writeAll(STDOUT_FILENO, text, size);
}

const char* reason() {
    return std::strerror(lastError);
}

void stop() {
    ending = 1;
}

bool stopped() {
    return ending != 0;
}

void abandon() {
    if (removable) ::unlinkat(directory, temporary, 0);
}

}  // namespace image::output
