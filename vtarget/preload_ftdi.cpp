// The preload library's stand-ins for libftdi: libftdi1 1.5 (libftdi1.so.2)
// and libftdi 0.20 (libftdi.so.1, Debian's avrdude) name them alike, with
// return codes and messages taken from both.
//
// No open reaches USB. With the ft232r key, an open of vendor 0x0403,
// product 0x6001, the first such device, with no serial or the key's,
// opens the virtual FT232R (ft232r.h); any other open finds no device
// (-3). The two versions lay out struct ftdi_context differently, so its
// fields are never touched: what this library answers for a context is kept
// in a table keyed by its address, including the text that
// ftdi_get_error_string gives. Contexts are made and unmade by the real
// library (ftdi_new, ftdi_init, ftdi_deinit, ftdi_free); the last three
// forget the context here first. Calls on a context that has not opened the
// device fail as libftdi fails them with no USB device.
//
// libftdi's other opens (ftdi_usb_open, ftdi_usb_open_string,
// ftdi_usb_open_bus_addr) and ftdi_list_free2 call these through the
// dynamic linker, so they are answered here too.
#include <dlfcn.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>

#include "vtarget/preload.h"

namespace vtarget {

namespace {

constexpr unsigned char kBitmodeReset = 0x00;

// Where libftdi 1.x and 0.20 answer differently: libusb 1.0 against
// libusb 0.1, whose bulk transfers report -ENODEV for a vanished device.
struct Dialect {
    const char* bitmodeFailed;
    int writeFailed;
    int readFailed;
    const char* openFailed;
};

const Dialect kLibftdi1 = {"unable to configure bitbang mode. Perhaps not a BM/2232C type chip?",
                           -1, -4 /* LIBUSB_ERROR_NO_DEVICE */, "libusb_open() failed"};
const Dialect kLibftdi0 = {
    "unable to configure bitbang mode. Perhaps selected mode not supported on your chip?", -19, -19,
    "usb_open() failed"};

// Only libftdi1 has ftdi_tcioflush.
const Dialect& dialect() {
    static const Dialect& d = dlsym(RTLD_NEXT, "ftdi_tcioflush") ? kLibftdi1 : kLibftdi0;
    return d;
}

struct Context {
    bool open = false;     // holds the virtual FT232R
    bool bitbang = false;  // libftdi's bitbang_enabled: baud rates are multiplied by 4
    const char* error = "";
};

// Guarded by the library's lock (FtdiAccess).
std::map<const void*, Context> contexts;

int fail(Context& context, int code, const char* error) {
    context.error = error;
    return code;
}

// The device, when this context has it open.
Ft232r* held(const FtdiAccess& access, Context& context) {
    return context.open ? access.device() : nullptr;
}

void forget(const void* ftdi) {
    FtdiAccess access;
    auto found = contexts.find(ftdi);
    if (found == contexts.end()) return;
    if (found->second.open && access.device() != nullptr) {
        access.device()->close();
        access.closed();
    }
    contexts.erase(found);
}

// The virtual device's place in a device list, as libusb's device would be.
char listedDevice;

struct DeviceList {
    DeviceList* next;
    void* dev;
};

template <typename F>
F* real(const char* name) {
    return reinterpret_cast<F*>(dlsym(RTLD_NEXT, name));
}

// An open that found the virtual device, or did not.
int openDevice(void* ftdi, bool found) {
    if (ftdi == nullptr) return -11;
    FtdiAccess access;
    Context& context = contexts[ftdi];
    Ft232r* device = access.device();
    if (!found || device == nullptr || !device->present()) {
        return fail(context, -3, "device not found");
    }
    if (context.open || device->isOpen()) {
        return fail(context, -5,
                    "unable to claim usb device. Make sure the default FTDI driver is not in use");
    }
    device->open();
    context.open = true;
    context.bitbang = false;
    return fail(context, 0, "all fine");
}

void copyString(char* out, int size, const char* text) {
    if (out == nullptr || size <= 0) return;
    std::strncpy(out, text, static_cast<std::size_t>(size) - 1);
    out[size - 1] = '\0';
}

int strings(void* ftdi, void* dev, char* manufacturer, int mnfLen, char* description, int descLen,
            char* serial, int serialLen) {
    if (ftdi == nullptr || dev == nullptr) return -1;
    FtdiAccess access;
    Context& context = contexts[ftdi];
    Ft232r* device = access.device();
    if (dev != &listedDevice || device == nullptr || !device->present()) {
        return fail(context, -4, dialect().openFailed);
    }
    copyString(manufacturer, mnfLen, Ft232r::kManufacturer);
    copyString(description, descLen, Ft232r::kDescription);
    copyString(serial, serialLen, device->serial().c_str());
    return 0;
}

// A control request on the device: code, or failed and its text once the device is gone.
template <typename Request>
int control(void* ftdi, int unavailable, int failed, const char* error, Request request) {
    FtdiAccess access;
    Context& context = contexts[ftdi];
    Ft232r* device = held(access, context);
    if (device == nullptr) return fail(context, unavailable, "USB device unavailable");
    return request(*device, context) ? 0 : fail(context, failed, error);
}

}  // namespace

}  // namespace vtarget

