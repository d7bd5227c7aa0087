// Reading and verifying on the virtual chip: what the operator sees, the file
// a read leaves, and a chip that nothing was written to or erased.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <regex>
#include <string>

#include "tests/messages.h"
#include "tests/support.h"

namespace {

using namespace messages;
using testsupport::kEndRecord;
using testsupport::record;

const std::string kEarlier = "an earlier backup\n";
const std::string kDiffersEep = record(0x00, "\xFF\x20\x30\xFF") + kEndRecord;
const std::string kReady = kConnect + kLockFuse + kTiny12;
const std::string kEnd = kDisconnect + kEoj;

// Flash bytes up to 1000 and erased ones after, which a read keeps.
vtarget::Config chip(std::uint8_t lock = 0x06) {
    vtarget::Config config;
    for (unsigned a = 0; a < 1000; ++a)
        config.flash[a] = static_cast<std::uint8_t>(a * 7);
    config.lock = lock;
    return config;
}

std::string hexOf(const std::array<std::uint8_t, 1024>& memory) {
    std::string text;
    for (unsigned a = 0; a < 1024; a += 16)
        text += record(a, std::string(memory.begin() + a, memory.begin() + a + 16));
    return text + kEndRecord;
}

struct Case {
    const char *name, *mode, *file;
    std::uint8_t lock;
    int code;
    std::string err, after;  // after: what file then holds; "" when there is none
};

class Reads : public ::testing::TestWithParam<Case> {};

TEST_P(Reads, WriteNothingToTheChipAndOnlyWholeFiles) {
    const Case& r = GetParam();
    testsupport::writeFile("dump.hex", kEarlier);
    testsupport::writeFile("differs.eep", kDiffersEep);
    testsupport::AttachedChip target(chip(r.lock));
    testsupport::Outcome outcome = testsupport::runProgram({r.mode, r.file});
    EXPECT_EQ(outcome.code, r.code);
    // Progress lines aside.
    EXPECT_EQ(std::regex_replace(outcome.err, std::regex("--- [0-9]+ .\r"), ""), r.err);
    std::ifstream file(r.file, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(file), {}), r.after);
    EXPECT_FALSE(std::ifstream(r.file + std::string(".part")).is_open());
    for (const auto& [kind, count] : target.chip.instructions())
        EXPECT_TRUE(kind == "programming_enable" || kind.rfind("read_", 0) == 0) << kind;
    if (r.code != 0 || r.mode != std::string("--read")) return;
    // What was read programs back unchanged, and compares equal.
    EXPECT_EQ(testsupport::runProgram({r.file}).code, 0);
    EXPECT_EQ(hexOf(target.chip.flash()), r.after);
    EXPECT_EQ(testsupport::runProgram({"--verify", r.file}).code, 0);
}

const std::string kProtected =
    ">>> Device is protected: its memory cannot be read, and it was not erased. Reading "
    "canceled!\n";

INSTANTIATE_TEST_SUITE_P(
    Table, Reads,
    ::testing::Values(
        Case{"ReadFlash", "--read", "dump.hex", 0x06, 0,
             kBanner + kReady + "  Flash read: 1024 bytes written to dump.hex.\n" + kEnd,
             hexOf(chip().flash)},
        Case{"ReadProtected", "--read", "dump.hex", 0x04, 5,
             kBanner + kConnect + "  Lock bits readed = 04h, fuse bits readed = 12h\n" +
                 kProtected + kEnd,
             kEarlier},
        Case{"ReadIntoNoDirectory", "--read", "none/dump.hex", 0x06, 4,
             kBanner + ">>> Error creating file none/dump.hex.part. Reading canceled!\n", ""},
        Case{"VerifyListsEveryDifference", "--verify", "differs.eep", 0x06, 5,
             kBanner + kReady +
                 ">>> Error verifying EEPROM at 0001. waited 20 <> readed ff\n"
                 ">>> Error verifying EEPROM at 0002. waited 30 <> readed ff\n" +
                 "  2 of 4 bytes differ\n" + kEnd,
             kDiffersEep}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
