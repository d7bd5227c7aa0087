// Stands in for <windows.h> when the Win32 back end is built for the call
// sequence test: only what the back end may call, with the SDK's values, so
// a call it should not make does not compile. Each call is recorded as a
// line in fake::calls, and answers as the fake:: settings say.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

using BOOL = int;
using DWORD = std::uint32_t;
using LPDWORD = DWORD*;
using LPCSTR = const char*;
using HANDLE = void*;
using LPSECURITY_ATTRIBUTES = void*;
using UINT = unsigned;
using MMRESULT = UINT;
union LARGE_INTEGER {
    long long QuadPart;
};

#define WINAPI
#define FALSE 0
#define TRUE 1
#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1)))

#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define OPEN_EXISTING 3
#define MAX_PATH 260

#define SETRTS 3
#define CLRRTS 4
#define SETDTR 5
#define CLRDTR 6
#define SETBREAK 8
#define CLRBREAK 9

#define MS_DSR_ON ((DWORD)0x0020)

#define ERROR_ACCESS_DENIED 5L
#define ERROR_GEN_FAILURE 31L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_FILENAME_EXCED_RANGE 206L

namespace fake {

inline HANDLE const kPort = reinterpret_cast<HANDLE>(0x5eed);
inline std::vector<std::string> calls;
inline HANDLE createResult = kPort;
inline BOOL escapeResult = TRUE;
inline BOOL modemQueryResult = TRUE;
inline DWORD modemStatus = 0;
inline DWORD lastError = ERROR_ACCESS_DENIED;

// A handle as the calls show it.
inline std::string of(const void* handle) {
    return handle == kPort ? "port" : handle == nullptr ? "0" : "?";
}

}  // namespace fake

inline HANDLE WINAPI CreateFileA(LPCSTR fileName, DWORD desiredAccess, DWORD shareMode,
                                 LPSECURITY_ATTRIBUTES security, DWORD creation, DWORD flags,
                                 HANDLE templateFile) {
    fake::calls.push_back("CreateFileA " + std::string(fileName) + " " +
                          std::to_string(desiredAccess) + " " + std::to_string(shareMode) + " " +
                          fake::of(security) + " " + std::to_string(creation) + " " +
                          std::to_string(flags) + " " + fake::of(templateFile));
    return fake::createResult;
}

inline BOOL WINAPI EscapeCommFunction(HANDLE file, DWORD function) {
    fake::calls.push_back("Escape " + fake::of(file) + " " + std::to_string(function));
    return fake::escapeResult;
}

// A failed query writes no status.
inline BOOL WINAPI GetCommModemStatus(HANDLE file, LPDWORD modemStat) {
    fake::calls.push_back("GetCommModemStatus " + fake::of(file));
    if (fake::modemQueryResult) *modemStat = fake::modemStatus;
    return fake::modemQueryResult;
}

inline DWORD WINAPI GetLastError() {
    return fake::lastError;
}

#define FORMAT_MESSAGE_IGNORE_INSERTS 0x00000200
#define FORMAT_MESSAGE_FROM_SYSTEM 0x00001000

// The text of ERROR_ACCESS_DENIED, with the line end Windows puts after it.
inline DWORD WINAPI FormatMessageA(DWORD flags, const void*, DWORD messageId, DWORD, char* buffer,
                                   DWORD size, void*) {
    fake::calls.push_back("FormatMessageA " + std::to_string(flags) + " " +
                          std::to_string(messageId));
    if (messageId != ERROR_ACCESS_DENIED || size < 20) return 0;
    std::snprintf(buffer, size, "Access is denied.\r\n");
    return 19;
}

inline BOOL WINAPI CloseHandle(HANDLE object) {
    fake::calls.push_back("CloseHandle " + fake::of(object));
    return TRUE;
}

inline void WINAPI Sleep(DWORD milliseconds) {
    fake::calls.push_back("Sleep " + std::to_string(milliseconds));
}

inline MMRESULT WINAPI timeBeginPeriod(UINT period) {
    fake::calls.push_back("timeBeginPeriod " + std::to_string(period));
    return 0;
}

inline MMRESULT WINAPI timeEndPeriod(UINT period) {
    fake::calls.push_back("timeEndPeriod " + std::to_string(period));
    return 0;
}

// 2.5 s on a 10-MHz counter.
inline BOOL WINAPI QueryPerformanceFrequency(LARGE_INTEGER* frequency) {
    frequency->QuadPart = 10000000;
    return TRUE;
}

inline BOOL WINAPI QueryPerformanceCounter(LARGE_INTEGER* count) {
    count->QuadPart = 25000000;
    return TRUE;
}
