// The Win32 back end against recording stand-ins for the Win32 calls: which
// calls it makes, with which arguments, and how it reads their results.
#include <gtest/gtest.h>
#include <windows.h>

#include <tuple>

#include "link/platform.h"

namespace {

using namespace fake;

// Each operation is one call on the opened handle; a bare port name gets its
// device prefix, and the run asks for 1-ms timer resolution while the port is open.
TEST(Win32Platform, CallsAndTheirResults) {
    createResult = INVALID_HANDLE_VALUE;
    EXPECT_EQ(platform::open("COM1:").error, ERROR_ACCESS_DENIED);
    createResult = kPort;
    EXPECT_TRUE(platform::open("COM12"));
    for (auto line :
         {platform::PortLine::Rts, platform::PortLine::Dtr, platform::PortLine::TxBreak}) {
        EXPECT_TRUE(platform::set(line, true));
        EXPECT_TRUE(platform::set(line, false));
    }
    EXPECT_EQ(platform::set(platform::PortLine::Dsr, true).error, ERROR_INVALID_PARAMETER);
    escapeResult = FALSE;
    EXPECT_EQ(platform::set(platform::PortLine::Rts, true).error, ERROR_ACCESS_DENIED);
    // Only the DSR bit counts, and a failed query reads as DSR off.
    for (auto [status, succeeds, dsr] : {std::tuple{~MS_DSR_ON, TRUE, false},
                                         {MS_DSR_ON, TRUE, true},
                                         {MS_DSR_ON, FALSE, false}}) {
        modemStatus = status;
        modemQueryResult = succeeds;
        bool level = !dsr;
        EXPECT_EQ(static_cast<bool>(platform::get(platform::PortLine::Dsr, level)),
                  succeeds == TRUE);
        EXPECT_EQ(level, dsr) << std::hex << status;
    }
    platform::sleepUs(10000);
    EXPECT_EQ(platform::nowUs(), 2500000u);
    EXPECT_STREQ(platform::describe(ERROR_ACCESS_DENIED), "Access is denied");
    EXPECT_STREQ(platform::describe(ERROR_GEN_FAILURE), "error 31");
    platform::close();
    const std::string open = " 3221225472 0 0 3 0 0";
    EXPECT_EQ(
        calls,
        (std::vector<std::string>{
            "CreateFileA COM1:" + open, "CreateFileA \\\\.\\COM12" + open, "timeBeginPeriod 1",
            "Escape port 3", "Escape port 4", "Escape port 5", "Escape port 6", "Escape port 8",
            "Escape port 9", "Escape port 3", "GetCommModemStatus port", "GetCommModemStatus port",
            "GetCommModemStatus port", "Sleep 10", "FormatMessageA 4608 5",
            "FormatMessageA 4608 31", "CloseHandle port", "timeEndPeriod 1"}));
}

}  // namespace
