// The output file on Windows: a handle opened to see what a name stands for,
// _wopen with _O_EXCL for the temporary file, _commit, and ReplaceFile, which
// keeps the replaced file's attributes and access control list. Paths are
// full \\?\ paths of the wide calls, which take names of any length: the
// temporary file's name must never be the one that is too long. Temporary
// names are random (rand_s, the system's RtlGenRandom).
#define _CRT_RAND_S
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "image/output.h"

namespace image::output {

namespace {

constexpr DWORD kMaxPathChars = 32768;
// Names are random: only a crowd of other files could take every one tried.
constexpr unsigned kAttempts = 100;
// A temporary file's name: ".quillet-", six of the alphabet's characters
// and ".tmp", as mkstemp makes them.
constexpr std::size_t kRandomChars = 6;
constexpr wchar_t kAlphabet[] = L"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";

wchar_t target[kMaxPathChars];
bool targetExists = false;
wchar_t temporary[kMaxPathChars + 32];
wchar_t given[kMaxPathChars];
wchar_t scratch[kMaxPathChars];
int fd = -1;
// The last failure: a C library errno, or a Win32 error code where one is set.
int lastErrno = 0;
DWORD lastWin32 = 0;
// A temporary file left in place because the file it was to replace is gone.
char kept[kMaxPathChars];
char reasonText[sizeof kept + 256];

bool failWithErrno(int error) {
    lastErrno = error;
    lastWin32 = 0;
    kept[0] = '\0';
    return false;
}

bool failWithWin32(DWORD error) {
    lastWin32 = error;
    kept[0] = '\0';
    return false;
}

// The full path of path, in the program's code page, into scratch.
bool fullPathOf(const char* path) {
    if (MultiByteToWideChar(CP_ACP, 0, path, -1, given, kMaxPathChars) == 0) {
        return failWithWin32(GetLastError());
    }
    DWORD length = GetFullPathNameW(given, kMaxPathChars, scratch, nullptr);
    if (length == 0) return failWithWin32(GetLastError());
    return length < kMaxPathChars || failWithErrno(ENAMETOOLONG);
}

// Remembers scratch, a full path, as target in the \\?\ form.
bool rememberScratch() {
    const wchar_t* prefix = L"\\\\?\\";
    const wchar_t* rest = scratch;
    if (std::wcsncmp(scratch, L"\\\\?\\", 4) == 0) {
        prefix = L"";
    } else if (std::wcsncmp(scratch, L"\\\\", 2) == 0) {
        prefix = L"\\\\?\\UNC\\";
        rest = scratch + 2;
    }
    int length = std::swprintf(target, kMaxPathChars, L"%ls%ls", prefix, rest);
    return length > 0 || failWithErrno(ENAMETOOLONG);
}

// What an open handle stands for; false when the system cannot tell.
bool kindOf(HANDLE file, Kind& kind) {
    DWORD type = GetFileType(file);
    BY_HANDLE_FILE_INFORMATION info{};
    if (type == FILE_TYPE_PIPE) {
        kind = Kind::Fifo;
    } else if (type != FILE_TYPE_DISK) {
        kind = Kind::Device;
    } else if (!GetFileInformationByHandle(file, &info)) {
        return failWithWin32(GetLastError());
    } else {
        bool directory = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        kind = directory ? Kind::Directory : Kind::Regular;
    }
    return true;
}

// The path a link leads to, which comes in the \\?\ form.
bool rememberFinalPath(HANDLE file) {
    DWORD length = GetFinalPathNameByHandleW(file, target, kMaxPathChars,
                                             FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length == 0) return failWithWin32(GetLastError());
    return length < kMaxPathChars || failWithErrno(ENAMETOOLONG);
}

// Six random characters of the alphabet into letters. Where rand_s fails,
// the clock and the attempt still make a name that differs each time.
void randomLetters(wchar_t* letters, unsigned attempt) {
    for (std::size_t i = 0; i < kRandomChars; ++i) {
        unsigned value = 0;
        if (rand_s(&value) != 0) value = GetTickCount() * 2654435761u + attempt * 40503u + i;
        letters[i] = kAlphabet[value % (sizeof kAlphabet / sizeof kAlphabet[0] - 1)];
    }
    letters[kRandomChars] = L'\0';
}

bool writeAll(int to, const char* text, std::size_t size) {
    while (size > 0) {
        unsigned chunk = size > 0x10000 ? 0x10000u : static_cast<unsigned>(size);
        int written = _write(to, text, chunk);
        if (written <= 0) return failWithErrno(written < 0 ? errno : EIO);
        text += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

}  // namespace

bool inspect(const char* path, Kind& kind) {
    targetExists = false;
    if (!fullPathOf(path)) return false;
    // NUL, CON, COM1 and the like (NUL.hex too, on older systems) and names
    // in the device namespace have full paths \\.\NAME. They are told by name
    // alone: opening a serial port, even to look at it, can move its lines.
    if (std::wcsncmp(scratch, L"\\\\.\\", 4) == 0) {
        kind = Kind::Device;
        return true;
    }
    if (!rememberScratch()) return false;
    // The name itself: a link is not followed.
    DWORD attributes = GetFileAttributesW(target);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        DWORD error = GetLastError();
        if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) {
            return failWithWin32(error);
        }
        kind = Kind::Missing;
        return true;
    }
    // What a link leads to; a directory opens only with backup semantics.
    HANDLE file = CreateFileW(target, FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) {
            return failWithWin32(error);
        }
        kind = Kind::BrokenLink;
        return true;
    }
    bool known = kindOf(file, kind);
    targetExists = known && kind == Kind::Regular;
    bool link = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    bool remembered = !targetExists || !link || rememberFinalPath(file);
    CloseHandle(file);
    return known && remembered;
}

