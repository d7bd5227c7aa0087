// A small program that uses the port and the clocks the way programs do, for
// the end-to-end tests to run under the preload library:
//   port_probe line        open COM1 as quillet does, use every served call
//   port_probe open PATH [CALL]   open PATH with CALL (open, open64, openat,
//                                 openat64 or a fortified __open_2 form) and
//                                 tell what came back
//   port_probe pty         open a pseudo-terminal itself, as Wine's server does
//                          for a program, and drive RTS on either side of it
//   port_probe clock       sleep in each way, read each clock, and spin on one
// It refuses to run (exit 2) unless open and ioctl are the library's, so it
// never reaches a real serial device.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/time.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#ifndef QUILLET_COM1_DEVICE
#define QUILLET_COM1_DEVICE "/dev/ttyS0"
#endif

// What fortified builds call in place of open and openat.
extern "C" int __open_2(const char* path, int flags);
extern "C" int __open64_2(const char* path, int flags);
extern "C" int __openat_2(int dirfd, const char* path, int flags);
extern "C" int __openat64_2(int dirfd, const char* path, int flags);

namespace {

bool fromLibrary(const char* name) {
    Dl_info info{};
    void* symbol = dlsym(RTLD_DEFAULT, name);
    return symbol != nullptr && dladdr(symbol, &info) != 0 && info.dli_fname != nullptr &&
           std::strstr(info.dli_fname, "libvtarget") != nullptr;
}

void report(const char* what, int result) {
    if (result < 0) {
        std::printf("%s: %s\n", what, std::strerror(errno));
    } else {
        std::printf("%s: ok\n", what);
    }
}

int line() {
    int fd = open(QUILLET_COM1_DEVICE, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        report("open", fd);
        return 1;
    }
    std::printf("tty: %s\n", isatty(fd) ? "yes" : "no");
    termios settings{};
    report("tcgetattr", tcgetattr(fd, &settings));
    cfmakeraw(&settings);
    report("tcsetattr", tcsetattr(fd, TCSANOW, &settings));
    report("exclusive", ioctl(fd, TIOCEXCL));
    report("flock", flock(fd, LOCK_EX | LOCK_NB));
    int rts = TIOCM_RTS;
    report("rts on", ioctl(fd, TIOCMBIS, &rts));
    report("break on", ioctl(fd, TIOCSBRK));
    int status = 0;
    report("status", ioctl(fd, TIOCMGET, &status));
    std::printf("rts %d dtr %d dsr %d\n", (status & TIOCM_RTS) != 0, (status & TIOCM_DTR) != 0,
                (status & TIOCM_DSR) != 0);
    winsize size{};
    report("window size", ioctl(fd, TIOCGWINSZ, &size));
    report("close", close(fd));
    return 0;
}

int openBy(const std::string& call, const char* path) {
    int flags = O_RDWR | O_NOCTTY | O_NONBLOCK;
    if (call == "open") return open(path, flags);
    if (call == "open64") return open64(path, flags);
    if (call == "openat") return openat(AT_FDCWD, path, flags);
    if (call == "openat64") return openat64(AT_FDCWD, path, flags);
    if (call == "__open_2") return __open_2(path, flags);
    if (call == "__open64_2") return __open64_2(path, flags);
    if (call == "__openat_2") return __openat_2(AT_FDCWD, path, flags);
    if (call == "__openat64_2") return __openat64_2(AT_FDCWD, path, flags);
    errno = EINVAL;
    return -1;
}

int openPath(const char* path, const char* call) {
    int fd = openBy(call, path);
    report("open", fd);
    if (fd >= 0) {
        std::printf("tty: %s\n", isatty(fd) ? "yes" : "no");
        close(fd);
    }
    return 0;
}

int pty() {
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    char name[64];
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0 ||
        ptsname_r(master, name, sizeof name) != 0) {
        report("pty", -1);
        return 1;
    }
    int slave = open(name, O_RDWR | O_NOCTTY);
    if (slave < 0) {
        report("open", slave);
        return 1;
    }
    int rts = TIOCM_RTS;
    report("master rts on", ioctl(master, TIOCMBIS, &rts));
    report("slave rts on", ioctl(slave, TIOCMBIS, &rts));
    int status = 0;
    report("status", ioctl(slave, TIOCMGET, &status));
    std::printf("rts %d\n", (status & TIOCM_RTS) != 0);
    report("close", close(slave));
    close(master);
    return 0;
}

long long nsOf(const timespec& t) {
    return t.tv_sec * 1000000000LL + t.tv_nsec;
}

int clocks() {
    timespec start{};
    timespec wall{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    clock_gettime(CLOCK_REALTIME, &wall);
    timespec pause{1, 500000000};
    nanosleep(&pause, nullptr);
    usleep(250);
    sleep(2);
    timespec until{start.tv_sec + 5, start.tv_nsec};
    clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr);
    timespec end{};
    clock_gettime(CLOCK_MONOTONIC, &end);
    timeval tv{};
    gettimeofday(&tv, nullptr);
    std::printf("monotonic %lld\n", nsOf(end) - nsOf(start));
    std::printf("wall %lld\n", static_cast<long long>(tv.tv_sec) - wall.tv_sec);
    std::printf("time %lld\n", static_cast<long long>(time(nullptr)));
    // A wait on the clock alone comes to its end too.
    do {
        clock_gettime(CLOCK_MONOTONIC, &start);
    } while (nsOf(start) < nsOf(end) + 1000000);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (!fromLibrary("open") || !fromLibrary("ioctl")) {
        std::fprintf(stderr, "port_probe: the preload library is not loaded\n");
        return 2;
    }
    if (argc == 2 && std::strcmp(argv[1], "line") == 0) return line();
    if ((argc == 3 || argc == 4) && std::strcmp(argv[1], "open") == 0) {
        return openPath(argv[2], argc == 4 ? argv[3] : "open");
    }
    if (argc == 2 && std::strcmp(argv[1], "pty") == 0) return pty();
    if (argc == 2 && std::strcmp(argv[1], "clock") == 0) return clocks();
    std::fprintf(stderr, "using: port_probe line | open PATH [CALL] | pty | clock\n");
    return 1;
}
