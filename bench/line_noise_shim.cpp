// A second noise injector for bench/noise, outside the virtual chip: a
// preload library put in front of libvtarget.so
// (LD_PRELOAD=liblinenoise.so:libvtarget.so) that garbles the modem-line
// ioctl calls a program makes, so that the campaign's figures do not rest on
// the virtual adapter's own noise model.
//
//   LINE_NOISE=seed=N,miso=P,sck-drop=P,sck-extra=P,mosi=P[,out=FILE]
//
// miso      TIOCMGET reports DSR inverted
// sck-drop  a TIOCMBIS/TIOCMBIC/TIOCMSET that drives RTS leaves RTS as it was
// sck-extra after such a drive, RTS glitches to the other level and back
// mosi      TIOCSBRK and TIOCCBRK swap
// out       at exit, the events of each kind as one JSON object
//
// It acts only on a call that libvtarget.so serves: VTARGET is set, the next
// ioctl in the lookup order is libvtarget.so's, and the descriptor is a pty
// slave, which the virtual chip hands out for its ports and no serial line
// ever is. Everything else passes through untouched.
#include <dlfcn.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <random>
#include <string>

namespace {

using Ioctl = int (*)(int, unsigned long, ...);

enum Kind { kMiso, kSckDrop, kSckExtra, kMosi, kKinds };
const char* const kNames[kKinds] = {"miso", "sck-drop", "sck-extra", "mosi"};

// Unix98 pty slaves (Documentation/admin-guide/devices.txt: majors 136-143).
constexpr unsigned kPtySlaveFirst = 136;
constexpr unsigned kPtySlaveLast = 143;

struct Shim {
    Ioctl next = nullptr;
    bool armed = false;
    double rate[kKinds] = {};
    std::mt19937_64 draws[kKinds];
    unsigned long events[kKinds] = {};
    std::string out;
    int rts = -1;  // the RTS level the program last asked for, -1 before its first drive
    std::mutex mutex;

    Shim() {
        next = reinterpret_cast<Ioctl>(dlsym(RTLD_NEXT, "ioctl"));
        const char* settings = std::getenv("LINE_NOISE");
        if (next == nullptr || settings == nullptr || std::getenv("VTARGET") == nullptr) return;
        Dl_info where{};
        if (dladdr(reinterpret_cast<void*>(next), &where) == 0 || where.dli_fname == nullptr ||
            std::strstr(where.dli_fname, "libvtarget") == nullptr) {
            std::fprintf(stderr, "line noise shim: libvtarget.so is not next; no noise\n");
            return;
        }
        unsigned long long seed = 0;
        std::string text(settings);
        for (std::size_t at = 0; at <= text.size();) {
            std::size_t end = text.find(',', at);
            if (end == std::string::npos) end = text.size();
            std::string item = text.substr(at, end - at);
            std::size_t eq = item.find('=');
            std::string key = item.substr(0, eq),
                        value = eq == std::string::npos ? "" : item.substr(eq + 1);
            if (key == "seed") seed = std::strtoull(value.c_str(), nullptr, 10);
            if (key == "out") out = value;
            for (int k = 0; k < kKinds; ++k) {
                if (key == kNames[k]) rate[k] = std::strtod(value.c_str(), nullptr);
            }
            at = end + 1;
        }
        // A stream per kind, so that one kind's draws do not move another's.
        for (int k = 0; k < kKinds; ++k)
            draws[k].seed(seed * kKinds + k + 1);
        armed = true;
    }

    ~Shim() {
        if (!armed || out.empty()) return;
        FILE* f = std::fopen(out.c_str(), "w");
        if (f == nullptr) return;
        std::fprintf(f, "{");
        for (int k = 0; k < kKinds; ++k)
            std::fprintf(f, "%s\"%s\": %lu", k ? ", " : "", kNames[k], events[k]);
        std::fprintf(f, "}\n");
        std::fclose(f);
    }

    bool strikes(Kind kind) {
        if (rate[kind] <= 0) return false;
        bool hit = std::generate_canonical<double, 53>(draws[kind]) < rate[kind];
        if (hit) ++events[kind];
        return hit;
    }

    static bool servedByChip(int fd) {
        struct stat st {};
        return fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) && major(st.st_rdev) >= kPtySlaveFirst &&
               major(st.st_rdev) <= kPtySlaveLast;
    }

    int call(int fd, unsigned long request, void* arg) {
        if (!armed || !servedByChip(fd)) return next(fd, request, arg);
        switch (request) {
            case TIOCMGET: {
                int result = next(fd, request, arg);
                if (result == 0 && arg != nullptr && strikes(kMiso))
                    *static_cast<int*>(arg) ^= TIOCM_DSR;
                return result;
            }
            case TIOCSBRK:
            case TIOCCBRK:
                if (strikes(kMosi)) request = request == TIOCSBRK ? TIOCCBRK : TIOCSBRK;
                return next(fd, request, arg);
            case TIOCMBIS:
            case TIOCMBIC:
            case TIOCMSET:
                return drive(fd, request, arg);
            default:
                return next(fd, request, arg);
        }
    }

    int drive(int fd, unsigned long request, void* arg) {
        if (arg == nullptr || (request != TIOCMSET && (*static_cast<int*>(arg) & TIOCM_RTS) == 0)) {
            return next(fd, request, arg);
        }
        int bits = *static_cast<int*>(arg);
        int level = request == TIOCMBIS ? 1 : request == TIOCMBIC ? 0 : (bits & TIOCM_RTS) != 0;
        int before = rts;
        rts = level;
        if (strikes(kSckDrop)) {
            // The RTS part of the call is lost; any other line it drives still arrives.
            int others = bits & ~TIOCM_RTS;
            if (request == TIOCMSET) {
                if (before < 0) return next(fd, request, arg);
                others |= before ? TIOCM_RTS : 0;
                return next(fd, request, &others);
            }
            return others != 0 ? next(fd, request, &others) : 0;
        }
        int result = next(fd, request, arg);
        if (result == 0 && strikes(kSckExtra)) {
            int rtsOnly = TIOCM_RTS;
            next(fd, level ? TIOCMBIC : TIOCMBIS, &rtsOnly);
            next(fd, level ? TIOCMBIS : TIOCMBIC, &rtsOnly);
        }
        return result;
    }
};

Shim& shim() {
    static Shim instance;
    return instance;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int ioctl(int fd, unsigned long request,
                                                            ...) noexcept {
    va_list args;
    va_start(args, request);
    void* arg = va_arg(args, void*);
    va_end(args);
    Shim& s = shim();
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.call(fd, request, arg);
}
