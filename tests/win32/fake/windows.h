// Stands in for <windows.h> when the Win32 back end is built for the call
// sequence test: only what the back end may call, with the SDK's values, so
// a call it should not make does not compile.
#pragma once

#include <cstddef>
#include <cstdint>

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

HANDLE WINAPI CreateFileA(LPCSTR fileName, DWORD desiredAccess, DWORD shareMode,
                          LPSECURITY_ATTRIBUTES securityAttributes, DWORD creationDisposition,
                          DWORD flagsAndAttributes, HANDLE templateFile);
BOOL WINAPI EscapeCommFunction(HANDLE file, DWORD function);
BOOL WINAPI GetCommModemStatus(HANDLE file, LPDWORD modemStat);
BOOL WINAPI CloseHandle(HANDLE object);
void WINAPI Sleep(DWORD milliseconds);
MMRESULT WINAPI timeBeginPeriod(UINT period);
MMRESULT WINAPI timeEndPeriod(UINT period);
BOOL WINAPI QueryPerformanceFrequency(LARGE_INTEGER* frequency);
BOOL WINAPI QueryPerformanceCounter(LARGE_INTEGER* count);