// Nothing is refused as another user's link or file on Windows.
const char* refusedName() {
    return "";
}

const char* refusedOwner() {
    return "";
}

bool createTemporary() {
    discard();
    int directoryLength = static_cast<int>(std::wcsrchr(target, L'\\') - target + 1);
    for (unsigned attempt = 0; fd < 0 && attempt < kAttempts; ++attempt) {
        wchar_t letters[kRandomChars + 1];
        randomLetters(letters, attempt);
        std::swprintf(temporary, kMaxPathChars + 32, L"%.*ls.quillet-%ls.tmp", directoryLength,
                      target, letters);
        fd = _wopen(temporary, _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT,
                    _S_IREAD | _S_IWRITE);
        if (fd < 0 && errno != EEXIST) break;
    }
    if (fd >= 0) return true;
    temporary[0] = L'\0';
    return failWithErrno(errno);
}

bool writeTemporary(const char* text, std::size_t size) {
    return writeAll(fd, text, size);
}

bool flushTemporary() {
    int error = _commit(fd) == 0 ? 0 : errno;
    if (_close(fd) != 0 && error == 0) error = errno;
    fd = -1;
    return error == 0 || failWithErrno(error);
}

bool replace() {
    DWORD error = ERROR_FILE_NOT_FOUND;
    if (targetExists) {
        if (ReplaceFileW(target, temporary, nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr,
                         nullptr)) {
            temporary[0] = L'\0';
            return true;
        }
        error = GetLastError();
    }
    // Where the earlier file is gone by now, the temporary file takes its name.
    bool gone = error == ERROR_FILE_NOT_FOUND || error == ERROR_UNABLE_TO_MOVE_REPLACEMENT ||
                error == ERROR_UNABLE_TO_MOVE_REPLACEMENT_2;
    if (!gone) return failWithWin32(error);
    if (MoveFileExW(temporary, target, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        temporary[0] = L'\0';
        return true;
    }
    failWithWin32(GetLastError());
    if (!targetExists) return false;
    // It is then the one copy left of the chip's memory: it stays.
    WideCharToMultiByte(CP_ACP, 0, temporary, -1, kept, sizeof kept, nullptr, nullptr);
    temporary[0] = L'\0';
    return false;
}

void discard() {
    if (fd >= 0) _close(fd);
    fd = -1;
    if (temporary[0] != L'\0') _wunlink(temporary);
    temporary[0] = L'\0';
}

bool writeStandardOutput(const char* text, std::size_t size) {
    // As they are: the records end in "\n" alone.
    _setmode(_fileno(stdout), _O_BINARY);
    return writeAll(_fileno(stdout), text, size);
}

const char* reason() {
    if (lastWin32 == 0) return std::strerror(lastErrno);
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, lastWin32, 0, reasonText, 256, nullptr);
    // The system's sentence ends in ".\r\n"; the message goes on after it.
    while (length > 0 && std::strchr(". \r\n", reasonText[length - 1]) != nullptr)
        reasonText[--length] = '\0';
    if (length == 0) {
        length = static_cast<DWORD>(std::snprintf(reasonText, 256, "system error %lu",
                                                  static_cast<unsigned long>(lastWin32)));
    }
    if (kept[0] != '\0') {
        std::snprintf(reasonText + length, sizeof reasonText - length, "; the backup is left in %s",
                      kept);
    }
    return reasonText;
}

}  // namespace image::output

namespace image::output {

// Windows ends a run through its console control handler (run/signals_win32.cpp),
// which runs in a thread of its own, stops no write and removes nothing.
void stop() {}

bool stopped() {
    return false;
}

void abandon() {}

}  // namespace image::output
