// Whole runs on the virtual chip, as the operator sees them: every line of
// standard error, the exit code, the waits, and what the chip holds after.
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <iterator>
#include <set>

#include "tests/messages.h"
#include "tests/support.h"

namespace {

using namespace messages;
using testsupport::record;

const std::string kCode("\x0A\xC0\xFF\xCF\x0F\xEF\x07\xBB\x08\xBB\x00\x95\x80\x95\xFD\xCF\x18\x95",
                        18);
const std::string kBlink =
    record(0x00, kCode.substr(0, 16)) + record(0x10, kCode.substr(16)) + testsupport::kEndRecord;
const std::string kProgress = progress(3);
const std::string kReady = kConnect + kLockFuse + kTiny12 + kErasing;
const std::string kDone = kProgress + kWritten;
const std::string kRelease = kDisconnect + kEoj;
const std::string kProtected = "  Device is protected, erasing now. Please wait...\n";
const std::string kLocked =
    kConnect + "  Lock bits readed = 00h, fuse bits readed = 12h\n" + kProtected;
const std::string kSyncError =
    ">>>Sync error (possibly disconnected device). Programming canceled!\n" + kEoj;
const std::string kCanceled = " Programming canceled!\n";
const std::string kEarlier = "an earlier backup\n";
const std::string kDiffersEep = record(0x00, "\xFF\x20\x30\xFF") + testsupport::kEndRecord;
// Flash bytes up to 1000 and erased ones after, which a read keeps.
const std::string kFlash = [] {
    std::string bytes(1024, '\xFF');
    for (unsigned a = 0; a < 1000; ++a)
        bytes[a] = static_cast<char>(a * 7);
    return bytes;
}();
// Bytes in 16-byte records, as a read writes them.
std::string hexOf(const std::string& bytes) {
    std::string text;
    for (unsigned a = 0; a < bytes.size(); a += 16)
        text += record(a, bytes.substr(a, 16));
    return text + testsupport::kEndRecord;
}
const std::string kFlashHex = hexOf(kFlash);
const std::string kLongName = std::string(251, 'n') + ".hex";
// The ATtiny12's erase before its last: the first erase and FF written at 0000.
constexpr unsigned kEraseStepsMs = 30 + 30;
// The reset sequence, the erase and a settle after each of blink's 18 bytes.
constexpr unsigned kBlinkMs = 2000 + 50 + 50 + kEraseStepsMs + 2500 + 18 * 10;
// The same in a fast run: no settle, as it polls after the datasheet's write
// time, 4.5 ms for each of the 17 bytes that are not 0xFF.
constexpr unsigned kFastMs = 25 + 1 + 25 + kEraseStepsMs + 30;
constexpr double kFastBlinkMs = kFastMs + 17 * 4.5;
// A RESET pulse and the settle after it between two attempts to synchronise.
constexpr unsigned kRetryMs = 1 + 25;
// An ATtiny15 instead: a RESET pulse after the erase, no erase steps before it.
constexpr unsigned kTiny15Ms = kBlinkMs - kEraseStepsMs + 50 + 50;
const std::string kClockRefused =
    ">>> Fuse bits 5F select an external crystal or ceramic resonator on the ATtiny12 (it runs on "
    "the internal RC oscillator): without one on the board it stops and cannot be programmed "
    "again in circuit. Programming canceled! (--allow-lockout writes them anyway)\n";

struct Ending {
    const char* name;
    std::string vtarget;  // the chip, as the preload library's settings say
    std::string args;     // separated by blanks
    int code;
    std::string err;
    double sleptMs;  // the waits the run asked for
    // A file the run reads into, and what it then holds ("": none); only
    // reads reach the chip then.
    std::string file = "", after = "";
};

std::set<std::string> namesHere() {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator("."))
        names.insert(entry.path().filename().string());
    return names;
}

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
    testsupport::writeFile("flash.bin", kFlash);
    testsupport::writeFile("dump.hex", kEarlier);
    testsupport::writeFile("differs.eep", kDiffersEep);
    std::filesystem::create_directories("adir.hex");
    std::set<std::string> before = namesHere();
    testsupport::AttachedChip target(testsupport::chipOf(e.vtarget));
    testsupport::Outcome outcome = testsupport::runProgram(e.args);
    EXPECT_EQ(outcome.code, e.code);
    // The whole of it where it begins with the banner, else what it ends with.
    std::string err = beforePorts(outcome.err);
    std::size_t tail = err.size() - std::min(err.size(), e.err.size());
    EXPECT_EQ(e.err.rfind(kBanner, 0) == 0 ? err : err.substr(tail), e.err);
    EXPECT_EQ(target.adapter.sleptNs() / 1000, static_cast<std::uint64_t>(e.sleptMs * 1000));
    // The port is touched only for a sound image, the chip only through a port
    // that can drive it, and the target let go unless it never answered.
    bool checked = e.err.find("cannot drive") != std::string::npos;
    EXPECT_EQ(target.adapter.statusReads() > 0, e.sleptMs > 0 || checked);
    EXPECT_TRUE(e.sleptMs > 0 || target.chip.instructions().empty());
    EXPECT_EQ(target.chip.pinLevel(vtarget::Pin::Reset),
              e.code != 3 && e.err.find("stopped") == std::string::npos);
    EXPECT_EQ(target.chip.violationCount(), 0u);
    // No run leaves a file behind but the one it reads into.
    for (const std::string& name : namesHere())
        EXPECT_TRUE(before.count(name) != 0 || name == e.file || name == "stdin") << name;
    if (e.file.empty()) return;
    std::ifstream file(e.file, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(file), {}), e.after);
    for (const auto& [kind, count] : target.chip.instructions())
        EXPECT_TRUE(kind == "programming_enable" || kind.rfind("read_", 0) == 0) << kind;
}

