// The command line: byte values, options, image path and memory kind.
#include "run/options.h"

#include "tests/support.h"

namespace {

// Blanks, then decimal with a sign, 0x-prefixed or h-suffixed hexadecimal,
// kept modulo 256; anything else is refused (-1).
TEST(Options, ByteValuesAreWellFormedNumbersOnly) {
    const std::pair<const char*, int> rows[] = {
        {"243", 0xF3},  {" \t10", 0x0A}, {"262", 0x06},
        {"-1", 0xFF},   {"+6", 0x06},    {"99999999999999999999", 0xFF},
        {"-256", 0x00}, {"0xF3", 0xF3},  {"0X0a", 0x0A},
        {"F3h", 0xF3},  {"0f3H", 0xF3},  {"", -1},
        {"F3", -1},     {"243x", -1},    {"0x", -1},
        {"h", -1},      {"-", -1},       {"-0x10", -1},
        {"0xG1", -1}};
    for (const auto& [text, expected] : rows) {
        unsigned value = 0x1234;
        EXPECT_EQ(run::parseByte(text, value) ? static_cast<int>(value) : -1, expected) << text;
    }
}

struct CommandLine {
    const char* args;  // separated by blanks
    bool slashPaths;
    const char* files;  // blank-separated, a named memory before its file as flash: or eeprom:
    int fuse, lock;     // -1: not given
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
    std::string files;
    const char* memories[] = {"", "flash:", "eeprom:"};  // ByName, Flash, Eeprom
    for (unsigned i = 0; i < std::min(options.fileCount, run::kMaxFiles); ++i) {
        const run::FileArgument& file = options.files[i];
        files += (i > 0 ? " " : "") + std::string(memories[int(file.memory)]) + file.path;
    }
    EXPECT_EQ(files, c.files);
    EXPECT_EQ(options.fuseGiven ? static_cast<int>(options.fuseValue) : -1, c.fuse);
    EXPECT_EQ(options.lockGiven ? static_cast<int>(options.lockValue) : -1, c.lock);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Options,
    ::testing::Values(
        CommandLine{"/F:10 /L:6 a.hex", true, "a.hex", 0x0A, 6, ""},
        CommandLine{"/f=243 /lx4 /f:1 a.hex b.eep", true, "a.hex b.eep", 1, 4, ""},
        // A named memory whatever the name; after -- a path whatever it begins with.
        CommandLine{"--eeprom=a.hex --flash b.eep -- -c.hex", true,
                    "eeprom:a.hex flash:b.eep -c.hex", -1, -1, ""},
        CommandLine{"--flash=", true, "", -1, -1,
                    ">>> Option needs a value: --flash= (quillet --help lists the options). "
                    "Canceled!\n"},
        CommandLine{"/f: /L /l:243x /x:1 a.hex", true, "a.hex", -1, -1,
                    ">>> illegal parameter /f: ignored\n>>> illegal parameter /L ignored\n"
                    ">>> illegal parameter /l:243x ignored\n>>> illegal parameter /x:1 ignored\n"},
        CommandLine{"/f:243 /lib/fw.hex", true, "/lib/fw.hex", 0xF3, -1, ""},
        CommandLine{"/x /tmp/a.hex a.hex", false, "a.hex", -1, -1,
                    ">>> illegal parameter /x ignored\n>>> illegal parameter /tmp/a.hex ignored\n"},
        CommandLine{"/l:1", true, "", -1, 1, ""}));

TEST(MemoryKinds, FollowTheCharacterAfterTheLastDot) {
    for (const char* flash : {"blink.hex", "BLINK.HEX", "a.h", "a.", "image", "dir.hex/image"})
        EXPECT_EQ(run::memoryKindOf(flash), image::MemoryKind::Flash) << flash;
    for (const char* eeprom : {"blink.eep", "x.hex.eep", "dir.old/image"})
        EXPECT_EQ(run::memoryKindOf(eeprom), image::MemoryKind::Eeprom) << eeprom;
}

}  // namespace
