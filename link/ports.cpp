#include "link/ports.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "link/ftdi.h"
#include "text/printable.h"

namespace port {

namespace {

const char* root = "";

// The chips behind the USB ids of the common adapters, from the Linux
// drivers' id tables (drivers/usb/serial/ftdi_sio_ids.h, ch341.c, cp210x.c,
// pl2303.h); pid 0 stands for any other of the vendor's.
const struct {
    unsigned vid, pid;
    const char* family;
} kFamilies[] = {
    {0x0403, 0x6001, "FT232R"}, {0x0403, 0x6015, "FT-X"},   {0x0403, 0x6010, "FT2232"},
    {0x0403, 0x6011, "FT4232"}, {0x0403, 0x6014, "FT232H"}, {0x0403, 0, "FTDI"},
    {0x1a86, 0x7523, "CH340"},  {0x1a86, 0x5523, "CH341"},  {0x1a86, 0, "WCH"},
    {0x10c4, 0, "CP210x"},      {0x067b, 0, "PL2303"},
};

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// Names in the order people count: ttyS2 before ttyS10, COM9 before COM10.
bool before(const FoundPort& a, const FoundPort& b) {
    const char* x = a.name;
    const char* y = b.name;
    while (*x != '\0' && *y != '\0') {
        if (isDigit(*x) && isDigit(*y)) {
            char* xEnd = nullptr;
            char* yEnd = nullptr;
            unsigned long m = std::strtoul(x, &xEnd, 10);
            unsigned long n = std::strtoul(y, &yEnd, 10);
            if (m != n) return m < n;
            x = xEnd;
            y = yEnd;
        } else if (*x != *y) {
            return static_cast<unsigned char>(*x) < static_cast<unsigned char>(*y);
        } else {
            ++x;
            ++y;
        }
    }
    return *x == '\0' && *y != '\0';
}

// Appends to line, which holds used characters of size.
void append(char* line, std::size_t size, std::size_t& used, const char* format, ...) {
    if (used >= size) return;
    va_list args;
    va_start(args, format);
    int added = std::vsnprintf(line + used, size - used, format, args);
    va_end(args);
    if (added > 0) used += static_cast<std::size_t>(added);
}

}  // namespace

FoundPort* addPort(FoundPorts& found) {
    if (found.count == kMaxPorts) {
        ++found.leftOut;
        return nullptr;
    }
    FoundPort* port = &found.ports[found.count++];
    *port = FoundPort{};
    return port;
}

bool wanted(const FoundPorts& found, const FoundPort& port) {
    const UsbWanted& usb = found.wanted;
    if (!usb.only) return true;
    return port.usb && !port.bitBang && port.vid == usb.vid && port.pid == usb.pid &&
           (usb.serial[0] == '\0' || std::strcmp(port.serial, usb.serial) == 0);
}

void listPorts(FoundPorts& found) {
    found.count = 0;
    found.leftOut = 0;
    found.wanted = UsbWanted{};
    findSerialPorts(found);
    std::sort(found.ports, found.ports + found.count, before);
    findFtdiChips(found);
}

void describePort(const FoundPort& port, char* line, std::size_t size) {
    std::size_t used = 0;
    line[0] = '\0';
    // Each string from outside (a USB device's own, above all) with its
    // control characters escaped: room for every byte as \xNN.
    char name[4 * sizeof port.name];
    char driver[4 * sizeof port.driver];
    char serial[4 * sizeof port.serial];
    char product[4 * sizeof port.product];
    char group[4 * sizeof port.group];
    const char* family = port.family[0] != '\0' ? port.family : port.usb ? "USB" : "serial";
    append(line, size, used, "%s  %s%s", text::printable(port.name, name, sizeof name), family,
           port.bitBang ? " bit-bang" : "");
    if (port.driver[0] != '\0') {
        append(line, size, used, " (%s)", text::printable(port.driver, driver, sizeof driver));
    }
    if (port.usb) {
        append(line, size, used, " %04x:%04x", port.vid, port.pid);
        if (port.serial[0] != '\0') {
            append(line, size, used, "  serial %s",
                   text::printable(port.serial, serial, sizeof serial));
        } else {
            append(line, size, used, "  no serial number");
        }
        if (port.product[0] != '\0') {
            append(line, size, used, "  \"%s\"",
                   text::printable(port.product, product, sizeof product));
        }
    }
    if (port.state == PortState::InUse) append(line, size, used, "  in use");
    if (port.state == PortState::Console) append(line, size, used, "  system console, refused");
    if (port.state == PortState::BadLock) {
        append(line, size, used, "  lock file names no process, refused");
    }
    if (port.state == PortState::NoAccess) {
        append(line, size, used, "  no permission");
        if (port.group[0] != '\0') {
            append(line, size, used, " (group %s)",
                   text::printable(port.group, group, sizeof group));
        }
    }
}

std::size_t matchUsb(FoundPorts& found, unsigned vid, unsigned pid, const char* serial,
                     const FoundPort*& match) {
    found.count = 0;
    found.leftOut = 0;
    // Only the matching ones are kept: none is lost to the list's room.
    found.wanted = UsbWanted{true, vid, pid, serial};
    findSerialPorts(found);
    std::sort(found.ports, found.ports + found.count, before);
    std::size_t matches = 0;
    match = nullptr;
    for (std::size_t i = 0; i < found.count; ++i) {
        if (!wanted(found, found.ports[i])) continue;
        if (matches++ == 0) match = &found.ports[i];
    }
    found.wanted = UsbWanted{};
    return matches + found.leftOut;
}

const char* familyOf(unsigned vid, unsigned pid) {
    for (const auto& row : kFamilies) {
        if (row.vid == vid && (row.pid == pid || row.pid == 0)) return row.family;
    }
    return "";
}

void setSystemRoot(const char* dir) {
    root = dir;
}

const char* systemRoot() {
    return root;
}

}  // namespace port
