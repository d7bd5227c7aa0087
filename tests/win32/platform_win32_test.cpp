// The Win32 back end against recording stand-ins for the Win32 calls: which
// calls it makes, with which arguments, and how it reads their results.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <string>
#include <tuple>
#include <vector>

#include "link/platform.h"

namespace {

HANDLE const kPort = reinterpret_cast<HANDLE>(0x5eed);

std::vector<std::string> calls;
HANDLE createResult = kPort;
BOOL escapeResult = TRUE;
BOOL modemQueryResult = TRUE;
DWORD modemStatus = 0;

unsigned long id(const void* handle) {
    return static_cast<unsigned long>(reinterpret_cast<std::uintptr_t>(handle));
}

void record(const char* format, ...) {
    char text[160];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    calls.push_back(text);
}

// Each operation is one call on the opened handle; a bare port name gets its
// device prefix, and the run asks for 1-ms timer resolution while the port is open.
TEST(Win32Platform, CallsAndTheirResults) {
    createResult = INVALID_HANDLE_VALUE;
    EXPECT_FALSE(platform::open("COM1:"));
    createResult = kPort;
    EXPECT_TRUE(platform::open("COM12"));
    for (auto line :
         {platform::PortLine::Rts, platform::PortLine::Dtr, platform::PortLine::TxBreak}) {
        EXPECT_TRUE(platform::set(line, true));
        EXPECT_TRUE(platform::set(line, false));
    }
    escapeResult = FALSE;
    EXPECT_FALSE(platform::set(platform::PortLine::Rts, true));
    // Only the DSR bit counts, and a failed query reads as DSR off.
    for (auto [status, succeeds, dsr] : {std::tuple{~MS_DSR_ON, TRUE, false},
                                         {MS_DSR_ON, TRUE, true},
                                         {MS_DSR_ON, FALSE, false}}) {
        modemStatus = status;
        modemQueryResult = succeeds;
        bool level = !dsr;
        EXPECT_EQ(platform::get(platform::PortLine::Dsr, level), succeeds == TRUE);
        EXPECT_EQ(level, dsr) << std::hex << status;
    }
    platform::sleepMs(10);
    EXPECT_EQ(platform::nowUs(), 2500000u);
    platform::close();
    const std::string open = " c0000000 share 0 security 0 3 flags 0 template 0";
    EXPECT_EQ(
        calls,
        (std::vector<std::string>{
            "CreateFileA COM1:" + open, "CreateFileA \\\\.\\COM12" + open, "timeBeginPeriod 1",
            "Escape 5eed 3", "Escape 5eed 4", "Escape 5eed 5", "Escape 5eed 6", "Escape 5eed 8",
            "Escape 5eed 9", "Escape 5eed 3", "GetCommModemStatus 5eed", "GetCommModemStatus 5eed",
            "GetCommModemStatus 5eed", "Sleep 10", "CloseHandle 5eed", "timeEndPeriod 1"}));
}

}  // namespace

HANDLE WINAPI CreateFileA(LPCSTR fileName, DWORD desiredAccess, DWORD shareMode,
                          LPSECURITY_ATTRIBUTES securityAttributes, DWORD creationDisposition,
                          DWORD flagsAndAttributes, HANDLE templateFile) {
    record("CreateFileA %s %x share %x security %lx %u flags %x template %lx", fileName,
           desiredAccess, shareMode, id(securityAttributes), creationDisposition,
           flagsAndAttributes, id(templateFile));
    return createResult;
}

BOOL WINAPI EscapeCommFunction(HANDLE file, DWORD function) {
    record("Escape %lx %u", id(file), function);
    return escapeResult;
}

// A failed query writes no status.
BOOL WINAPI GetCommModemStatus(HANDLE file, LPDWORD modemStat) {
    record("GetCommModemStatus %lx", id(file));
    if (modemQueryResult) *modemStat = modemStatus;
    return modemQueryResult;
}

BOOL WINAPI CloseHandle(HANDLE object) {
    record("CloseHandle %lx", id(object));
    return TRUE;
}

void WINAPI Sleep(DWORD milliseconds) {
    record("Sleep %u", milliseconds);
}

MMRESULT WINAPI timeBeginPeriod(UINT period) {
    record("timeBeginPeriod %u", period);
    return 0;
}

MMRESULT WINAPI timeEndPeriod(UINT period) {
    record("timeEndPeriod %u", period);
    return 0;
}

// 2.5 s on a 10-MHz counter.
BOOL WINAPI QueryPerformanceFrequency(LARGE_INTEGER* frequency) {
    frequency->QuadPart = 10000000;
    return TRUE;
}

BOOL WINAPI QueryPerformanceCounter(LARGE_INTEGER* count) {
    count->QuadPart = 25000000;
    return TRUE;
}
