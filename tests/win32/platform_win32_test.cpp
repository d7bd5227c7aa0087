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

TEST(Win32Platform, EachOperationIsOneCallOnTheOpenedHandle) {
    createResult = INVALID_HANDLE_VALUE;
    EXPECT_FALSE(platform::open());
    createResult = kPort;
    EXPECT_TRUE(platform::open());
    platform::set(platform::PortLine::Rts, true);
    platform::set(platform::PortLine::Rts, false);
    platform::set(platform::PortLine::Dtr, true);
    platform::set(platform::PortLine::Dtr, false);
    platform::set(platform::PortLine::TxBreak, true);
    platform::set(platform::PortLine::TxBreak, false);
    platform::sleepMs(10);
    platform::close();
    const std::string open = "CreateFileA COM1: c0000000 share 0 security 0 3 flags 0 template 0";
    EXPECT_EQ(calls, (std::vector<std::string>{open, open, "Escape 5eed 3", "Escape 5eed 4",
                                               "Escape 5eed 5", "Escape 5eed 6", "Escape 5eed 8",
                                               "Escape 5eed 9", "Sleep 10", "CloseHandle 5eed"}));
}

// Only the DSR bit counts, and a failed query reads as DSR off.
TEST(Win32Platform, GetReadsOnlyTheDsrBitOfOneModemStatusQuery) {
    EXPECT_TRUE(platform::open());
    for (auto [status, succeeds, dsr] : {std::tuple{DWORD{0}, TRUE, false},
                                         {MS_DSR_ON, TRUE, true},
                                         {~MS_DSR_ON, TRUE, false},
                                         {0xFFFFFFFFu, TRUE, true},
                                         {MS_DSR_ON, FALSE, false}}) {
        calls.clear();
        modemStatus = status;
        modemQueryResult = succeeds;
        EXPECT_EQ(platform::get(platform::PortLine::Dsr), dsr) << std::hex << status;
        EXPECT_EQ(calls, std::vector<std::string>{"GetCommModemStatus 5eed"});
    }
    platform::close();
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
    return TRUE;
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
