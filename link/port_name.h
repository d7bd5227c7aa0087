// The port-name grammar of --port:
//   ftdi, ftdi:SERIAL           an FTDI chip in synchronous bit-bang mode
//   usb:VID:PID[:SERIAL]        the serial port of that USB adapter (VID and
//                               PID in hexadecimal, one to four digits)
//   anything else               a device path or COM name, "COM1:" included;
//                               ./ftdi reaches a file of that name
#pragma once

namespace port {

enum class PortKind { Device, Ftdi, UsbSerial, Malformed };

struct PortName {
    PortKind kind;
    const char* device;  // Device: the name as given
    const char* serial;  // Ftdi and UsbSerial: the serial number, or "" for any
    unsigned vid, pid;   // UsbSerial
};

// Reads text as a port name; a name that begins "ftdi:" or "usb:" and does
// not fit its form is Malformed.
PortName parsePortName(const char* text);

}  // namespace port
