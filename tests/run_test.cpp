// Whole runs on the virtual chip, as the operator sees them: every line of
// standard error, the exit code, the waits, and what the chip holds after.
#include "run/run.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/messages.h"
#include "tests/support.h"

namespace {

using namespace messages;
using testsupport::record;

const std::string kCode("\x0A\xC0\xFF\xCF\x0F\xEF\x07\xBB\x08\xBB\x00\x95\x80\x95\xFD\xCF\x18\x95",
                        18);
const std::string kBlink =
    record(0x00, kCode.substr(0, 16)) + record(0x10, kCode.substr(16)) + testsupport::kEndRecord;
const std::string kProgress = "--- 1 /\r--- 2 -\r--- 3 \\\r";
const std::string kReady = kConnect + kLockFuse + kTiny12 + kErasing;
const std::string kRelease = kDisconnect + kEoj;
const std::string kLocked = "  Lock bits readed = 00h, fuse bits readed = 12h\n";
const std::string kProtected = "  Device is protected, erasing now. Please wait...\n";
const std::string kSyncError =
    ">>>Sync error (possibly disconnected device). Programming canceled!\n";
// The reset sequence, the erase and a settle after each of blink's 18 bytes.
constexpr unsigned kBlinkMs = 2000 + 50 + 50 + 2500 + 18 * 10;

vtarget::Config chip(const std::string& signature, std::uint8_t lock = 0x06, int sync = 1) {
    vtarget::Config config;
    for (int i = 0; i < 3; ++i)
        config.signature[i] =
            static_cast<std::uint8_t>(std::stoul(signature.substr(2 * i, 2), nullptr, 16));
    config.lock = lock;
    config.syncAttempt = sync;
    return config;
}

vtarget::Config stuck(unsigned flash, unsigned eeprom) {
    vtarget::Config config;
    if (flash != 0) config.stuckFlash[flash] = 0x00;
    if (eeprom != 0) config.stuckEeprom[eeprom] = 0x00;
    return config;
}

struct Ending {
    const char* name;
    std::vector<const char*> args;
    vtarget::Config config;
    int code;
    std::string err;
    unsigned sleptMs;  // the waits the run asked for
    bool noPort = false;
};

void PrintTo(const Ending& e, std::ostream* out) {
    *out << e.name;
}

class Endings : public ::testing::TestWithParam<Ending> {};

TEST_P(Endings, StandardErrorExitCodeAndWaitsTellHowFarTheRunGot) {
    const Ending& e = GetParam();
    testsupport::writeFile("blink.hex", kBlink);
    testsupport::writeFile("data.eep", record(0x00, "\x01\x02\x03\x04") + testsupport::kEndRecord);
    testsupport::writeFile("broken.hex", kBlink + ":0400000001020304F3\n");
    testsupport::writeFile("large.hex", kBlink + std::string(1024 * 1024, '\n'));
    testsupport::AttachedChip target(e.config);
    if (e.noPort) vtarget::attach(nullptr);
    testsupport::Outcome outcome = testsupport::runProgram(e.args);
    EXPECT_EQ(outcome.code, e.code);
    EXPECT_EQ(outcome.err, e.err);
    EXPECT_EQ(target.chip.sleepUs(), e.sleptMs * 1000ull);
    // The port is opened only for a sound image, and the target let go unless it never answered.
    EXPECT_EQ(target.chip.lineCalls() > 0, e.sleptMs > 0);
    EXPECT_EQ(target.chip.pinLevel(vtarget::Pin::Reset), e.code != 3);
    EXPECT_TRUE(target.chip.violations().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Table, Endings,
    ::testing::Values(
        Ending{"FuseAndLock",
               {"/x:1", "/f:243", "/l:4", "blink.hex"},
               {},
               0,
               kBanner + ">>> illegal parameter /x:1 ignored\n" + kReady + kProgress + kWritten +
                   "  fuse bits F3 written\n  lock bits 04 written\n" + kRelease,
               kBlinkMs},
        Ending{"Eeprom",
               {"data.eep"},
               {},
               0,
               kBanner + kReady + "--- 1 /\r--- 2 -\r" + kWritten + kRelease,
               2100 + 2500 + 4 * 10},
        Ending{"ProtectedChipErasedFirst",
               {"blink.hex"},
               chip("1E9005", 0x00),
               0,
               kBanner + kConnect + kLocked + kProtected + kTiny12 + kErasing + kProgress +
                   kWritten + kRelease,
               kBlinkMs + 5000},
        Ending{"LockSurvivesErase",
               {"/f:31", "blink.hex"},
               [] {
                   vtarget::Config config = chip("1E9005", 0x00);
                   config.stubbornLock = true;
                   return config;
               }(),
               5,
               kBanner + kConnect + kLocked + kProtected +
                   ">>> Atmel device have both lock bits on. Device type can't be defined. "
                   "Programming canceled!\n" +
                   kRelease,
               2100 + 5000},
        Ending{"Tiny10",
               {"blink.hex"},
               chip("1E9003"),
               0,
               kBanner + kConnect + kLockFuse + "  ATTiny10 detected!\n" + kErasing + kProgress +
                   kWritten + kRelease,
               kBlinkMs},
        Ending{"Tiny11",
               {"blink.hex"},
               chip("1E9004"),
               0,
               kBanner + kConnect + kLockFuse + "  ATTiny11 detected!\n" + kErasing + kProgress +
                   kWritten + kRelease,
               kBlinkMs},
        Ending{"Tiny15",
               {"blink.hex"},
               chip("1E9006"),
               0,
               kBanner + kConnect + kLockFuse +
                   "  ATTiny15 detected! Calibration byte readed = 5Ah\n" + kErasing + kProgress +
                   kWritten + kRelease,
               kBlinkMs},
        Ending{"SyncAtLastAttempt",
               {"blink.hex"},
               chip("1E9005", 0x06, 32),
               0,
               kBanner + kReady + kProgress + kWritten + kRelease,
               kBlinkMs + 31 * 10},
        Ending{"NeverSynchronised",
               {"blink.hex"},
               chip("1E9005", 0x06, 0),
               3,
               kBanner + kConnect + kSyncError + kEoj,
               2100 + 32 * 10},
        Ending{"NonAtmel",
               {"/l:0", "blink.hex"},
               chip("1F9005"),
               5,
               kBanner + kConnect + kLockFuse +
                   ">>> Non-Atmel device detected! Programming canceled!\n" + kRelease,
               2100},
        Ending{"NotOneKilobyte",
               {"blink.hex"},
               chip("1E9105"),
               5,
               kBanner + kConnect + kLockFuse +
                   ">>> Wanted Atmel device must have exactly 1 KB flash! Programming "
                   "canceled!\n" +
                   kRelease,
               2100},
        Ending{"UnsupportedModel",
               {"blink.hex"},
               chip("1E9007"),
               5,
               kBanner + kConnect + kLockFuse +
                   ">>> This ATTiny device is not supported. Programming canceled!\n" + kRelease,
               2100},
        Ending{"StuckFlashCellIsListedAndLoadingGoesOn",
               {"/f:31", "blink.hex"},
               stuck(0x05, 0),
               5,
               kBanner + kReady + ">>> Error verifying flash at 0005. waited ef <> readed 00\n" +
                   kProgress + "  fuse bits 1F written\n" + kRelease,
               kBlinkMs},
        Ending{"EepromMismatchStopsTheLoad",
               {"/l:6", "data.eep"},
               stuck(0, 0x02),
               5,
               kBanner + kReady + ">>> Error verifying EEPROM at 002.\n  lock bits 06 written\n" +
                   kRelease,
               2100 + 2500 + 3 * 10},
        Ending{"NoArguments", {}, {}, 1, kBanner + kUsage, 0},
        Ending{"NoImagePath", {"/f:1"}, {}, 1, kBanner + kUsage, 0},
        Ending{"Help",
               {"blink.hex", "--help"},
               {},
               0,
               kBanner + kUsage +
                   "  --port=NAME      the serial port (default COM1:; a device path on POSIX)\n"
                   "  --fast           poll the chip instead of fixed waits: same run, faster\n"
                   "  --allow-lockout  write a fuse value that disables the reset pin\n"
                   "  --read           read the chip into the file: flash or EEPROM by its name\n"
                   "  --verify         compare the chip with the image; nothing is written\n"
                   "  --help, --version\n",
               0},
        Ending{"FuseThatDisablesReset",
               {"/f:239", "blink.hex"},
               {},
               1,
               kBanner + ">>> Fuse bits EF would program RSTDISBL: the chip could then be "
                         "programmed only with high voltage. Programming canceled! "
                         "(--allow-lockout writes them anyway)\n",
               0},
        Ending{"FuseThatDisablesResetAllowed",
               {"--allow-lockout", "/f:239", "blink.hex"},
               {},
               0,
               kBanner + kReady + kProgress + kWritten + "  fuse bits EF written\n" + kRelease,
               kBlinkMs},
        Ending{"Fast",
               {"--fast", "--bogus", "blink.hex"},
               {},
               0,
               kBanner + ">>> illegal parameter --bogus ignored\n" + kReady + kProgress + kWritten +
                   kRelease,
               25 + 1 + 25 + 30},
        Ending{"FastOnSlowWrites",
               {"--fast", "blink.hex"},
               [] {
                   vtarget::Config config = chip("1E9005", 0x00);
                   config.flashWriteUs = 20000;
                   config.eraseUs = 20000;
                   return config;
               }(),
               0,
               kBanner + kConnect + kLocked + kProtected + kTiny12 + kErasing + kProgress +
                   kWritten + kRelease,
               25 + 1 + 25 + 30 + 30},
        Ending{"Version", {"--version"}, {}, 0, kBanner, 0},
        Ending{"MissingImage",
               {"missing.hex"},
               {},
               4,
               kBanner + ">>> Error opening file missing.hex\n",
               0},
        Ending{"BrokenImage",
               {"broken.hex"},
               {},
               4,
               kBanner + ">>> Error in file broken.hex, record 4: checksum mismatch. "
                         "Programming canceled!\n",
               0},
        Ending{"ImageTooLarge",
               {"large.hex"},
               {},
               4,
               kBanner + ">>> Error in file large.hex: larger than 1048576 bytes, not an image "
                         "for a 1-KB chip. Programming canceled!\n",
               0},
        Ending{"NoPort",
               {"blink.hex"},
               {},
               2,
               kBanner + ">>>COM-port \"COM1:\" not allowed! Programming canceled!\n",
               0,
               true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Run, LeavesTheImageAndTheBitsInTheChip) {
    testsupport::writeFile("blink.hex", kBlink);
    testsupport::AttachedChip target(testsupport::tracing());
    testsupport::Outcome outcome = testsupport::runProgram({"/f:243", "/l:4", "blink.hex"}, "y\nz");
    EXPECT_EQ(outcome.code, 0);
    // Each prompt takes one character: the line typed at the first answers the second.
    EXPECT_EQ(outcome.rest, "z");
    EXPECT_EQ(std::string(target.chip.flash().begin(), target.chip.flash().begin() + 19),
              kCode + "\xFF");
    EXPECT_EQ(target.chip.fuse(), 0xFF);
    EXPECT_EQ(target.chip.lock(), 0x04);
    const std::vector<std::string>& trace = target.chip.trace();
    EXPECT_EQ(std::vector<std::string>(trace.begin(), trace.begin() + 8),
              (std::vector<std::string>{"MOSI 1", "SCK 0", "RESET 0", "SLEEP 2000", "RESET 1",
                                        "SLEEP 50", "RESET 0", "SLEEP 50"}));
    EXPECT_EQ(trace.back(), "RESET 1");
    // Programming Enable 144 calls, seven queries of 120, three sent
    // instructions of 128, 248 per byte, and the release.
    EXPECT_EQ(target.chip.lineCalls() + target.chip.statusReads(),
              5u + 144 + 7 * 120 + 3 * 128 + 18 * 248 + 1);
    EXPECT_EQ(target.chip.statusReads(), 8u * (1 + 7 + 18));
    EXPECT_EQ(target.chip.instructions(),
              (std::map<std::string, std::uint64_t>{{"programming_enable", 1},
                                                    {"read_fuse", 1},
                                                    {"read_lock", 2},
                                                    {"read_signature", 3},
                                                    {"read_calibration", 1},
                                                    {"chip_erase", 1},
                                                    {"write_flash", 18},
                                                    {"read_flash", 18},
                                                    {"write_fuse", 1},
                                                    {"write_lock", 1}}));
}

}  // namespace