using vtarget::Context;
using vtarget::Ft232r;

extern "C" {

__attribute__((visibility("default"))) int ftdi_init(void* ftdi) {
    vtarget::forget(ftdi);
    auto* f = vtarget::real<int(void*)>("ftdi_init");
    return f != nullptr ? f(ftdi) : -1;
}

__attribute__((visibility("default"))) void ftdi_deinit(void* ftdi) {
    vtarget::forget(ftdi);
    if (auto* f = vtarget::real<void(void*)>("ftdi_deinit")) f(ftdi);
}

__attribute__((visibility("default"))) void ftdi_free(void* ftdi) {
    vtarget::forget(ftdi);
    if (auto* f = vtarget::real<void(void*)>("ftdi_free")) f(ftdi);
}

__attribute__((visibility("default"))) int ftdi_usb_open_desc_index(void* ftdi, int vendor,
                                                                    int product,
                                                                    const char* description,
                                                                    const char* serial,
                                                                    unsigned index) {
    bool found = vendor == Ft232r::kVendor && product == Ft232r::kProduct && index == 0 &&
                 (description == nullptr || std::strcmp(description, Ft232r::kDescription) == 0);
    if (found && serial != nullptr) {
        vtarget::FtdiAccess access;
        found = access.device() != nullptr && access.device()->serial() == serial;
    }
    return vtarget::openDevice(ftdi, found);
}

__attribute__((visibility("default"))) int ftdi_usb_open_desc(void* ftdi, int vendor, int product,
                                                              const char* description,
                                                              const char* serial) {
    return ftdi_usb_open_desc_index(ftdi, vendor, product, description, serial, 0);
}

__attribute__((visibility("default"))) int ftdi_usb_open_dev(void* ftdi, void* dev) {
    if (dev == &vtarget::listedDevice) return vtarget::openDevice(ftdi, true);
    if (ftdi == nullptr) return -8;
    vtarget::FtdiAccess access;
    return vtarget::fail(vtarget::contexts[ftdi], -4, vtarget::dialect().openFailed);
}

__attribute__((visibility("default"))) int ftdi_usb_find_all(void* ftdi, void** devlist, int vendor,
                                                             int product) {
    if (devlist == nullptr) return -3;
    *devlist = nullptr;
    vtarget::FtdiAccess access;
    Ft232r* device = access.device();
    // libftdi1 takes 0:0 for any FTDI product.
    bool matches =
        (vendor == Ft232r::kVendor && product == Ft232r::kProduct) || (vendor == 0 && product == 0);
    if (ftdi == nullptr || device == nullptr || !device->present() || !matches) return 0;
    auto* entry = static_cast<vtarget::DeviceList*>(std::malloc(sizeof(vtarget::DeviceList)));
    if (entry == nullptr) return vtarget::fail(vtarget::contexts[ftdi], -3, "out of memory");
    *entry = {nullptr, &vtarget::listedDevice};
    *devlist = entry;
    return 1;
}

__attribute__((visibility("default"))) void ftdi_list_free(void** devlist) {
    if (devlist == nullptr) return;
    auto* entry = static_cast<vtarget::DeviceList*>(*devlist);
    while (entry != nullptr) {
        vtarget::DeviceList* next = entry->next;
        std::free(entry);
        entry = next;
    }
    *devlist = nullptr;
}

__attribute__((visibility("default"))) int ftdi_usb_get_strings(void* ftdi, void* dev,
                                                                char* manufacturer, int mnfLen,
                                                                char* description, int descLen,
                                                                char* serial, int serialLen) {
    return vtarget::strings(ftdi, dev, manufacturer, mnfLen, description, descLen, serial,
                            serialLen);
}

__attribute__((visibility("default"))) int ftdi_usb_get_strings2(void* ftdi, void* dev,
                                                                 char* manufacturer, int mnfLen,
                                                                 char* description, int descLen,
                                                                 char* serial, int serialLen) {
    return vtarget::strings(ftdi, dev, manufacturer, mnfLen, description, descLen, serial,
                            serialLen);
}

__attribute__((visibility("default"))) int ftdi_usb_close(void* ftdi) {
    if (ftdi == nullptr) return -3;
    vtarget::FtdiAccess access;
    Context& context = vtarget::contexts[ftdi];
    Ft232r* device = vtarget::held(access, context);
    if (device == nullptr) return 0;
    bool present = device->present();
    device->close();
    context.open = false;
    access.closed();
    return present ? 0 : -1;
}

__attribute__((visibility("default"))) int ftdi_set_latency_timer(void* ftdi,
                                                                  unsigned char latency) {
    if (latency < 1) {
        vtarget::FtdiAccess access;
        return vtarget::fail(vtarget::contexts[ftdi], -1,
                             "latency out of range. Only valid for 1-255");
    }
    return vtarget::control(ftdi, -3, -2, "unable to set latency timer",
                            [&](Ft232r& d, Context&) { return d.setLatencyTimer(latency); });
}

__attribute__((visibility("default"))) int ftdi_set_bitmode(void* ftdi, unsigned char bitmask,
                                                            unsigned char mode) {
    return vtarget::control(ftdi, -2, -1, vtarget::dialect().bitmodeFailed,
                            [&](Ft232r& d, Context& c) {
                                if (!d.setBitmode(bitmask, mode)) return false;
                                c.bitbang = mode != vtarget::kBitmodeReset;
                                return true;
                            });
}

__attribute__((visibility("default"))) int ftdi_set_baudrate(void* ftdi, int baudrate) {
    vtarget::FtdiAccess access;
    Context& context = vtarget::contexts[ftdi];
    Ft232r* device = vtarget::held(access, context);
    if (device == nullptr) return vtarget::fail(context, -3, "USB device unavailable");
    std::int64_t asked = context.bitbang ? std::int64_t{baudrate} * 4 : baudrate;
    std::int64_t actual = Ft232r::nearestBaud(asked);
    if (actual <= 0) return vtarget::fail(context, -1, "Silly baudrate <= 0.");
    // libftdi's tolerance, about 5%.
    if (actual * 2 < asked ||
        (actual < asked ? actual * 21 < asked * 20 : asked * 21 < actual * 20)) {
        return vtarget::fail(
            context, -1,
            "Unsupported baudrate. Note: bitbang baudrates are automatically multiplied by 4");
    }
    if (!device->setBaudrate(static_cast<std::uint32_t>(actual))) {
        return vtarget::fail(context, -2, "Setting new baudrate failed");
    }
    return 0;
}

__attribute__((visibility("default"))) int ftdi_tcioflush(void* ftdi) {
    return vtarget::control(ftdi, -3, -1, "FTDI purge of TX buffer failed",
                            [](Ft232r& d, Context&) { return d.purge(); });
}

__attribute__((visibility("default"))) int ftdi_usb_purge_buffers(void* ftdi) {
    return vtarget::control(ftdi, -3, -1, "FTDI purge of RX buffer failed",
                            [](Ft232r& d, Context&) { return d.purge(); });
}

__attribute__((visibility("default"))) int ftdi_read_pins(void* ftdi, unsigned char* pins) {
    return vtarget::control(ftdi, -2, -1, "read pins failed",
                            [&](Ft232r& d, Context&) { return d.readPins(*pins); });
}

__attribute__((visibility("default"))) int ftdi_write_data(void* ftdi, const unsigned char* buf,
                                                           int size) {
    vtarget::FtdiAccess access;
    Context& context = vtarget::contexts[ftdi];
    Ft232r* device = vtarget::held(access, context);
    if (device == nullptr) return vtarget::fail(context, -666, "USB device unavailable");
    if (size <= 0) return 0;
    if (!device->write(buf, static_cast<std::size_t>(size))) {
        return vtarget::fail(context, vtarget::dialect().writeFailed, "usb bulk write failed");
    }
    return size;
}

__attribute__((visibility("default"))) int ftdi_read_data(void* ftdi, unsigned char* buf,
                                                          int size) {
    vtarget::FtdiAccess access;
    Context& context = vtarget::contexts[ftdi];
    Ft232r* device = vtarget::held(access, context);
    if (device == nullptr) return vtarget::fail(context, -666, "USB device unavailable");
    if (size <= 0) return 0;
    long got = device->read(buf, static_cast<std::size_t>(size));
    if (got < 0) {
        return vtarget::fail(context, vtarget::dialect().readFailed, "usb bulk read failed");
    }
    return static_cast<int>(got);
}

__attribute__((visibility("default"))) const char* ftdi_get_error_string(void* ftdi) {
    {
        vtarget::FtdiAccess access;
        auto found = vtarget::contexts.find(ftdi);
        if (found != vtarget::contexts.end()) return found->second.error;
    }
    auto* f = vtarget::real<const char*(void*)>("ftdi_get_error_string");
    return f != nullptr ? f(ftdi) : "";
}

}  // extern "C"
