// A client that clocks write instructions into the virtual chip back to back,
// never waiting for a write to finish, for a given number of line calls, and
// prints its memory use along the way: what a run of any length costs the
// preload library. Used by bench/soak:
//   soak_client PORT LINE_CALLS
// It refuses to run (exit 2) unless open and ioctl are the preload library's,
// so it never reaches a real serial device.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

namespace {

bool fromLibrary(const char* name) {
    Dl_info info{};
    void* symbol = dlsym(RTLD_DEFAULT, name);
    return symbol != nullptr && dladdr(symbol, &info) != 0 && info.dli_fname != nullptr &&
           std::strstr(info.dli_fname, "libvtarget") != nullptr;
}

// A value in kB from /proc/self/status: VmRSS now, VmHWM the most so far.
long statusKb(const std::string& key) {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind(key + ":", 0) == 0)
            return std::strtol(line.c_str() + key.size() + 1, nullptr, 10);
    }
    return -1;
}

class Port {
  public:
    explicit Port(int fd) : fd_(fd) {}
    std::uint64_t calls() const { return calls_; }

    void line(int bit, bool level) {
        ioctl(fd_, level ? TIOCMBIS : TIOCMBIC, &bit);
        ++calls_;
    }
    void mosi(bool level) {
        ioctl(fd_, level ? TIOCSBRK : TIOCCBRK);
        ++calls_;
    }
    // MSB first: MOSI, then a rising and a falling SCK edge.
    void send(std::uint32_t word) {
        for (int bit = 31; bit >= 0; --bit) {
            mosi(((word >> bit) & 1) != 0);
            line(TIOCM_RTS, true);
            line(TIOCM_RTS, false);
        }
    }

  private:
    int fd_;
    std::uint64_t calls_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
    if (!fromLibrary("open") || !fromLibrary("ioctl")) {
        std::fprintf(stderr, "soak_client: the preload library is not loaded\n");
        return 2;
    }
    if (argc != 3) {
        std::fprintf(stderr, "using: soak_client PORT LINE_CALLS\n");
        return 1;
    }
    std::uint64_t total = std::strtoull(argv[2], nullptr, 10);
    int fd = open(argv[1], O_RDWR | O_NOCTTY);
    if (fd < 0) {
        std::perror(argv[1]);
        return 1;
    }
    Port port(fd);
    // Reset with SCK low, let it settle, and enable programming.
    port.line(TIOCM_RTS, false);
    port.line(TIOCM_DTR, false);
    usleep(25000);
    port.send(0xAC530000);

    std::printf("%14s %12s %12s\n", "line calls", "VmRSS kB", "VmHWM kB");
    std::uint64_t next = 1000000;
    for (std::uint32_t address = 0; port.calls() < total; ++address) {
        port.send(0x40000000u | (address & 0x1FF) << 8 | (address & 0xFF));
        if (port.calls() >= next || port.calls() >= total) {
            std::printf("%14llu %12ld %12ld\n", static_cast<unsigned long long>(port.calls()),
                        statusKb("VmRSS"), statusKb("VmHWM"));
            std::fflush(stdout);
            next = next < total / 10 ? next * 10 : next + total / 10;
        }
    }
    close(fd);
    return 0;
}
