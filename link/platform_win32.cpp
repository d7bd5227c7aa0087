// The Win32 serial port back end: each platform function is one Win32 call.
#include <windows.h>

#include "link/platform.h"

namespace platform {

static HANDLE port = INVALID_HANDLE_VALUE;

// Opens "COM1:" exclusively, an existing device only; configures nothing.
bool open() {
    port = CreateFileA("COM1:", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    return port != INVALID_HANDLE_VALUE;
}

// Sets or clears one output line with one EscapeCommFunction; its result is not examined.
void set(PortLine line, bool level) {
    DWORD function = 0;
    switch (line) {
        case PortLine::Rts:
            function = level ? SETRTS : CLRRTS;
            break;
        case PortLine::Dtr:
            function = level ? SETDTR : CLRDTR;
            break;
        case PortLine::TxBreak:
            function = level ? SETBREAK : CLRBREAK;
            break;
        case PortLine::Dsr:
            // An input line: nothing to drive.
            return;
    }
    EscapeCommFunction(port, function);
}

// Reads DSR with one GetCommModemStatus; a failed query leaves the status 0, so reads false.
bool get(PortLine) {
    DWORD status = 0;
    GetCommModemStatus(port, &status);
    return (status & MS_DSR_ON) != 0;
}

// Closes the port handle.
void close() {
    CloseHandle(port);
    port = INVALID_HANDLE_VALUE;
}

// Blocks for at least ms milliseconds.
void sleepMs(unsigned ms) {
    Sleep(ms);
}

}  // namespace platform
