// The image loader: the record reader's rules, the check before the chip is
// touched, and writing with read-back.
#include <gtest/gtest.h>

#include <string>

#include "image/file.h"
#include "image/loader.h"
#include "tests/support.h"

namespace {

using image::MemoryKind;

// Programs the file's records without the check: reads the text as it stands.
bool programFile(const std::string& path, MemoryKind kind) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return false;
    static char text[4096];
    std::size_t size = std::fread(text, 1, sizeof text, file);
    std::fclose(file);
    return image::programImage(image::Image{text, size, kind});
}

bool checkFile(const std::string& path, MemoryKind kind) {
    image::Image loaded;
    return image::readImageFile(path.c_str(), kind, loaded);
}
using testsupport::AttachedChip;
using testsupport::record;

const std::string kEnd = ":00000001FF\n";
const std::string kBlinkData = std::string("\x0E\xC0\x18\x95", 4);

struct Image {
    const char* name;
    std::string text;
    MemoryKind kind;
    const char* checkError;  // nullptr: the image is sound; else the reason and record
    bool programmed;         // programImage's result (when the check is skipped)
    unsigned written;        // bytes the chip holds at 0x10.. afterwards (0: none)
};

class Images : public ::testing::TestWithParam<Image> {};

TEST_P(Images, AreCheckedAndProgrammedByTheSameReader) {
    std::string path =
        testsupport::writeFile(std::string(GetParam().name) + ".hex", GetParam().text);
    testing::internal::CaptureStderr();
    bool sound = checkFile(path, GetParam().kind);
    std::string printed = testing::internal::GetCapturedStderr();
    if (GetParam().checkError == nullptr) {
        EXPECT_TRUE(sound);
        EXPECT_EQ(printed, "");
    } else {
        EXPECT_FALSE(sound);
        EXPECT_EQ(printed, ">>> Error in file " + path + ", " + GetParam().checkError +
                               ". Programming canceled!\n");
    }

    AttachedChip target;
    testsupport::enterProgrammingMode();
    testing::internal::CaptureStderr();
    EXPECT_EQ(programFile(path, GetParam().kind), GetParam().programmed);
    std::string progress = testing::internal::GetCapturedStderr();
    EXPECT_EQ(progress.find(">>>"), std::string::npos) << progress;
    const auto& memory =
        GetParam().kind == MemoryKind::Flash
            ? std::vector<std::uint8_t>(target.chip.flash().begin(), target.chip.flash().end())
            : std::vector<std::uint8_t>(target.chip.eeprom().begin(), target.chip.eeprom().end());
    for (unsigned i = 0; i < 4; ++i) {
        std::uint8_t expected =
            i < GetParam().written ? static_cast<std::uint8_t>(kBlinkData[i]) : 0xFF;
        EXPECT_EQ(memory[0x10 + i], expected) << "byte " << i;
    }
    EXPECT_TRUE(target.chip.violations().empty());
}

const std::string kData = record(0x10, 0, kBlinkData);

INSTANTIATE_TEST_SUITE_P(
    Rules, Images,
    ::testing::Values(
        Image{"Plain", kData + kEnd, MemoryKind::Flash, nullptr, true, 4},
        Image{"NoFinalLineBreak", kData + ":00000001FF", MemoryKind::Flash, nullptr, true, 4},
        Image{"CrLf", ":040010000EC0189571\r\n:00000001FF\r\n", MemoryKind::Flash, nullptr, true,
              4},
        Image{"BlankLinesAndLeadingBlanks", kData + "\n\n   \t" + kEnd + "  \n", MemoryKind::Flash,
              nullptr, true, 4},
        Image{"RecordsAfterEndOfFile", kEnd + kData, MemoryKind::Flash, nullptr, true, 4},
        Image{"SplitRecord", ":04001000\n0EC0\n1895\n  71\n" + kEnd, MemoryKind::Flash, nullptr,
              true, 4},
        Image{"TwoRecordsOnALine", kData.substr(0, 19) + kEnd, MemoryKind::Flash, nullptr, true, 4},
        Image{"CtrlZEndsTheFile", kData + kEnd + "\x1A" + "garbage", MemoryKind::Flash, nullptr,
              true, 4},
        Image{"CtrlZInsideARecord", kData.substr(0, 13) + "\x1A", MemoryKind::Flash,
              "record 1: unreadable data", false, 0},
        Image{"LowerCaseDigits", ":04001000 0ec0189571\n" + kEnd, MemoryKind::Flash, nullptr, true,
              4},
        Image{"ThirtyTwoByteRecord", record(0x10, 0, kBlinkData + std::string(28, '\x55')) + kEnd,
              MemoryKind::Flash, nullptr, true, 4},
        Image{"Eeprom", kData + kEnd, MemoryKind::Eeprom, nullptr, true, 4},
        Image{
            "ZeroBasesChangeNothing",
            record(0, 4, std::string(2, '\0')) + record(0, 2, std::string(2, '\0')) + kData + kEnd,
            MemoryKind::Flash, nullptr, true, 4},
        Image{"StartAddressesAreNotData",
              record(0, 5, std::string("\x00\x00\x00\x10", 4)) +
                  record(0, 3, std::string("\x00\x00\x00\x10", 4)) + kData + kEnd,
              MemoryKind::Flash, nullptr, true, 4},
        Image{"EmptyFile", "", MemoryKind::Flash, "record 1: no record start", false, 0},
        Image{"BlankBeforeFirstRecord", " " + kData, MemoryKind::Flash, "record 1: no record start",
              false, 0},
        Image{"StrayTextAfterLastRecord", kData + kEnd + "x", MemoryKind::Flash,
              "record 3: no record start", false, 4},
        Image{"EndOfFileWithoutChecksum", kData + ":00000001\n", MemoryKind::Flash,
              "record 3: no record start", false, 4},
        Image{"ShortHeader", ":0400\n", MemoryKind::Flash, "record 1: unreadable header", false, 0},
        Image{"UnreadableDataByte", ":04001000 0EC0 zz 95 C2\n", MemoryKind::Flash,
              "record 1: unreadable data", false, 0},
        Image{"ChecksumMismatch", kEnd + ":040010000EC01895C3\n", MemoryKind::Flash,
              "record 2: checksum mismatch", false, 0},
        Image{"UnknownType", record(0x10, 6, kBlinkData) + kEnd, MemoryKind::Flash,
              "record 1: unknown record type", false, 0},
        Image{"FlashEnd", kData + record(0x3FE, 0, "\x01\x02\x03"), MemoryKind::Flash,
              "record 2: address out of range", false, 4},
        Image{"EepromEnd", kData + record(0x3E, 0, "\x01\x02\x03"), MemoryKind::Eeprom,
              "record 2: address out of range", false, 4},
        Image{"DataBehindLinearBase", record(0, 4, std::string("\x00\x01", 2)) + kData,
              MemoryKind::Flash, "record 2: address out of range", false, 0},
        Image{"AddressRecordOfWrongLength", record(0, 2, std::string(1, '\0')) + kData,
              MemoryKind::Flash, "record 1: unreadable data", false, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ProgramImage, MissingFileIsReported) {
    AttachedChip target;
    std::string path = ::testing::TempDir() + "no-such-image.hex";
    testing::internal::CaptureStderr();
    EXPECT_FALSE(checkFile(path, MemoryKind::Flash));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), ">>> Error opening file " + path + "\n");
    EXPECT_EQ(target.chip.lineCalls(), 0u);
}

