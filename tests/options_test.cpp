// The command line: byte values, options, image path and memory kind.
#include "run/options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support.h"

namespace {

struct ByteText {
    const char* text;
    int value;  // -1: refused
};

class ByteValues : public ::testing::TestWithParam<ByteText> {};

TEST_P(ByteValues, AreWellFormedNumbersOnly) {
    unsigned value = 0x1234;
    bool read = run::parseByte(GetParam().text, value);
    EXPECT_EQ(read ? static_cast<int>(value) : -1, GetParam().value);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ByteValues,
    ::testing::Values(ByteText{"243", 0xF3}, ByteText{" \t10", 0x0A}, ByteText{"262", 0x06},
                      ByteText{"-1", 0xFF}, ByteText{"+6", 0x06},
                      ByteText{"99999999999999999999", 0xFF}, ByteText{"-256", 0x00},
                      ByteText{"0xF3", 0xF3}, ByteText{"0X0a", 0x0A}, ByteText{"F3h", 0xF3},
                      ByteText{"0f3H", 0xF3}, ByteText{"", -1}, ByteText{"F3", -1},
                      ByteText{"243x", -1}, ByteText{"0x", -1}, ByteText{"h", -1},
                      ByteText{"-", -1}, ByteText{"-0x10", -1}, ByteText{"0xG1", -1}));

struct CommandLine {
    const char* args;  // separated by blanks
    bool slashPaths;
    const char* path;  // nullptr: none
    int fuse, lock;    // -1: not given
    const char* printed;
};

class Options : public ::testing::TestWithParam<CommandLine> {};

TEST_P(Options, AreReadInOrder) {
    const CommandLine& c = GetParam();
    std::vector<std::string> words = testsupport::wordsOf(std::string("quillet ") + c.args);
    std::vector<const char*> argv;
    for (const std::string& word : words)
        argv.push_back(word.c_str());
    run::ProgramOptions options;
    testing::internal::CaptureStderr();
    run::parseOptions(static_cast<int>(argv.size()), argv.data(), c.slashPaths, options);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), c.printed);
    EXPECT_STREQ(options.imagePath, c.path);
    EXPECT_EQ(options.fuseGiven ? static_cast<int>(options.fuseValue) : -1, c.fuse);
    EXPECT_EQ(options.lockGiven ? static_cast<int>(options.lockValue) : -1, c.lock);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Options,
    ::testing::Values(
        CommandLine{"/F:10 /L:6 a.hex", true, "a.hex", 0x0A, 6, ""},
        CommandLine{"/f=243 /lx4 /f:1 a.hex b.eep", true, "b.eep", 1, 4, ""},
        CommandLine{"/f: /L /l:243x /x:1 a.hex", true, "a.hex", -1, -1,
                    ">>> illegal parameter /f: ignored\n>>> illegal parameter /L ignored\n"
                    ">>> illegal parameter /l:243x ignored\n>>> illegal parameter /x:1 ignored\n"},
        CommandLine{"/f:243 /lib/fw.hex", true, "/lib/fw.hex", 0xF3, -1, ""},
        CommandLine{"/x /tmp/a.hex a.hex", false, "a.hex", -1, -1,
                    ">>> illegal parameter /x ignored\n>>> illegal parameter /tmp/a.hex ignored\n"},
        CommandLine{"/l:1", true, nullptr, -1, 1, ""}));

TEST(MemoryKinds, FollowTheCharacterAfterTheLastDot) {
    for (const char* flash : {"blink.hex", "BLINK.HEX", "a.h", "a.", "image", "dir.hex/image"})
        EXPECT_EQ(run::memoryKindOf(flash), image::MemoryKind::Flash) << flash;
    for (const char* eeprom : {"blink.eep", "x.hex.eep", "dir.old/image"})
        EXPECT_EQ(run::memoryKindOf(eeprom), image::MemoryKind::Eeprom) << eeprom;
}

}  // namespace
