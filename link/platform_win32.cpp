// The Win32 serial port back end: each line and status function is one Win32 call.
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "link/platform.h"

namespace platform {

static HANDLE port = INVALID_HANDLE_VALUE;

// "COM1:" and other names that end in ":" or already have a device prefix
// open as they are; a bare name such as COM10 needs the \\.\ prefix, which
// every port name accepts.
namespace {

Result failure() {
    DWORD error = GetLastError();
    return Result{error != 0 ? static_cast<int>(error) : static_cast<int>(ERROR_GEN_FAILURE)};
}

}  // namespace

Result open(const char* name) {
    char path[MAX_PATH];
    bool asGiven =
        std::strncmp(name, "\\\\", 2) == 0 || name[0] == '\0' || name[std::strlen(name) - 1] == ':';
    int length = std::snprintf(path, sizeof path, asGiven ? "%s" : "\\\\.\\%s", name);
    if (length < 0 || length >= static_cast<int>(sizeof path)) {
        return Result{static_cast<int>(ERROR_FILENAME_EXCED_RANGE)};
    }
    port = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    if (port == INVALID_HANDLE_VALUE) return failure();
    // Sleep(10) would otherwise last a whole 15.6-ms scheduler tick.
    timeBeginPeriod(1);
    return Result{};
}

// Sets or clears one output line with one EscapeCommFunction.
Result set(PortLine line, bool level) {
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
            return Result{static_cast<int>(ERROR_INVALID_PARAMETER)};
    }
    return EscapeCommFunction(port, function) != FALSE ? Result{} : failure();
}

// Reads DSR with one GetCommModemStatus; a failed query reads false.
Result get(PortLine, bool& level) {
    DWORD status = 0;
    bool answered = GetCommModemStatus(port, &status) != FALSE;
    level = answered && (status & MS_DSR_ON) != 0;
    return answered ? Result{} : failure();
}

// Closes the port handle and gives the timer resolution back.
void close() {
    CloseHandle(port);
    port = INVALID_HANDLE_VALUE;
    timeEndPeriod(1);
}

// The system's text for the error, without the line end it comes with.
const char* describe(int error) {
    static char text[256];
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL,
                                  static_cast<DWORD>(error), 0, text, sizeof text, NULL);
    while (length > 0 &&
           (text[length - 1] == '\n' || text[length - 1] == '\r' || text[length - 1] == '.'))
        --length;
    if (length == 0) std::snprintf(text, sizeof text, "error %d", error);
    text[length == 0 ? std::strlen(text) : length] = '\0';
    return text;
}

std::uint64_t nowUs() {
    LARGE_INTEGER frequency;
    LARGE_INTEGER count;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&count);
    auto ticks = static_cast<std::uint64_t>(count.QuadPart);
    auto perSecond = static_cast<std::uint64_t>(frequency.QuadPart);
    return ticks / perSecond * 1000000u + ticks % perSecond * 1000000u / perSecond;
}

// Whole milliseconds with Sleep, a rest below one by watching the clock.
void sleepUs(std::uint64_t us) {
    std::uint64_t deadline = nowUs() + us;
    if (us >= 1000) Sleep(static_cast<DWORD>(us / 1000));
    while (us % 1000 != 0 && nowUs() < deadline) {
    }
}

}  // namespace platform