// An option that is not as the help gives it ends the run before the port
// is opened, naming the argument; "/" options are still reported and ignored.
TEST(Run, OptionsFailLoudly) {
    const std::pair<const char*, const char*> rows[] = {
        {"--verfy blink.hex", "Unknown option --verfy"},
        {"--raed dump.hex", "Unknown option --raed"},
        {"--frobnicate blink.hex", "Unknown option --frobnicate"},
        {"-v blink.hex", "Unknown option -v"},
        {"--yes=1 blink.hex", "Option takes no value: --yes=1"},
        {"--port= blink.hex", "Option needs a value: --port="},
        {"blink.hex --port", "Option needs a value: --port"},
        {"--read --verify blink.hex", "Options --read and --verify exclude each other"},
    };
    testsupport::writeFile("blink.hex", kBlink);
    for (const auto& [args, line] : rows) {
        testsupport::AttachedChip target;
        testsupport::Outcome outcome = testsupport::runProgram(args);
        EXPECT_EQ(outcome.code, 1) << args;
        EXPECT_EQ(outcome.err,
                  kBanner + ">>> " + line + " (quillet --help lists the options). Canceled!\n")
            << args;
        EXPECT_EQ(target.adapter.activity(), 0u) << args;
    }
}

// --yes answers both prompts, each line ended as an Enter on a terminal
// would end it, and reads nothing.
TEST(Run, YesAnswersThePrompts) {
    testsupport::writeFile("blink.hex", kBlink);
    testsupport::AttachedChip target;
    testsupport::Outcome outcome = testsupport::runProgram("--yes blink.hex", "y\nz");
    EXPECT_EQ(outcome.code, 0);
    EXPECT_EQ(outcome.err, kBanner + kConnect + "\n" + kReady.substr(kConnect.size()) + kDone +
                               kDisconnect + "\n" + kEoj);
    EXPECT_EQ(outcome.rest, "y\nz");
}

