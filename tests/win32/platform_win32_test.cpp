// The Win32 back end against recording stand-ins for the Win32 calls: which
// calls it makes, with which arguments, and how it reads their results.
#include <gtest/gtest.h>
#include <windows.h>

#include <ostream>
#include <string>
#include <vector>

#include "link/platform.h"

namespace {

enum class Fn { CreateFileA, EscapeCommFunction, GetCommModemStatus, CloseHandle, Sleep };

struct Call {
    Fn fn;
    HANDLE handle;
    DWORD arg;
    bool operator==(const Call& other) const {
        return fn == other.fn && handle == other.handle && arg == other.arg;
    }
};

struct CreateArgs {
    std::string fileName;
    DWORD desiredAccess;
    DWORD shareMode;
    LPSECURITY_ATTRIBUTES securityAttributes;
    DWORD creationDisposition;
    DWORD flagsAndAttributes;
    HANDLE templateFile;
};

HANDLE const kPort = reinterpret_cast<HANDLE>(0x5eed);

std::vector<Call> calls;
CreateArgs createArgs;
HANDLE createResult = kPort;
BOOL escapeResult = TRUE;
BOOL modemQueryResult = TRUE;
DWORD modemStatus = 0;

std::ostream& operator<<(std::ostream& os, const Call& c) {
    return os << "{fn " << static_cast<int>(c.fn) << ", handle " << c.handle << ", arg " << c.arg
              << "}";
}

class Win32Platform : public testing::Test {
  protected:
    void SetUp() override {
        calls.clear();
        createArgs = {};
        createResult = kPort;
        escapeResult = TRUE;
        modemQueryResult = TRUE;
        modemStatus = 0;
    }

    void openPort() {
        ASSERT_TRUE(platform::open());
        calls.clear();
    }
};

TEST_F(Win32Platform, OpenAsksForCom1ExclusivelyReadWriteExistingOnly) {
    EXPECT_TRUE(platform::open());

    ASSERT_EQ(calls, (std::vector<Call>{{Fn::CreateFileA, nullptr, 0}}));
    EXPECT_EQ(createArgs.fileName, "COM1:");
    EXPECT_EQ(createArgs.desiredAccess, GENERIC_READ | GENERIC_WRITE);
    EXPECT_EQ(createArgs.shareMode, 0u);
    EXPECT_EQ(createArgs.securityAttributes, nullptr);
    EXPECT_EQ(createArgs.creationDisposition, static_cast<DWORD>(OPEN_EXISTING));
    EXPECT_EQ(createArgs.flagsAndAttributes, 0u);
    EXPECT_EQ(createArgs.templateFile, nullptr);
}

TEST_F(Win32Platform, OpenFailsOnInvalidHandle) {
    createResult = INVALID_HANDLE_VALUE;
    EXPECT_FALSE(platform::open());
    EXPECT_EQ(calls.size(), 1u);
}

TEST_F(Win32Platform, SetIsOneEscapeCommFunctionWithTheLinesCode) {
    struct Row {
        platform::PortLine line;
        bool level;
        DWORD code;
    };
    const Row rows[] = {
        {platform::PortLine::Rts, true, SETRTS},
        {platform::PortLine::Rts, false, CLRRTS},
        {platform::PortLine::Dtr, true, SETDTR},
        {platform::PortLine::Dtr, false, CLRDTR},
        {platform::PortLine::TxBreak, true, SETBREAK},
        {platform::PortLine::TxBreak, false, CLRBREAK},
    };
    openPort();
    for (BOOL result : {TRUE, FALSE}) {
        escapeResult = result;
        for (const Row& row : rows) {
            SCOPED_TRACE(testing::Message() << "line " << static_cast<int>(row.line) << " level "
                                            << row.level << " call result " << result);
            calls.clear();
            platform::set(row.line, row.level);
            EXPECT_EQ(calls, (std::vector<Call>{{Fn::EscapeCommFunction, kPort, row.code}}));
        }
    }
}

TEST_F(Win32Platform, GetReadsOnlyTheDsrBitOfOneModemStatusQuery) {
    struct Row {
        DWORD status;
        bool dsr;
    };
    const Row rows[] = {
        {0, false},
        {MS_DSR_ON, true},
        {MS_CTS_ON | MS_RING_ON | MS_RLSD_ON, false},
        {~MS_DSR_ON, false},
        {MS_DSR_ON | MS_CTS_ON | MS_RLSD_ON, true},
        {0xFFFFFFFFu, true},
    };
    openPort();
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << "status 0x" << std::hex << row.status);
        calls.clear();
        modemStatus = row.status;
        EXPECT_EQ(platform::get(platform::PortLine::Dsr), row.dsr);
        EXPECT_EQ(calls, (std::vector<Call>{{Fn::GetCommModemStatus, kPort, 0}}));
    }
}

TEST_F(Win32Platform, FailedModemStatusQueryReadsFalse) {
    openPort();
    modemQueryResult = FALSE;
    modemStatus = MS_DSR_ON;
    EXPECT_FALSE(platform::get(platform::PortLine::Dsr));
    EXPECT_EQ(calls.size(), 1u);
}

TEST_F(Win32Platform, CloseClosesTheOpenedHandle) {
    openPort();
    platform::close();
    EXPECT_EQ(calls, (std::vector<Call>{{Fn::CloseHandle, kPort, 0}}));
}

TEST_F(Win32Platform, SleepMsIsOneSleepOfThatLength) {
    for (unsigned ms : {0u, 1u, 20u, 65535u}) {
        calls.clear();
        platform::sleepMs(ms);
        EXPECT_EQ(calls, (std::vector<Call>{{Fn::Sleep, nullptr, ms}})) << "ms " << ms;
    }
}

}  // namespace

HANDLE WINAPI CreateFileA(LPCSTR fileName, DWORD desiredAccess, DWORD shareMode,
                          LPSECURITY_ATTRIBUTES securityAttributes, DWORD creationDisposition,
                          DWORD flagsAndAttributes, HANDLE templateFile) {
    calls.push_back({Fn::CreateFileA, nullptr, 0});
    createArgs = {fileName,           desiredAccess,       shareMode,
                  securityAttributes, creationDisposition, flagsAndAttributes,
                  templateFile};
    return createResult;
}

BOOL WINAPI EscapeCommFunction(HANDLE file, DWORD function) {
    calls.push_back({Fn::EscapeCommFunction, file, function});
    return escapeResult;
}

// A failed query writes no status.
BOOL WINAPI GetCommModemStatus(HANDLE file, LPDWORD modemStat) {
    calls.push_back({Fn::GetCommModemStatus, file, 0});
    if (modemQueryResult) *modemStat = modemStatus;
    return modemQueryResult;
}

BOOL WINAPI CloseHandle(HANDLE object) {
    calls.push_back({Fn::CloseHandle, object, 0});
    return TRUE;
}

void WINAPI Sleep(DWORD milliseconds) {
    calls.push_back({Fn::Sleep, nullptr, milliseconds});
}
