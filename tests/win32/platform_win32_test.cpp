// The Win32 back end against recording stand-ins for the Win32 calls: which
// calls it makes, with which arguments, and how it reads their results.
#include <gtest/gtest.h>
#include <windows.h>

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

// A handle as the calls show it.
std::string of(const void* handle) {
    return handle == kPort ? "port" : handle == nullptr ? "0" : "?";
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
    const std::string open = " 3221225472 0 0 3 0 0";
    EXPECT_EQ(
        calls,
        (std::vector<std::string>{
            "CreateFileA COM1:" + open, "CreateFileA \\\\.\\COM12" + open, "timeBeginPeriod 1",
            "Escape port 3", "Escape port 4", "Escape port 5", "Escape port 6", "Escape port 8",
            "Escape port 9", "Escape port 3", "GetCommModemStatus port", "GetCommModemStatus port",
            "GetCommModemStatus port", "Sleep 10", "CloseHandle port", "timeEndPeriod 1"}));
}

}  // namespace

HANDLE WINAPI CreateFileA(LPCSTR fileName, DWORD desiredAccess, DWORD shareMode,
                          LPSECURITY_ATTRIBUTES security, DWORD creation, DWORD flags,
                          HANDLE templateFile) {
    calls.push_back("CreateFileA " + std::string(fileName) + " " + std::to_string(desiredAccess) +
                    " " + std::to_string(shareMode) + " " + of(security) + " " +
                    std::to_string(creation) + " " + std::to_string(flags) + " " +
                    of(templateFile));
    return createResult;
}

BOOL WINAPI EscapeCommFunction(HANDLE file, DWORD function) {
    calls.push_back("Escape " + of(file) + " " + std::to_string(function));
    return escapeResult;
}

// A failed query writes no status.
BOOL WINAPI GetCommModemStatus(HANDLE file, LPDWORD modemStat) {
    calls.push_back("GetCommModemStatus " + of(file));
    if (modemQueryResult) *modemStat = modemStatus;
    return modemQueryResult;
}

BOOL WINAPI CloseHandle(HANDLE object) {
    calls.push_back("CloseHandle " + of(object));
    return TRUE;
}

void WINAPI Sleep(DWORD milliseconds) {
    calls.push_back("Sleep " + std::to_string(milliseconds));
}

MMRESULT WINAPI timeBeginPeriod(UINT period) {
    calls.push_back("timeBeginPeriod " + std::to_string(period));
    return 0;
}

MMRESULT WINAPI timeEndPeriod(UINT period) {
    calls.push_back("timeEndPeriod " + std::to_string(period));
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
