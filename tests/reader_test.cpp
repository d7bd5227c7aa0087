// The image reader's rules, from memory: what each text reads as.
#include "image/reader.h"

#include <iomanip>

#include "tests/support.h"

namespace {

using image::MemoryKind;
using records::kEndRecord;
using records::record;

// The records read, one "address:bytes" per data record and "-" for any
// other, then "error at N" for a text that fails at record N.
std::string readAll(const std::string& text, MemoryKind kind) {
    unsigned failed = 0;
    image::Image read{};
    std::vector<std::uint8_t> packed(text.size());
    image::ReadError error =
        image::readImage(text.data(), text.size(), kind, packed.data(), read, failed);
    std::ostringstream seen;
    seen << std::hex << std::uppercase << std::setfill('0');
    for (std::size_t offset = 0; offset < read.size;) {
        image::ImageRecord r = image::nextRecord(read, offset);
        if (r.count > 0) seen << r.address << ':';
        for (unsigned i = 0; i < r.count; ++i)
            seen << std::setw(2) << unsigned{r.data[i]};
        seen << (r.count > 0 ? " " : "- ");
    }
    if (error == image::ReadError::None) return seen.str();
    return seen.str() + image::reasonOf(error) + " at " + std::to_string(failed);
}

struct Text {
    const char* name;
    std::string text;
    std::string seen;
    MemoryKind kind = MemoryKind::Flash;
};

const std::string kData = record(0x10, "\x0E\xC0\x18\x95");

TEST(Reader, ReadsTextsAsRecordsOrTheFirstError) {
    const Text rows[] = {
        {"NoFinalLineBreak", kData + ":00000001FF", "10:0EC01895 - "},
        {"CrLfLoneCrAndLowerCase", ":04001000\r0ec0189f67\r\n:00000001FF\r\n", "10:0EC0189F - "},
        {"RecordsAfterEndOfFileBehindBlankLines", kEndRecord + "\n\n \t" + kData + " \n",
         "- 10:0EC01895 "},
        {"SplitRecordThenOneOnTheSameLine", ":04001000\n0EC0\n1895\n  71" + kEndRecord,
         "10:0EC01895 - "},
        {"CtrlZEndsTheText", kData + "\x1A" + "garbage", "10:0EC01895 "},
        {"CtrlZInsideARecord", kData.substr(0, 13) + "\x1A", "unreadable data at 1"},
        {"BasesAndStartAddresses",
         record(0, 4, std::string(2, '\0')) + record(0, 2, std::string(2, '\0')) +
             record(0, 5, std::string("\x00\x00\x00\x10", 4)) +
             record(0, 3, std::string("\x00\x00\x00\x10", 4)) + kData,
         "- - - - 10:0EC01895 "},
        {"SegmentBaseMovesTheAddress", record(0, 2, std::string("\x00\x01", 2)) + kData,
         "- 20:0EC01895 "},
        {"EepromTop", record(0x3C, "\x01\x02\x03\x04"), "3C:01020304 ", MemoryKind::Eeprom},
        {"FlashTop", record(0x3FC, "\x01\x02\x03\x04"), "3FC:01020304 "},
        {"EmptyText", "", "no record start at 1"},
        {"BlankBeforeFirstRecord", " " + kData, "no record start at 1"},
        {"StrayTextAfterLastRecord", kData + kEndRecord + "x",
         "10:0EC01895 - no record start at 3"},
        {"EndOfFileWithoutChecksum", kData + ":00000001\r\n", "10:0EC01895 - no record start at 3"},
        {"ShortHeader", ":0400\n", "unreadable header at 1"},
        {"UnreadableDataByte", ":04001000 0EC0 zz 95 C2\n", "unreadable data at 1"},
        {"ChecksumMismatch", kEndRecord + ":040010000EC01895C3\n", "- checksum mismatch at 2"},
        {"UnknownType", record(0x10, 6, "\x01") + kEndRecord, "unknown record type at 1"},
        {"PastFlashEnd", record(0x3FE, "\x01\x02\x03"), "address out of range at 1"},
        {"PastEepromEnd", record(0x40, "\x01"), "address out of range at 1", MemoryKind::Eeprom},
        {"DataBehindLinearBase", record(0, 4, std::string("\x00\x01", 2)) + kData,
         "- address out of range at 2"},
        {"AddressRecordOfWrongLength", record(0, 2, std::string(1, '\0')) + kData,
         "unreadable data at 1"}};
    for (const Text& row : rows)
        EXPECT_EQ(readAll(row.text, row.kind), row.seen) << row.name;
}

}  // namespace