// What is read programs back unchanged, and verifies.
TEST(Run, ReadBackProgramsAndVerifies) {
    testsupport::writeFile("flash.bin", kFlash);
    testsupport::AttachedChip target(testsupport::chipOf("flash-in=flash.bin"));
    EXPECT_EQ(testsupport::runProgram("--read dump.hex").code, 0);
    EXPECT_EQ(testsupport::runProgram("dump.hex").code, 0);
    EXPECT_EQ(std::string(target.chip.flash().begin(), target.chip.flash().end()), kFlash);
    EXPECT_EQ(testsupport::runProgram("--verify dump.hex").code, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Endings,
    ::testing::Values(
        Ending{"FuseAndLock", "", "/x:1 /f:211 /l:4 blink.hex", 0,
               kBanner + ">>> illegal parameter /x:1 ignored\n" + kReady + kDone +
                   "  fuse bits D3 written\n  lock bits 04 written\n" + kRelease,
               kBlinkMs},
        // Compared on the bits the ATtiny15 has: 7-4, 1 and 0.
        // Its read-back polls a millisecond apart for 30 ms.
        Ending{"FuseThatDoesNotTake", "model=15,stuck-fuse=52", "/f:211 /l:0 blink.hex", 5,
               kDone +
                   "  fuse bits D3 written\n>>> Error verifying fuse bits. waited d3 <> readed "
                   "52\n  lock bits 00 written\n" +
                   kRelease,
               kTiny15Ms + 24},
        Ending{"ClockTheBoardMayLack", "", "/f:95 blink.hex", 1,
               kBanner + kConnect + kLockFuse + kTiny12 + kClockRefused + kRelease, 2100},
        Ending{"FuseThatEndsSerialProgramming", "", "/f:243 blink.hex", 1,
               kBanner + ">>> Fuse bits F3 would unprogram SPIEN: the chip could then be "
                         "programmed only with high voltage. Fuse bits D3 keep SPIEN programmed. "
                         "Programming canceled! (--allow-lockout writes them anyway)\n",
               0},
        Ending{"FuseThatEndsSerialProgrammingAllowed", "", "--allow-lockout /f:243 blink.hex", 0,
               kDone + "  fuse bits F3 written\n" + kRelease, kBlinkMs},
        Ending{"Eeprom", "", "data.eep", 0, kErasing + progress(2) + kWritten + kRelease,
               4640 + kEraseStepsMs},
        Ending{"ProtectedChipErasedFirst", "lock=00", "blink.hex", 0,
               kBanner + kLocked + kTiny12 + kErasing + kDone + kRelease, kBlinkMs + 5000},
        Ending{"LockSurvivesErase", "lock=00,stubborn-lock", "/f:82 blink.hex", 5,
               kProtected + ">>> Atmel device have both lock bits on. Device type can't be " +
                   "defined." + kCanceled + kRelease,
               7100},
        Ending{"Tiny10", "model=10", "blink.hex", 0,
               "  ATTiny10 detected!\n" + kErasing + kDone + kRelease, kBlinkMs - kEraseStepsMs},
        Ending{"Tiny15", "model=15,calibration=4C", "blink.hex", 0,
               "  ATTiny15 detected! Calibration byte readed = 4Ch\n" + kErasing + kDone + kRelease,
               kTiny15Ms},
        Ending{"SyncAtLastAttempt", "sync=32", "blink.hex", 0, kDone + kRelease,
               kBlinkMs + 31 * kRetryMs},
        Ending{"NeverSynchronised", "sync=never", "blink.hex", 3, kConnect + kSyncError,
               2100 + 31 * kRetryMs},
        Ending{"FuseLocksOut", "fuse=FF", "blink.hex", 3, kConnect + kSyncError,
               2100 + 31 * kRetryMs},
        Ending{"NonAtmel", "signature=1F9005", "/l:0 blink.hex", 5,
               kLockFuse + ">>> Non-Atmel device detected!" + kCanceled + kRelease, 2100},
        Ending{"NotOneKilobyte", "signature=1E9105", "blink.hex", 5,
               ">>> Wanted Atmel device must have exactly 1 KB flash!" + kCanceled + kRelease,
               2100},
        Ending{"UnsupportedModel", "signature=1E9007", "blink.hex", 5,
               ">>> This ATTiny device is not supported." + kCanceled + kRelease, 2100},
        Ending{"StuckFlashCellIsListedAndLoadingGoesOn", "stuck=005:00", "/f:82 blink.hex", 5,
               kErasing + ">>> Error verifying flash at 0005. waited ef <> readed 00\n" +
                   kProgress + "  fuse bits 52 written\n" + kRelease,
               kBlinkMs},
        Ending{"EepromMismatchStopsTheLoad", "eestuck=02:00", "/l:6 data.eep", 5,
               kErasing + ">>> Error verifying EEPROM at 002.\n  lock bits 06 written\n" + kRelease,
               4630 + kEraseStepsMs},
        // The chip's 2273th call falls in the first byte's write, its 2265th to 2392nd.
        Ending{
            "PortStopsAnswering", "fail-after=2272", "/f:82 blink.hex", 5,
            kErasing + ">>> Port COM1: stopped answering (adapter unplugged?)." + kCanceled + kEoj,
            4610 + kEraseStepsMs},
        Ending{"PortFailsBeforeSync", "fail-after=100", "blink.hex", 3, kConnect + kSyncError,
               2100 + 31 * kRetryMs},
        Ending{"Fast", "", "--fast blink.hex", 0, kBanner + kReady + kDone + kRelease,
               kFastBlinkMs},
        Ending{"FastOnSlowWrites", "lock=00,flash-us=20000,erase-us=20000", "--fast blink.hex", 0,
               kProtected + kTiny12 + kErasing + kDone + kRelease, kFastMs + 30 + 17 * 18.5},
        Ending{"FuseThatDisablesReset", "", "/f:239 blink.hex", 1,
               kBanner + ">>> Fuse bits EF would program RSTDISBL: the chip could then be "
                         "programmed only with high voltage. Programming canceled! "
                         "(--allow-lockout writes them anyway)\n",
               0},
        Ending{"FuseThatDisablesResetAllowed", "", "--allow-lockout /f:239 blink.hex", 0,
               kDone + "  fuse bits EF written\n" + kRelease, kBlinkMs},
        Ending{"NoImagePath", "", "/f:1", 1, kBanner + kUsage, 0},
        Ending{"Help", "", "blink.hex -h", 0, "whatever it begins with\n", 0},
        Ending{"PathAfterTheOptions", "", "-- -h", 4, ">>> Error opening file -h\n", 0},
        Ending{"BrokenImage", "", "broken.hex", 4,
               kBanner + ">>> Error in file broken.hex, record 4: checksum mismatch." + kCanceled,
               0},
        Ending{"ImageTooLarge", "", "large.hex", 4,
               ">>> Error in file large.hex: larger than 1048576 bytes, not an image for a 1-KB " +
                   std::string("chip.") + kCanceled,
               0},
        Ending{
            "ReadFlash", "flash-in=flash.bin", "--read dump.hex", 0,
            kTiny12 + progress(64) + "  Flash read: 1024 bytes written to dump.hex.\n" + kRelease,
            2100, "dump.hex", kFlashHex},
        Ending{"ReadProtected", "lock=04", "--fast --read dump.hex", 5,
               ">>> Device is protected: its memory cannot be read, and it was not erased. "
               "Reading canceled!\n" +
                   kRelease,
               51, "dump.hex", kEarlier},
        Ending{"ReadIntoNoDirectory", "", "--read none/dump.hex", 4,
               ">>> Error creating file none/dump.hex: " + std::string(std::strerror(ENOENT)) +
                   ". Reading canceled!\n",
               0, "none/dump.hex"},
        Ending{"ReadIntoADirectory", "", "--read adir.hex", 4,
               kBanner + ">>> Error in file adir.hex: a directory, not a regular file. Reading "
                         "canceled!\n",
               0},
        // The name of the file may take all 255 bytes a name can have.
        Ending{"ReadIntoTheLongestName", "flash-in=flash.bin", "--read " + kLongName, 0,
               "  Flash read: 1024 bytes written to " + kLongName + ".\n" + kRelease, 2100,
               kLongName, kFlashHex},
        Ending{"FlashAndEeprom", "", "blink.hex data.eep", 0,
               kErasing + kProgress + progress(2) + kWritten + kWritten + kRelease, kBlinkMs + 40},
        // The EEPROM is written after a flash that failed; the fuse too.
        Ending{"EepromAfterAFlashThatFailed", "stuck=005:00", "data.eep /f:82 blink.hex", 5,
               kErasing + ">>> Error verifying flash at 0005. waited ef <> readed 00\n" +
                   kProgress + progress(2) + kWritten + "  fuse bits 52 written\n" + kRelease,
               kBlinkMs + 40},
        Ending{"TwoFlashImages", "", "blink.hex --flash data.eep", 1,
               kBanner + ">>> Two flash images given, blink.hex and data.eep: a run writes one " +
                   "image per memory. Canceled!\n",
               0},
        Ending{
            "ReadTwoFiles", "", "--read blink.hex data.eep", 1,
            kBanner + ">>> Two files given, blink.hex and data.eep: a run takes one. Canceled!\n",
            0},
        Ending{"KeepFlash", "", "--keep-flash data.eep", 0,
               kTiny12 + progress(64) + progress(2) + progress(64) + kWritten + kRelease, 2140},
        Ending{"KeepFlashWithAFlashImage", "", "--keep-flash blink.hex", 1,
               "but blink.hex is a flash image. Canceled!\n", 0},
        Ending{"KeepFlashWithFuse", "", "--keep-flash /f:82 data.eep", 1,
               "/f: and /l: cannot go with it. Canceled!\n", 0},
        // No erase, not even connect's: no wait for one.
        Ending{"KeepFlashOnAProtectedChip", "lock=02", "--keep-flash data.eep", 5,
               "02h, fuse bits readed = 12h\n>>> Device is protected: its EEPROM can be written " +
                   std::string("only after a chip erase, which --keep-flash leaves out; only a ") +
                   "run without --keep-flash can write it." + kCanceled + kRelease,
               2100},
        // Each EEPROM write also programs the last flash byte.
        Ending{"KeepFlashSeesAFlashChange", "astray=3FF", "--keep-flash data.eep", 5,
               progress(64) + ">>> Flash changed at 03FF while the EEPROM was written: waited " +
                   "ff <> readed 00\n" + kRelease,
               2140},
        Ending{"VerifyListsEveryDifference", "", "--verify differs.eep", 5,
               ">>> Error verifying EEPROM at 0001. waited 20 <> readed ff\n"
               ">>> Error verifying EEPROM at 0002. waited 30 <> readed ff\n" +
                   progress(2) + "  2 of 4 bytes differ\n" + kRelease,
               2100, "differs.eep", kDiffersEep},
        // A break that cannot carry MOSI: simulated (ch341 chips without a break
        // register) or refused (CP2105's second interface, PL2303 HXD clones).
        Ending{"BreakSimulated", "adapter=ch340,break=pulse", "blink.hex", 2,
               kBanner + ">>> Port COM1: cannot drive the chip: its break is simulated (clearing " +
                   "it took 241 ms), so MOSI cannot be held." + kCanceled,
               0},
        Ending{"BreakRefused", "break=enotty", "blink.hex", 2,
               kBanner + ">>> Port COM1: cannot drive the chip: it cannot send a break, which " +
                   "carries MOSI (" + port::describe(port::Result{ENOTTY}) + ")." + kCanceled,
               0},
        Ending{"NoPort", "no-port", "blink.hex --port /dev/ttyUSB7", 2,
               kBanner + ">>>COM-port \"/dev/ttyUSB7\" not allowed!" + kCanceled +
                   "  No such port: /dev/ttyUSB7 does not exist.\n",
               0},
        Ending{"NoSuchAdapter", "", "--port=usb:dead:beef:X1 blink.hex", 2,
               "\"usb:dead:beef:X1\" not allowed!" + kCanceled +
                   "  No USB serial adapter dead:beef with serial number X1 found.\n",
               0},
        Ending{"FtdiNotBuilt", "", "--port=ftdi:A1 blink.hex", 2,
               "\"ftdi:A1\" not allowed!" + kCanceled +
                   "  This build has no FTDI support: it was built without libftdi1 (Debian: "
                   "libftdi1-dev).\n",
               0},
        Ending{"PortNameMalformed", "", "--port=ftdi: blink.hex", 2,
               "\"ftdi:\" not allowed!" + kCanceled +
                   "  A port name is ftdi, ftdi:SERIAL, usb:VID:PID or usb:VID:PID:SERIAL (in "
                   "hexadecimal), or a device.\n",
               0}),
    [](const auto& info) { return std::string(info.param.name); });

class Runs : public ::testing::TestWithParam<bool> {};

// A fast run leaves the same in the chip as the default one, in fewer calls.
TEST_P(Runs, LeaveTheImageAndTheBitsInTheChip) {
    bool fast = GetParam();
    testsupport::writeFile("blink.hex", kBlink);
    testsupport::AttachedChip target;
    testsupport::Outcome outcome = testsupport::runProgram(
        fast ? "--fast /f:211 /l:4 blink.hex" : "--port=X /f:211 /l:4 blink.hex", "y\nz");
    EXPECT_EQ(outcome.code, 0);
    EXPECT_EQ(outcome.err.find("illegal"), std::string::npos);
    // Each prompt takes one character: the line typed at the first answers the second.
    EXPECT_EQ(outcome.rest, "z");
    EXPECT_EQ(std::string(target.chip.flash().begin(), target.chip.flash().begin() + 19),
              kCode + "\xFF");
    EXPECT_EQ(target.chip.fuse(), 0xD3);
    EXPECT_EQ(target.chip.lock(), 0x04);
    EXPECT_EQ(target.adapter.trace().back(), "RESET 1");
    // The port's check 3 calls, the reset 5, Programming Enable 144, twenty
    // queries of 120 (signature byte 0 read twice after the sync, the erase
    // and the lock write, fuse and lock read twice, the signature, the
    // calibration byte, the fuse and lock read back, fuse and lock twice at
    // the end), five sent instructions of 128 (three of them the erase), 248 per byte, the final
    // pass's 1024 reads, 38 checks of the frame (Programming Enable and a query: after connect's
    // bits, the signature, the end's bits, and every 30 instructions), and the release.
    if (fast) {
        // Every pin is driven only when its level changes, and the run takes
        // about the chip's own write times.
        std::map<std::string, std::string> last;
        for (const std::string& line : target.adapter.trace()) {
            std::string pin = line.substr(0, line.find(' '));
            if (pin == "MISO" || pin == "SLEEP") continue;
            EXPECT_NE(last[pin], line) << "driven twice";
            last[pin] = line;
        }
        EXPECT_LT(target.chip.nowUs(), 400000u + kEraseStepsMs * 1000);
        return;
    }
    EXPECT_EQ(target.adapter.lineCalls() + target.adapter.statusReads(),
              3u + 5 + 144 + 16 * 120 + 5 * 128 + 18 * 248 + 1024 * 120 + 38 * 264 + 1);
    EXPECT_EQ(target.adapter.statusReads(), 1 + 8u * (1 + 16 + 18 + 1024 + 38 * 2));
    const std::vector<std::string>& trace = target.adapter.trace();
    EXPECT_EQ(
        std::vector<std::string>(trace.begin(), trace.begin() + 11),
        (std::vector<std::string>{"MISO 0", "MOSI 1", "MOSI 0", "MOSI 1", "SCK 0", "RESET 0",
                                  "SLEEP 2000", "RESET 1", "SLEEP 50", "RESET 0", "SLEEP 50"}));
    // The fuse written (D3: SPIEN programmed, the internal RC) keeps the chip
    // reachable at the next open.
    EXPECT_EQ(testsupport::runProgram("blink.hex").code, 0);
}

INSTANTIATE_TEST_SUITE_P(DefaultAndFast, Runs, ::testing::Bool());

class KeepFlash : public ::testing::TestWithParam<std::tuple<const char*, bool>> {};

// With --keep-flash no chip erase is sent: the program stays byte for byte,
// and the EEPROM is written where it differs, 0xFF over another byte too.
// Without, both images go in after one erase, whatever their names.
TEST_P(KeepFlash, WritesTheEepromAndLeavesTheProgram) {
    std::string flags = std::get<1>(GetParam()) ? "--fast " : "";
    testsupport::writeFile("flash.bin", kFlash);
    testsupport::writeFile("held.bin", std::string("\x01\x00\x03\x55", 4));
    testsupport::writeFile("data.ihex",
                           record(0x00, "\x01\xFF\x30\x55\xFF") + testsupport::kEndRecord);
    testsupport::AttachedChip target(testsupport::chipOf(
        std::string("flash-in=flash.bin,eeprom-in=held.bin,model=") + std::get<0>(GetParam())));
    EXPECT_EQ(testsupport::runProgram(flags + "--keep-flash --eeprom data.ihex").code, 0);
    EXPECT_EQ(std::string(target.chip.flash().begin(), target.chip.flash().end()), kFlash);
    EXPECT_EQ(std::string(target.chip.eeprom().begin(), target.chip.eeprom().begin() + 6),
              std::string("\x01\xFF\x30\x55\xFF\xFF", 6));
    std::map<std::string, std::uint64_t> counts = target.chip.instructions();
    EXPECT_EQ(counts["chip_erase"] + counts["write_flash"] + target.chip.violationCount(), 0u);
    EXPECT_EQ(counts["write_eeprom"], 2u);
    testsupport::writeFile("blink.bin", kBlink);
    EXPECT_EQ(testsupport::runProgram(flags + "--flash blink.bin data.ihex").code, 0);
    EXPECT_EQ(std::string(target.chip.flash().begin(), target.chip.flash().begin() + 19),
              kCode + "\xFF");
    // One erase: two Chip Erase instructions on the ATtiny12 (FF at 0000 between).
    EXPECT_EQ(target.chip.instructions().at("chip_erase"),
              std::string(std::get<0>(GetParam())) == "12" ? 2u : 1u);
}

INSTANTIATE_TEST_SUITE_P(Tiny12AndTiny15, KeepFlash,
                         ::testing::Combine(::testing::Values("12", "15"), ::testing::Bool()));

// Each model's erase up to the image's first byte (the ATtiny12's erased,
// FF written at 0000 and erased again, which alone erases that byte with the
// erase warning; the ATtiny15 entered again) and its fuse byte as it takes
// it. A value that moves an ATtiny12 to a clock its board lacks is refused,
// nothing erased; written anyway, the chip answers no later run.
TEST(Run, EachModelErasesAndTakesItsFuseByteAsItsDatasheetSays) {
    testsupport::writeFile("blink.hex", kBlink);
    testsupport::writeFile("zero.bin", std::string(1, '\0'));
    const std::uint32_t kErase = 0xAC800000, kFirst = 0x4000000A;
    // The ATtiny15's Programming Enable carries the fuse byte it holds, 5F,
    // shifted right by one in its fourth byte.
    const std::vector<std::uint32_t> k12{kErase, 0x400000FF, kErase, kFirst},
        k15{kErase, 0xAC530000 | 0x5F >> 1, kFirst};
    for (const auto& [vtarget, args, code, fuse, next, erase] :
         {std::tuple{"erase-warning,flash-in=zero.bin", "/f:211 blink.hex", 0, 0xD3, 0, k12},
          {"erase-warning,flash-in=zero.bin", "--fast /f:211 blink.hex", 0, 0xD3, 0, k12},
          {"model=15", "/f:211 blink.hex", 0, 0xDF, 0, k15},
          {"model=15", "--fast /f:95 blink.hex", 0, 0x5F, 0, k15},
          {"model=10", "--fast blink.hex", 0, 0xF2, 0, {kErase, kFirst}},
          {"", "/f:95 blink.hex", 1, 0x52, 0, {}},
          {"", "--allow-lockout /f:95 blink.hex", 0, 0x5F, 3, k12},
          {"clock=crystal", "--allow-lockout /f:95 blink.hex", 0, 0x5F, 0, k12},
          {"clock=crystal,fuse=5F", "/f:95 blink.hex", 0, 0x5F, 0, k12},
          {"clock=crystal,fuse=5F", "/f:82 blink.hex", 0, 0x52, 0, k12}}) {
        testsupport::AttachedChip target(testsupport::chipOf(vtarget));
        EXPECT_EQ(testsupport::runProgram(args).code, code) << vtarget << args;
        const std::vector<std::uint32_t>& words = target.chip.words();
        auto first = std::find(words.begin(), words.end(), kErase);
        auto end = first + std::min<std::ptrdiff_t>(words.end() - first, erase.size());
        EXPECT_EQ(std::vector<std::uint32_t>(first, end), erase) << vtarget << args;
        EXPECT_EQ(target.chip.flash()[0], code == 0 ? 0x0A : 0xFF);
        EXPECT_EQ(target.chip.fuse(), fuse);
        EXPECT_EQ(testsupport::runProgram("blink.hex").code, next);
        EXPECT_EQ(target.chip.violationCount(), 0u);
    }
}

class Adapters : public ::testing::TestWithParam<std::tuple<const char*, bool>> {};

// On every adapter, default and fast, the whole flash and the whole EEPROM
// are written and verified, and read back as they were written.
TEST_P(Adapters, WriteVerifyAndReadBackBothMemories) {
    auto [adapter, fast] = GetParam();
    std::string flags = fast ? "--fast " : "";
    testsupport::AttachedChip target(testsupport::chipOf(std::string("adapter=") + adapter));
    // No byte erased: every one is written.
    std::string bytes(1024, '\0');
    for (unsigned a = 0; a < 1024; ++a)
        bytes[a] = static_cast<char>(a * 5 % 255);
    for (const auto& [type, image] :
         {std::pair{".eep", hexOf(bytes.substr(0, 64))}, {".hex", hexOf(bytes)}}) {
        testsupport::writeFile(std::string("full") + type, image);
        EXPECT_EQ(testsupport::runProgram(flags + "full" + type).code, 0);
        EXPECT_EQ(testsupport::runProgram(flags + "--read dump" + type).code, 0);
        std::ifstream dump(std::string("dump") + type, std::ios::binary);
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(dump), {}), image);
    }
    EXPECT_EQ(target.chip.violationCount() + target.adapter.violations().count(), 0u);
}

// Last, a status copy refreshed less often than any listed family's: the wait
// before a sample is learnt longer while synchronising.
INSTANTIATE_TEST_SUITE_P(EveryPreset, Adapters,
                         ::testing::Combine(::testing::Values("native", "ftdi", "cp210x", "ch340",
                                                              "pl2303",
                                                              "pl2303,status-poll-us=2500"),
                                            ::testing::Bool()),
                         [](const auto& info) {
                             std::string name;
                             for (const char* c = std::get<0>(info.param); *c != '\0'; ++c)
                                 if (std::isalnum(static_cast<unsigned char>(*c))) name += *c;
                             return name + (std::get<1>(info.param) ? "Fast" : "");
                         });

}  // namespace
