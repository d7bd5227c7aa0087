// The standard handles on Windows.
#include <io.h>
#include <windows.h>

#include <cstdio>

#include "run/streams.h"

namespace run {

namespace {

bool isOpen(HANDLE handle) {
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return false;
    SetLastError(NO_ERROR);
    return GetFileType(handle) != FILE_TYPE_UNKNOWN || GetLastError() == NO_ERROR;
}

}  // namespace

bool openClosedStandardStreams(bool& outputClosed) {
    outputClosed = false;
    const struct {
        DWORD id;
        std::FILE* stream;
        const char* mode;
    } streams[] = {{STD_INPUT_HANDLE, stdin, "rb"},
                   {STD_OUTPUT_HANDLE, stdout, "wb"},
                   {STD_ERROR_HANDLE, stderr, "wb"}};
    for (const auto& s : streams) {
        if (isOpen(GetStdHandle(s.id))) continue;
        if (s.id == STD_OUTPUT_HANDLE) outputClosed = true;
        if (std::freopen("NUL", s.mode, s.stream) == nullptr) return false;
        SetStdHandle(s.id, reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(s.stream))));
    }
    return true;
}

}  // namespace run
