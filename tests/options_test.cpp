// The command line: byte values, options, image path and memory kind.
#include "run/options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct ByteText {
    const char* text;
    bool ok;
    unsigned value;
};

class ByteValues : public ::testing::TestWithParam<ByteText> {};

TEST_P(ByteValues, AreWellFormedNumbersOnly) {
    unsigned value = 0x1234;
    EXPECT_EQ(run::parseByte(GetParam().text, value), GetParam().ok) << GetParam().text;
    if (GetParam().ok) {
        EXPECT_EQ(value, GetParam().value) << GetParam().text;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, ByteValues,
    ::testing::Values(ByteText{"243", true, 0xF3}, ByteText{"  10", true, 0x0A},
                      ByteText{"262", true, 0x06}, ByteText{"-1", true, 0xFF},
                      ByteText{"+6", true, 0x06}, ByteText{"99999999999999999999", true, 0xFF},
                      ByteText{"-256", true, 0x00}, ByteText{"0xF3", true, 0xF3},
                      ByteText{"0X0c", true, 0x0C}, ByteText{"F3h", true, 0xF3},
                      ByteText{"0f3H", true, 0xF3}, ByteText{"", false, 0},
                      ByteText{"   ", false, 0}, ByteText{"F3", false, 0},
                      ByteText{"243x", false, 0}, ByteText{"0x", false, 0}, ByteText{"h", false, 0},
                      ByteText{"-", false, 0}, ByteText{"12 ", false, 0},
                      ByteText{"-0x10", false, 0}, ByteText{"0xG1", false, 0}));

struct CommandLine {
    const char* name;
    std::vector<const char*> args;
    bool slashPaths;
    const char* path;  // nullptr: none
    int fuse;          // -1: not given
    int lock;          // -1: not given
    const char* printed;
};

class Options : public ::testing::TestWithParam<CommandLine> {};

TEST_P(Options, AreReadInOrder) {
    std::vector<const char*> argv{"quillet"};
    argv.insert(argv.end(), GetParam().args.begin(), GetParam().args.end());
    run::ProgramOptions options;
    testing::internal::CaptureStderr();
    run::parseOptions(static_cast<int>(argv.size()), argv.data(), GetParam().slashPaths, options);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), GetParam().printed);
    if (GetParam().path == nullptr) {
        EXPECT_EQ(options.imagePath, nullptr);
    } else {
        ASSERT_NE(options.imagePath, nullptr);
        EXPECT_STREQ(options.imagePath, GetParam().path);
    }
    EXPECT_EQ(options.fuseGiven, GetParam().fuse >= 0);
    if (GetParam().fuse >= 0) {
        EXPECT_EQ(options.fuseValue, static_cast<unsigned>(GetParam().fuse));
    }
    EXPECT_EQ(options.lockGiven, GetParam().lock >= 0);
    if (GetParam().lock >= 0) {
        EXPECT_EQ(options.lockValue, static_cast<unsigned>(GetParam().lock));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, Options,
    ::testing::Values(
        CommandLine{"FuseAndPath", {"/f:243", "blink.hex"}, true, "blink.hex", 0xF3, -1, ""},
        CommandLine{"UpperCaseLetters", {"/F:10", "/L:6", "a.hex"}, true, "a.hex", 0x0A, 6, ""},
        CommandLine{
            "ThirdCharacterIgnored", {"/f=243", "/lx4", "a.hex"}, true, "a.hex", 0xF3, 4, ""},
        CommandLine{"LaterValueWins", {"/f:1", "/f:2", "a.hex", "b.eep"}, true, "b.eep", 2, -1, ""},
        CommandLine{"HexForms", {"/f:0xF3", "/l:4h", "a"}, true, "a", 0xF3, 4, ""},
        CommandLine{"EmptyValueIsIllegal",
                    {"/f:", "a.hex"},
                    true,
                    "a.hex",
                    -1,
                    -1,
                    ">>> illegal parameter /f: ignored\n"},
        CommandLine{"BareLetterIsIllegal",
                    {"/f", "/L", "a.hex"},
                    true,
                    "a.hex",
                    -1,
                    -1,
                    ">>> illegal parameter /f ignored\n>>> illegal parameter /L ignored\n"},
        CommandLine{"HexWithoutMarkIsIllegal",
                    {"/f:F3", "/l:243x", "a.hex"},
                    true,
                    "a.hex",
                    -1,
                    -1,
                    ">>> illegal parameter /f:F3 ignored\n>>> illegal parameter /l:243x ignored\n"},
        CommandLine{"UnknownOptionWithColon",
                    {"/x:1", "a.hex"},
                    true,
                    "a.hex",
                    -1,
                    -1,
                    ">>> illegal parameter /x:1 ignored\n"},
        CommandLine{
            "AbsolutePath", {"/f:243", "/tmp/blink.hex"}, true, "/tmp/blink.hex", 0xF3, -1, ""},
        CommandLine{
            "PathStartingWithOptionLetter", {"/lib/fw.hex"}, true, "/lib/fw.hex", -1, -1, ""},
        CommandLine{"WindowsUnknownOption",
                    {"/x", "/tmp/a.hex", "a.hex"},
                    false,
                    "a.hex",
                    -1,
                    -1,
                    ">>> illegal parameter /x ignored\n>>> illegal parameter /tmp/a.hex ignored\n"},
        CommandLine{"WindowsMalformedValue",
                    {"/f:F3", "a.hex"},
                    false,
                    "a.hex",
                    -1,
                    -1,
                    ">>> illegal parameter /f:F3 ignored\n"},
        CommandLine{"NoPath", {"/f:1"}, true, nullptr, 1, -1, ""}),
    [](const auto& info) { return std::string(info.param.name); });

struct Kind {
    const char* path;
    image::MemoryKind kind;
};

class MemoryKinds : public ::testing::TestWithParam<Kind> {};

TEST_P(MemoryKinds, FollowTheCharacterAfterTheLastDot) {
    EXPECT_EQ(run::memoryKindOf(GetParam().path), GetParam().kind) << GetParam().path;
}

INSTANTIATE_TEST_SUITE_P(Table, MemoryKinds,
                         ::testing::Values(Kind{"blink.hex", image::MemoryKind::Flash},
                                           Kind{"BLINK.HEX", image::MemoryKind::Flash},
                                           Kind{"a.h", image::MemoryKind::Flash},
                                           Kind{"a.", image::MemoryKind::Flash},
                                           Kind{"image", image::MemoryKind::Flash},
                                           Kind{"dir.hex/image", image::MemoryKind::Flash},
                                           Kind{"blink.eep", image::MemoryKind::Eeprom},
                                           Kind{"blink.bin", image::MemoryKind::Eeprom},
                                           Kind{"x.hex.eep", image::MemoryKind::Eeprom},
                                           Kind{"dir.old/image", image::MemoryKind::Eeprom}));

}  // namespace
