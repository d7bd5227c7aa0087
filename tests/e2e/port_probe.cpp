// A small program that opens a port the way programs do, for the end-to-end
// tests to run under the preload library. It opens PATH (COM1 by default)
// with each of the open family in turn and prints a letter each: t a
// terminal, f another file, - none. On COM1 it then makes the terminal calls
// quillet makes, reads the modem bits, and makes one call the adapter has
// no use for.
// It refuses to run (exit 2) unless every call it opens with, and ioctl, is
// the library's, so it never reaches a real serial device.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <initializer_list>

// What fortified builds call in place of open and openat.
extern "C" int __open_2(const char* path, int flags);
extern "C" int __open64_2(const char* path, int flags);
extern "C" int __openat_2(int dirfd, const char* path, int flags);
extern "C" int __openat64_2(int dirfd, const char* path, int flags);

namespace {

constexpr int kFlags = O_RDWR | O_NOCTTY | O_NONBLOCK;

int (*const kOpens[])(const char*) = {
    [](const char* path) { return open(path, kFlags); },
    [](const char* path) { return open64(path, kFlags); },
    [](const char* path) { return openat(AT_FDCWD, path, kFlags); },
    [](const char* path) { return openat64(AT_FDCWD, path, kFlags); },
    [](const char* path) { return __open_2(path, kFlags); },
    [](const char* path) { return __open64_2(path, kFlags); },
    [](const char* path) { return __openat_2(AT_FDCWD, path, kFlags); },
    [](const char* path) { return __openat64_2(AT_FDCWD, path, kFlags); },
};

void report(const char* what, int result) {
    std::printf("%s: %s\n", what, result < 0 ? std::strerror(errno) : "ok");
}

}  // namespace

int main(int argc, char** argv) {
    for (const char* name : {"open", "open64", "openat", "openat64", "__open_2", "__open64_2",
                             "__openat_2", "__openat64_2", "ioctl"}) {
        Dl_info info{};
        if (dladdr(dlsym(RTLD_DEFAULT, name), &info) == 0 ||
            !std::strstr(info.dli_fname, "libvtarget")) {
            std::fprintf(stderr, "port_probe: %s is not the preload library's\n", name);
            return 2;
        }
    }
    const char* path = argc > 1 ? argv[1] : QUILLET_COM1_DEVICE;
    for (auto call : kOpens) {
        int fd = call(path);
        std::putchar(fd < 0 ? '-' : isatty(fd) ? 't' : 'f');
        if (fd >= 0) close(fd);
    }
    std::putchar('\n');
    if (argc > 1) return 0;
    int fd = open(path, kFlags);
    termios settings{};
    report("termios", tcgetattr(fd, &settings) | tcsetattr(fd, TCSANOW, &settings));
    report("exclusive", ioctl(fd, TIOCEXCL));
    report("flock", flock(fd, LOCK_EX | LOCK_NB));
    int bits = 0;
    report("modem bits", ioctl(fd, TIOCMGET, &bits));
    std::printf("%#x\n", bits);
    report("output queue", ioctl(fd, TIOCOUTQ, &bits));
    return close(fd);
}
