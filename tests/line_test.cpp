// The bit-level transfer as the chip's pins see it.
#include "link/line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support.h"

namespace {

using Trace = std::vector<std::string>;

Trace sendByteTrace(unsigned b) {
    Trace trace;
    for (int bit = 7; bit >= 0; --bit)
        trace.insert(trace.end(),
                     {"MOSI " + std::to_string((b >> bit) & 1), "SCK 0", "SCK 1", "SCK 0"});
    return trace;
}

Trace traceAfter(const vtarget::Chip& chip, std::size_t from) {
    return Trace(chip.trace().begin() + static_cast<long>(from), chip.trace().end());
}

TEST(Transfer, SendAndExchangeClockEachBitLowHighLow) {
    testsupport::AttachedChip target(testsupport::tracing());
    line::sendByte(0xA5);
    EXPECT_EQ(target.chip.trace(), sendByteTrace(0xA5));
    std::size_t sent = target.chip.trace().size();
    EXPECT_EQ(line::exchangeByte(0x01), 0x00);
    Trace expected;
    for (int bit = 7; bit >= 0; --bit)
        expected.insert(expected.end(), {"MOSI " + std::to_string(bit == 0), "SCK 0", "MISO 0",
                                         "SCK 1", "SCK 0", "MOSI 1"});
    EXPECT_EQ(traceAfter(target.chip, sent), expected);
}

// The low byte of a query is never sent: the fourth byte is clocked in, and
// a send after it starts by setting MOSI while SCK is still high.
TEST(Transfer, QueryClocksInTheFourthByteAndLeavesClockHigh) {
    testsupport::AttachedChip target(testsupport::tracing());
    testsupport::enterProgrammingMode();
    std::size_t before = target.chip.trace().size();
    EXPECT_EQ(line::queryInstruction(0x30000299u), 0x05);  // signature byte 2 of an ATtiny12
    line::sendByte(0x80);
    Trace expected;
    for (unsigned b : {0x30u, 0x00u, 0x02u}) {
        Trace send = sendByteTrace(b);
        expected.insert(expected.end(), send.begin(), send.end());
    }
    for (int bit : {0, 0, 0, 0, 0, 1, 0, 1})
        expected.insert(expected.end(), {"SCK 0", "MISO " + std::to_string(bit), "SCK 1"});
    Trace send = sendByteTrace(0x80);
    expected.insert(expected.end(), send.begin(), send.end());
    EXPECT_EQ(traceAfter(target.chip, before), expected);
}

}  // namespace
