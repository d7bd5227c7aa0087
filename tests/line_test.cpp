// The bit-level transfer as the chip's pins see it.
#include "link/line.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "tests/support.h"

namespace {

using testsupport::AttachedChip;
using testsupport::tracing;

std::vector<std::string> sendByteTrace(unsigned b) {
    std::vector<std::string> trace;
    for (int bit = 7; bit >= 0; --bit) {
        trace.push_back("MOSI " + std::to_string((b >> bit) & 1));
        trace.insert(trace.end(), {"SCK 0", "SCK 1", "SCK 0"});
    }
    return trace;
}

TEST(Transfer, SendByteDrivesEachBitThenALowHighLowClock) {
    AttachedChip target(tracing());
    line::sendByte(0xA5);
    EXPECT_EQ(target.chip.trace(), sendByteTrace(0xA5));
    EXPECT_TRUE(target.chip.pinLevel(vtarget::Pin::Mosi));
    EXPECT_FALSE(target.chip.pinLevel(vtarget::Pin::Sck));
}

TEST(Transfer, ExchangeByteReadsBetweenClockLowAndHighAndReturnsMosiHigh) {
    AttachedChip target(tracing());
    line::exchangeByte(0x00);
    std::vector<std::string> expected;
    for (int bit = 0; bit < 8; ++bit) {
        expected.insert(expected.end(), {"MOSI 0", "SCK 0", "MISO 0", "SCK 1", "SCK 0", "MOSI 1"});
    }
    EXPECT_EQ(target.chip.trace(), expected);
}

TEST(Transfer, ReceiveByteLeavesClockHighAndAFollowingSendStartsWithMosi) {
    AttachedChip target(tracing());
    line::receiveByte();
    line::sendByte(0x80);
    std::vector<std::string> expected;
    for (int bit = 0; bit < 8; ++bit)
        expected.insert(expected.end(), {"SCK 0", "MISO 0", "SCK 1"});
    std::vector<std::string> send = sendByteTrace(0x80);
    expected.insert(expected.end(), send.begin(), send.end());
    EXPECT_EQ(target.chip.trace(), expected);
}

TEST(Transfer, QueryInstructionSendsThreeBytesAndClocksInTheFourth) {
    AttachedChip target(tracing());
    testsupport::enterProgrammingMode();
    size_t before = target.chip.trace().size();
    EXPECT_EQ(line::queryInstruction(0x30000299u), 0x05);  // signature byte 2 of an ATtiny12
    std::vector<std::string> expected;
    for (unsigned b : {0x30u, 0x00u, 0x02u}) {
        std::vector<std::string> send = sendByteTrace(b);
        expected.insert(expected.end(), send.begin(), send.end());
    }
    for (int bit : {0, 0, 0, 0, 0, 1, 0, 1}) {
        expected.insert(expected.end(), {"SCK 0", "MISO " + std::to_string(bit), "SCK 1"});
    }
    std::vector<std::string> got(target.chip.trace().begin() + before, target.chip.trace().end());
    EXPECT_EQ(got, expected);
    // The low byte of the word never goes out: MOSI keeps byte 3's last bit.
    EXPECT_EQ(target.chip.words().back() >> 8, 0x300002u);
    EXPECT_EQ(target.chip.words().back() & 0xFFu, 0x00u);
}

struct CallCount {
    const char* name;
    std::function<void()> transfer;
    std::uint64_t lineCalls;
    std::uint64_t statusReads;
};

class PlatformCalls : public ::testing::TestWithParam<CallCount> {};

// The clock rate is the call rate: every extra or missing call changes it.
TEST_P(PlatformCalls, EachTransferMakesItsExactNumberOfCalls) {
    AttachedChip target;
    GetParam().transfer();
    EXPECT_EQ(target.chip.lineCalls(), GetParam().lineCalls);
    EXPECT_EQ(target.chip.statusReads(), GetParam().statusReads);
}

INSTANTIATE_TEST_SUITE_P(
    Transfers, PlatformCalls,
    ::testing::Values(CallCount{"send", [] { line::sendInstruction(0x40000000u); }, 128, 0},
                      CallCount{"query", [] { line::queryInstruction(0x20000000u); }, 112, 8},
                      CallCount{"exchange", [] { line::exchangeByte(0x5A); }, 40, 8},
                      CallCount{"release", [] { line::releaseTarget(); }, 1, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Wiring, EachPinDrivesItsOwnChipInput) {
    AttachedChip target(tracing());
    line::set(line::Pin::Sck, 1);
    line::set(line::Pin::Mosi, 1);
    line::set(line::Pin::Reset, 0);
    line::readMiso();
    EXPECT_EQ(target.chip.trace(),
              (std::vector<std::string>{"SCK 1", "MOSI 1", "RESET 0", "MISO 0"}));
}

}  // namespace