TEST(ProgramImage, PrintsOneSpinningProgressLinePerRecord) {
    std::string text = kEnd;
    for (unsigned i = 0; i < 4; ++i)
        text += record(0x20 + i, 0, std::string(1, char(i)));
    std::string path = testsupport::writeFile("progress.hex", text);
    AttachedChip target;
    testsupport::enterProgrammingMode();
    testing::internal::CaptureStderr();
    EXPECT_TRUE(programFile(path, MemoryKind::Flash));
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "--- 1 /\r--- 2 -\r--- 3 \\\r--- 4 |\r--- 5 /\r");
}

TEST(ProgramImage, WritesEachByteAndReadsItBackBeforeTheNext) {
    std::string path = testsupport::writeFile("order.hex", kData + kEnd);
    AttachedChip target(testsupport::tracing());
    testsupport::enterProgrammingMode();
    testing::internal::CaptureStderr();
    EXPECT_TRUE(programFile(path, MemoryKind::Flash));
    testing::internal::GetCapturedStderr();
    const auto& words = target.chip.words();
    ASSERT_EQ(words.size(), 8u);
    for (unsigned i = 0; i < 4; ++i) {
        unsigned a = 0x10 + i;
        unsigned high = (a & 1) ? 0x08 : 0x00;
        EXPECT_EQ(words[2 * i] >> 8, ((0x40u | high) << 16) | (a >> 1)) << i;
        EXPECT_EQ(words[2 * i + 1] >> 8, ((0x20u | high) << 16) | (a >> 1)) << i;
    }
    EXPECT_EQ(target.chip.sleepUs(), 25000u + 4 * 10000u);
}

TEST(ProgramImage, FlashMismatchIsListedLoadingGoesOnButFails) {
    std::string path = testsupport::writeFile(
        "mismatch.hex", record(0x122, 0, "\x01\x0C\x03") + record(0x130, 0, "\x0C") + kEnd);
    vtarget::Config config;
    config.stuckFlash[0x123] = 0xFF;
    config.stuckFlash[0x130] = 0x00;
    AttachedChip target(config);
    testsupport::enterProgrammingMode();
    testing::internal::CaptureStderr();
    EXPECT_FALSE(programFile(path, MemoryKind::Flash));
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              ">>> Error verifying flash at 0123. waited 0c <> readed ff\n--- 1 /\r"
              ">>> Error verifying flash at 0130. waited 0c <> readed 00\n--- 2 -\r--- 3 \\\r");
    EXPECT_EQ(target.chip.flash()[0x124], 0x03);
}

TEST(ProgramImage, EepromMismatchStopsTheLoad) {
    std::string path = testsupport::writeFile(
        "eemismatch.eep", record(0x05, 0, "\x01\x02\x03") + record(0x20, 0, "\x04") + kEnd);
    vtarget::Config config;
    config.stuckEeprom[0x06] = 0x00;
    AttachedChip target(config);
    testsupport::enterProgrammingMode();
    testing::internal::CaptureStderr();
    EXPECT_FALSE(programFile(path, MemoryKind::Eeprom));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), ">>> Error verifying EEPROM at 006.\n");
    EXPECT_EQ(target.chip.eeprom()[0x05], 0x01);
    EXPECT_EQ(target.chip.eeprom()[0x07], 0xFF);
    EXPECT_EQ(target.chip.eeprom()[0x20], 0xFF);
}

}  // namespace
