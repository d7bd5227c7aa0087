// A small libftdi1 program for the end-to-end tests to run under the preload
// library, as quillet drives an FT232R: it opens one (of SERIAL, or any for
// -) and prints the code, sets synchronous bit-bang with D0, D2 and D4 as
// outputs at BAUD, then for each HEX argument writes its bytes in one write
// and prints what they read back; "w" sleeps 20 ms. A failed call ends it
// with libftdi's message.
// It refuses to run (exit 2) unless libftdi's open is the library's, so it
// never reaches a real USB device.
// Usage: ftdi_probe SERIAL|- BAUD [HEX|w]...
#include <dlfcn.h>
#include <libftdi1/ftdi.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

int main(int argc, char** argv) {
    Dl_info info{};
    if (argc < 3 || dladdr(dlsym(RTLD_DEFAULT, "ftdi_usb_open_desc"), &info) == 0 ||
        !std::strstr(info.dli_fname, "libvtarget")) {
        std::fprintf(stderr, "ftdi_probe: libftdi's open is not the preload library's\n");
        return 2;
    }
    ftdi_context* ftdi = ftdi_new();
    int code = ftdi_usb_open_desc(ftdi, 0x0403, 0x6001, nullptr,
                                  std::strcmp(argv[1], "-") == 0 ? nullptr : argv[1]);
    std::printf("open %d\n", code);
    bool ok = code == 0 && ftdi_set_latency_timer(ftdi, 1) == 0 &&
              ftdi_set_bitmode(ftdi, 0x15, BITMODE_SYNCBB) == 0 &&
              ftdi_set_baudrate(ftdi, std::atoi(argv[2])) == 0 && ftdi_tcioflush(ftdi) == 0;
    for (int i = 3; ok && i < argc; ++i) {
        if (std::strcmp(argv[i], "w") == 0) {
            usleep(20000);
            continue;
        }
        unsigned char bytes[384];
        int n = 0;
        for (const char* p = argv[i]; p[0] != '\0' && p[1] != '\0' && n < 384; p += 2)
            bytes[n++] = static_cast<unsigned char>(std::stoul(std::string(p, 2), nullptr, 16));
        ok = ftdi_write_data(ftdi, bytes, n) == n;
        for (int got = 0, r = 0; ok && got < n; got += r)
            ok = (r = ftdi_read_data(ftdi, bytes + got, n - got)) >= 0;
        for (int b = 0; ok && b < n; ++b)
            std::printf(b + 1 < n ? "%02X" : "%02X\n", bytes[b]);
    }
    if (code == 0 && !ok) std::printf("error: %s\n", ftdi_get_error_string(ftdi));
    ftdi_set_bitmode(ftdi, 0, BITMODE_RESET);
    ftdi_usb_close(ftdi);
    ftdi_free(ftdi);
    return 0;
}
