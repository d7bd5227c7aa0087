#include "link/port_name.h"

#include <cstring>

namespace port {

namespace {

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// One to four hexadecimal digits up to the next ":" or the end; text is
// left after them. False when they are not there.
bool readId(const char*& text, unsigned& id) {
    int digits = 0;
    id = 0;
    for (; hexDigit(*text) >= 0; ++text, ++digits)
        id = id * 16 + static_cast<unsigned>(hexDigit(*text));
    return digits >= 1 && digits <= 4 && (*text == ':' || *text == '\0');
}

}  // namespace

PortName parsePortName(const char* text) {
    PortName name{PortKind::Device, text, "", 0, 0};
    if (std::strcmp(text, "ftdi") == 0) {
        name.kind = PortKind::Ftdi;
    } else if (std::strncmp(text, "ftdi:", 5) == 0) {
        name.kind = text[5] != '\0' ? PortKind::Ftdi : PortKind::Malformed;
        name.serial = text + 5;
    } else if (std::strncmp(text, "usb:", 4) == 0) {
        const char* at = text + 4;
        bool ids = readId(at, name.vid) && *at++ == ':' && readId(at, name.pid);
        if (ids && *at == ':') name.serial = ++at;
        name.kind =
            ids && (*at != '\0' || at[-1] != ':') ? PortKind::UsbSerial : PortKind::Malformed;
    }
    return name;
}

}  // namespace port
