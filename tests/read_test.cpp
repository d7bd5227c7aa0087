// Reading and verifying on the virtual chip: what the operator sees, the file
// a read leaves, and a chip that nothing was written to or erased.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>

#include "tests/messages.h"
#include "tests/support.h"

namespace {

using namespace messages;
using testsupport::kEndRecord;
using testsupport::record;

const std::string kEarlier = "an earlier backup\n";
const std::string kDiffersEep = record(0x00, "\xFF\x20\x30\xFF") + kEndRecord;
const std::string kReady = kBanner + kConnect + kLockFuse + kTiny12;
const std::string kEnd = kDisconnect + kEoj;

// Flash bytes up to 1000 and erased ones after, which a read keeps.
std::string flash() {
    std::string bytes;
    for (unsigned a = 0; a < 1000; ++a)
        bytes += static_cast<char>(a * 7);
    return bytes + std::string(24, '\xFF');
}

std::string hexOf(const std::string& memory) {
    std::string text;
    for (unsigned a = 0; a < 1024; a += 16)
        text += record(a, memory.substr(a, 16));
    return text + kEndRecord;
}

struct Case {
    const char* name;
    std::string vtarget, args, file;
    int code;
    std::string err, after;  // after: what file then holds; "" when there is none
};

void PrintTo(const Case& c, std::ostream* out) {
    *out << c.name;
}

class Reads : public ::testing::TestWithParam<Case> {};

TEST_P(Reads, WriteNothingToTheChipAndOnlyWholeFiles) {
    const Case& r = GetParam();
    testsupport::writeFile("flash.bin", flash());
    testsupport::writeFile("dump.hex", kEarlier);
    testsupport::writeFile("differs.eep", kDiffersEep);
    testsupport::AttachedChip target(testsupport::chipOf("flash-in=flash.bin," + r.vtarget));
    testsupport::Outcome outcome = testsupport::runProgram(r.args + " " + r.file);
    EXPECT_EQ(outcome.code, r.code);
    EXPECT_EQ(outcome.err, r.err);
    std::ifstream file(r.file, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(file), {}), r.after);
    EXPECT_FALSE(std::ifstream(r.file + ".part").is_open());
    for (const auto& [kind, count] : target.chip.instructions())
        EXPECT_TRUE(kind == "programming_enable" || kind.rfind("read_", 0) == 0) << kind;
    if (r.code != 0 || r.args != "--read") return;
    // What was read programs back unchanged, and compares equal.
    EXPECT_EQ(testsupport::runProgram(r.file).code, 0);
    EXPECT_EQ(hexOf(std::string(target.chip.flash().begin(), target.chip.flash().end())), r.after);
    EXPECT_EQ(testsupport::runProgram("--verify " + r.file).code, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Reads,
    ::testing::Values(
        Case{"ReadFlash", "", "--read", "dump.hex", 0,
             kReady + progress(64) + "  Flash read: 1024 bytes written to dump.hex.\n" + kEnd,
             hexOf(flash())},
        Case{"ReadProtected", "lock=04", "--fast --read", "dump.hex", 5,
             kBanner + kConnect + "  Lock bits readed = 04h, fuse bits readed = 12h\n" +
                 ">>> Device is protected: its memory cannot be read, and it was not erased. "
                 "Reading canceled!\n" +
                 kEnd,
             kEarlier},
        Case{"ReadIntoNoDirectory", "", "--read", "none/dump.hex", 4,
             kBanner + ">>> Error creating file none/dump.hex.part. Reading canceled!\n", ""},
        Case{"VerifyListsEveryDifference", "", "--verify", "differs.eep", 5,
             kReady +
                 ">>> Error verifying EEPROM at 0001. waited 20 <> readed ff\n"
                 ">>> Error verifying EEPROM at 0002. waited 30 <> readed ff\n" +
                 progress(2) + "  2 of 4 bytes differ\n" + kEnd,
             kDiffersEep}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
