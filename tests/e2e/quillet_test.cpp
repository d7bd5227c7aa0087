// The shipped quillet binary on the virtual chip: what the operator sees, the
// exit code, what is left in the chip and the calls that got it there.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/e2e/harness.h"
#include "tests/messages.h"

namespace {

using e2e::Child;
using e2e::Outcome;
using e2e::record;
using namespace messages;

const std::string kLockedFuse = "  Lock bits readed = 00h, fuse bits readed = 12h\n";
const std::string kProtected = "  Device is protected, erasing now. Please wait...\n";
const std::string kSyncError =
    ">>>Sync error (possibly disconnected device). Programming canceled!\n";
const std::string kNoPort = ">>>COM-port \"COM1:\" not allowed! Programming canceled!\n";

const std::string kCode("\x0A\xC0\xFF\xCF\x0F\xEF\x07\xBB\x08\xBB\x00\x95\x80\x95\xFD\xCF\x18\x95",
                        18);
const std::string kImage =
    record(0x00, kCode.substr(0, 16)) + record(0x10, kCode.substr(16)) + e2e::kEndRecord;
const std::string kProgress = "--- 1 /\r--- 2 -\r--- 3 \\\r";
// From the connect prompt to the erase, on a chip that is what it should be.
const std::string kReady = kConnect + kLockFuse + kTiny12 + kErasing;

Child quillet(const std::string& vtarget, std::vector<std::string> args,
              std::map<std::string, std::string> files = {{"blink.hex", kImage}}) {
    return {"quillet", std::move(args), vtarget, "\n\n", std::move(files)};
}

void expectNoViolations(const Outcome& outcome) {
    EXPECT_EQ(outcome.state.fields.at("violations").items.size(), 0u);
    EXPECT_EQ(outcome.number("unknown_instructions"), 0u);
}

TEST(Quillet, ProgramsBlinkOnATiny12) {
    Outcome outcome = e2e::run(quillet("", {"/f:243", "blink.hex"}));
    EXPECT_EQ(outcome.code, 0);
    EXPECT_EQ(outcome.err, kBanner + kReady + kProgress + kWritten + "  fuse bits F3 written\n" +
                               kDisconnect + kEoj);
    EXPECT_EQ(outcome.out, "");
    ASSERT_TRUE(outcome.stateWritten);
    EXPECT_EQ(outcome.text("flash"), e2e::flashHex(kCode));
    EXPECT_EQ(outcome.text("fuse"), "FF");
    EXPECT_EQ(outcome.text("lock"), "06");
    // Reset, two pulses, erase, and a settle after each of the 18 bytes.
    EXPECT_EQ(outcome.number("sleep_us"), (2000 + 50 + 50 + 2500 + 18 * 10) * 1000u);
    // Each line and status call costs 2 us of virtual time, and nothing else passes.
    EXPECT_EQ(outcome.number("virtual_us"),
              outcome.number("sleep_us") +
                  2 * (outcome.number("line_calls") + outcome.number("status_reads")));
    const auto& counts = outcome.state.fields.at("instructions").fields;
    std::map<std::string, std::string> kinds;
    for (const auto& [kind, count] : counts)
        kinds[kind] = count.text;
    EXPECT_EQ(kinds, (std::map<std::string, std::string>{{"programming_enable", "1"},
                                                         {"read_fuse", "1"},
                                                         {"read_lock", "2"},
                                                         {"read_signature", "3"},
                                                         {"read_calibration", "1"},
                                                         {"chip_erase", "1"},
                                                         {"write_flash", "18"},
                                                         {"read_flash", "18"},
                                                         {"write_fuse", "1"}}));
    expectNoViolations(outcome);
    ASSERT_FALSE(outcome.trace.empty());
    // The target is let go before the port closes.
    EXPECT_EQ(outcome.trace.back(), "RESET 1");
}

struct Ending {
    const char* name;
    std::string vtarget;
    std::vector<std::string> args;
    std::map<std::string, std::string> files;
    int code;
    std::string err;
    bool touchesLines;
};

const std::map<std::string, std::string> kBlink{{"blink.hex", kImage}};
const std::string kEeprom = record(0x00, "\x01\x02\x03\x04") + e2e::kEndRecord;
const std::string kBroken = record(0x00, kCode.substr(0, 16)) + ":0200100018950F\n";
const std::string kFailed = kDisconnect + kEoj;

void PrintTo(const Ending& param, std::ostream* out) {
    *out << param.name;
}

class Endings : public ::testing::TestWithParam<Ending> {};

TEST_P(Endings, StandardErrorAndExitCodeTellHowFarTheRunGot) {
    const Ending& e = GetParam();
    Outcome outcome = e2e::run(quillet(e.vtarget, e.args, e.files));
    EXPECT_EQ(outcome.code, e.code);
    EXPECT_EQ(outcome.err, e.err);
    ASSERT_TRUE(outcome.stateWritten);
    EXPECT_EQ(outcome.number("line_calls") > 0, e.touchesLines);
    EXPECT_EQ(outcome.trace.empty(), !e.touchesLines);
    expectNoViolations(outcome);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Endings,
    ::testing::Values(
        Ending{"FuseAndLockBitsWritten",
               "",
               {"/f:243", "/l:4", "blink.hex"},
               kBlink,
               0,
               kBanner + kReady + kProgress + kWritten +
                   "  fuse bits F3 written\n  lock bits 04 written\n" + kFailed,
               true},
        Ending{"EepromImage",
               "",
               {"data.eep"},
               {{"data.eep", kEeprom}},
               0,
               kBanner + kReady + "--- 1 /\r--- 2 -\r" + kWritten + kFailed,
               true},
        Ending{"ProtectedChipErasedFirst",
               "lock=00",
               {"blink.hex"},
               kBlink,
               0,
               kBanner + kConnect + kLockedFuse + kProtected + kTiny12 + kErasing + kProgress +
                   kWritten + kFailed,
               true},
        Ending{"Tiny10",
               "model=10",
               {"blink.hex"},
               kBlink,
               0,
               kBanner + kConnect + kLockFuse + "  ATTiny10 detected!\n" + kErasing + kProgress +
                   kWritten + kFailed,
               true},
        Ending{"Tiny11",
               "model=11",
               {"blink.hex"},
               kBlink,
               0,
               kBanner + kConnect + kLockFuse + "  ATTiny11 detected!\n" + kErasing + kProgress +
                   kWritten + kFailed,
               true},
        Ending{"Tiny15",
               "model=15,calibration=4C",
               {"blink.hex"},
               kBlink,
               0,
               kBanner + kConnect + kLockFuse +
                   "  ATTiny15 detected! Calibration byte readed = 4Ch\n" + kErasing + kProgress +
                   kWritten + kFailed,
               true},
        Ending{"SyncAtLastAttempt",
               "sync=32",
               {"blink.hex"},
               kBlink,
               0,
               kBanner + kReady + kProgress + kWritten + kFailed,
               true},
        Ending{"NoArguments", "", {}, kBlink, 1, kBanner + kUsage, false},
        Ending{"NoPort", "no-port", {"blink.hex"}, kBlink, 2, kBanner + kNoPort, false},
        Ending{"NeverSynchronised",
               "sync=never",
               {"blink.hex"},
               kBlink,
               3,
               kBanner + kConnect + kSyncError + kEoj,
               true},
        Ending{"NothingConnected",
               "absent",
               {"blink.hex"},
               kBlink,
               3,
               kBanner + kConnect + kSyncError + kEoj,
               true},
        Ending{"MissingImage",
               "",
               {"missing.hex"},
               kBlink,
               4,
               kBanner + ">>> Error opening file missing.hex\n",
               false},
        Ending{"BrokenImage",
               "",
               {"broken.hex"},
               {{"broken.hex", kBroken}},
               4,
               kBanner + ">>> Error in file broken.hex, record 2: checksum mismatch. Programming "
                         "canceled!\n",
               false},
        Ending{"NonAtmel",
               "signature=1F9005",
               {"blink.hex"},
               kBlink,
               5,
               kBanner + kConnect + kLockFuse +
                   ">>> Non-Atmel device detected! Programming canceled!\n" + kFailed,
               true},
        Ending{"NotOneKilobyte",
               "signature=1E9105",
               {"blink.hex"},
               kBlink,
               5,
               kBanner + kConnect + kLockFuse +
                   ">>> Wanted Atmel device must have exactly 1 KB flash! Programming "
                   "canceled!\n" +
                   kFailed,
               true},
        Ending{"UnsupportedModel",
               "signature=1E9007",
               {"blink.hex"},
               kBlink,
               5,
               kBanner + kConnect + kLockFuse +
                   ">>> This ATTiny device is not supported. Programming canceled!\n" + kFailed,
               true},
        Ending{"LockBitsSurviveErase",
               "lock=00,stubborn-lock",
               {"blink.hex"},
               kBlink,
               5,
               kBanner + kConnect + kLockedFuse + kProtected +
                   ">>> Atmel device have both lock bits on. Device type can't be defined. "
                   "Programming canceled!\n" +
                   kFailed,
               true},
        Ending{"StuckFlashCell",
               "stuck=005:00",
               {"blink.hex"},
               kBlink,
               5,
               kBanner + kReady + ">>> Error verifying flash at 0005. waited ef <> readed 00\n" +
                   kProgress + kFailed,
               true},
        Ending{"EepromMismatch",
               "eestuck=02:00",
               {"data.eep"},
               {{"data.eep", kEeprom}},
               5,
               kBanner + kReady + ">>> Error verifying EEPROM at 002.\n" + kFailed,
               true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Quillet, LeavesTheImageAndTheBitsInTheChip) {
    Outcome flash = e2e::run(quillet("lock=00", {"/l:2", "blink.hex"}));
    EXPECT_EQ(flash.text("flash"), e2e::flashHex(kCode));
    EXPECT_EQ(flash.text("lock"), "02");
    EXPECT_EQ(flash.text("fuse"), "52");
    EXPECT_EQ(flash.state.fields.at("instructions").fields.at("chip_erase").text, "2");

    Outcome eeprom = e2e::run(quillet("", {"data.eep"}, {{"data.eep", kEeprom}}));
    EXPECT_EQ(eeprom.text("eeprom"), "01020304" + std::string(120, 'F'));
    EXPECT_EQ(eeprom.text("flash"), std::string(2048, 'F'));
}

// The trace cut at each sleep: per piece, the calls and how many read MISO.
struct Piece {
    std::size_t calls;
    std::size_t reads;
    bool operator==(const Piece& other) const {
        return calls == other.calls && reads == other.reads;
    }
};

std::ostream& operator<<(std::ostream& out, const Piece& p) {
    return out << "{" << p.calls << ", " << p.reads << "}";
}

std::vector<Piece> piecesOf(const std::vector<std::string>& trace) {
    std::vector<Piece> pieces{{0, 0}};
    for (const std::string& line : trace) {
        if (line.rfind("SLEEP ", 0) == 0) {
            pieces.push_back({0, 0});
            continue;
        }
        ++pieces.back().calls;
        if (line.rfind("MISO ", 0) == 0) ++pieces.back().reads;
    }
    return pieces;
}

struct Calls {
    const char* name;
    std::string vtarget;
    std::vector<Piece> pieces;
};

void PrintTo(const Calls& param, std::ostream* out) {
    *out << param.name;
}

class CallCounts : public ::testing::TestWithParam<Calls> {};

// An instruction sent is 128 line calls; a query 96 plus 8 reads and 16 clock
// edges; Programming Enable 136 plus 8 reads; a failed attempt one more edge.
TEST_P(CallCounts, EachInstructionCostsItsCalls) {
    const std::map<std::string, std::string> files{
        {"two.hex", record(0x00, "\x12\x34") + e2e::kEndRecord}};
    Outcome outcome = e2e::run(quillet(GetParam().vtarget, {"two.hex"}, files));
    EXPECT_EQ(outcome.code, 0);
    EXPECT_EQ(piecesOf(outcome.trace), GetParam().pieces);
    std::size_t lines = 0;
    std::size_t reads = 0;
    for (const Piece& piece : GetParam().pieces) {
        lines += piece.calls - piece.reads;
        reads += piece.reads;
    }
    EXPECT_EQ(outcome.number("line_calls"), lines);
    EXPECT_EQ(outcome.number("status_reads"), reads);
}

// Up to the erase: enable 144, fuse, lock twice, signature thrice and
// calibration 7 x 120, erase 128. Then a write (128), and per verified byte a
// read (120) before the next write or the release of RESET.
const Piece kResetPieces[] = {{3, 0}, {1, 0}, {1, 0}};
const Piece kToErase{144 + 7 * 120 + 128, 8 + 7 * 8};

INSTANTIATE_TEST_SUITE_P(Table, CallCounts,
                         ::testing::Values(Calls{"FirstAttempt",
                                                 "",
                                                 {kResetPieces[0],
                                                  kResetPieces[1],
                                                  kResetPieces[2],
                                                  kToErase,
                                                  {128, 0},
                                                  {248, 8},
                                                  {121, 8}}},
                                           Calls{"SecondAttempt",
                                                 "sync=2",
                                                 {kResetPieces[0],
                                                  kResetPieces[1],
                                                  kResetPieces[2],
                                                  {145, 8},
                                                  {kToErase.calls + 1, kToErase.reads},
                                                  {128, 0},
                                                  {248, 8},
                                                  {121, 8}}}),
                         [](const auto& info) { return std::string(info.param.name); });

struct Unplug {
    const char* name;
    unsigned failAfter;
    int code;
    std::string err;
    std::string flash;
};

// The errors for bytes that read back as 0.
std::string unreadable(const std::string& bytes, unsigned from) {
    std::string text;
    char line[80];
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (bytes[i] == 0) continue;
        std::snprintf(line, sizeof line,
                      ">>> Error verifying flash at %04X. waited %02x <> readed 00\n",
                      static_cast<unsigned>(from + i), static_cast<unsigned char>(bytes[i]));
        text += line;
    }
    return text;
}

void PrintTo(const Unplug& param, std::ostream* out) {
    *out << param.name;
}

class Unplugged : public ::testing::TestWithParam<Unplug> {};

// After the adapter is gone every call fails; a failed read reads 0.
TEST_P(Unplugged, RunEndsWithTheCodeOfWhereItWas) {
    const Unplug& u = GetParam();
    Outcome outcome = e2e::run(quillet("fail-after=" + std::to_string(u.failAfter), {"blink.hex"}));
    EXPECT_EQ(outcome.code, u.code);
    EXPECT_EQ(outcome.err, u.err);
    EXPECT_EQ(outcome.text("flash"), u.flash);
    EXPECT_EQ(outcome.number("line_calls") + outcome.number("status_reads"), u.failAfter);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Unplugged,
    ::testing::Values(Unplug{"BeforeSync", 100, 3, kBanner + kConnect + kSyncError + kEoj,
                             std::string(2048, 'F')},
                      // The reset, enable to erase, and the first byte's write: 5 + 1112 + 128.
                      Unplug{"AfterFirstWrite", 1245, 5,
                             kBanner + kReady + unreadable(kCode.substr(0, 16), 0) + "--- 1 /\r" +
                                 unreadable(kCode.substr(16), 16) + "--- 2 -\r--- 3 \\\r" + kFailed,
                             e2e::flashHex(kCode.substr(0, 1))}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Quillet, RunsInRealTime) {
    const std::map<std::string, std::string> files{
        {"one.hex", record(0x00, "\x5A") + e2e::kEndRecord}};
    Outcome outcome = e2e::run(quillet("realtime", {"one.hex"}, files));
    EXPECT_EQ(outcome.code, 0);
    EXPECT_EQ(outcome.err, kBanner + kReady + "--- 1 /\r--- 2 -\r" + kWritten + kDisconnect + kEoj);
    EXPECT_EQ(outcome.text("flash"), e2e::flashHex("\x5A"));
    // Every wait the run must make really passed, however the sleeps were split.
    const double obligedUs = (2000 + 50 + 50 + 2500 + 10) * 1000.0;
    EXPECT_GE(static_cast<double>(outcome.number("virtual_us")), obligedUs);
    EXPECT_GE(outcome.seconds * 1e6, obligedUs);
}

struct BadSetting {
    const char* vtarget;
    const char* message;
};

void PrintTo(const BadSetting& param, std::ostream* out) {
    *out << param.vtarget;
}

class BadSettings : public ::testing::TestWithParam<BadSetting> {};

TEST_P(BadSettings, EndTheProcessBeforeMain) {
    Outcome outcome = e2e::run(quillet(GetParam().vtarget, {"blink.hex"}));
    EXPECT_EQ(outcome.code, 125);
    EXPECT_EQ(outcome.err, std::string("vtarget: ") + GetParam().message + "\n");
    EXPECT_EQ(outcome.out, "");
    EXPECT_FALSE(outcome.stateWritten);
}

INSTANTIATE_TEST_SUITE_P(Table, BadSettings,
                         ::testing::Values(BadSetting{"bogus", "unknown key 'bogus'"},
                                           BadSetting{"sync=33", "bad value '33' for sync"},
                                           BadSetting{"model=13", "bad value '13' for model"},
                                           BadSetting{"absent=yes", "bad value 'yes' for absent"},
                                           BadSetting{"flash-in=none.bin",
                                                      "cannot read none.bin"}));

}  // namespace
