#include "run/run.h"

#include <cstdint>
#include <cstring>
#include <initializer_list>

#include "image/file.h"
#include "image/writer.h"
#include "isp/bits.h"
#include "isp/connect.h"
#include "isp/final_pass.h"
#include "isp/frame.h"
#include "isp/instructions.h"
#include "isp/models.h"
#include "isp/ports.h"
#include "isp/program.h"
#include "isp/readback.h"
#include "isp/session.h"
#include "run/options.h"
#include "text/printable.h"

namespace run {

namespace {

// POSIX paths begin with "/", which elsewhere starts every option.
#ifdef _WIN32
constexpr bool kSlashPaths = false;
#else
constexpr bool kSlashPaths = true;
#endif

// A read's memory and its text, flash being the larger; with --keep-flash,
// the flash before and after the EEPROM is written.
std::uint8_t memoryRead[image::kFlashBytes];
std::uint8_t flashAfter[image::kFlashBytes];
char memoryText[image::hexTextSize(image::kFlashBytes)];

void printUsage() {
    ProgramOptions defaults;
    std::fprintf(stderr,
                 "using: Quillet [/f:<fuse bits (default=%02Xh, see ATTiny datasheet)>] "
                 "[/l:<lock bits (default=%02Xh)>] <Hex-file or EEP-file>\n",
                 defaults.fuseValue, defaults.lockValue);
}

// The options beyond the usage line, for --help.
void printOptions() {
    std::fprintf(stderr,
                 "  /f:82            a fuse value safe on every model: the ATtiny12's factory one\n"
                 "  --port=NAME      the serial port (default COM1:; a device path on POSIX);\n"
                 "                   usb:VID:PID[:SERIAL] that USB adapter's serial port,\n"
                 "                   ftdi[:SERIAL] an FTDI chip in bit-bang mode\n"
                 "  --list-ports     list the serial ports and FTDI chips found, and end\n"
                 "  --yes            answer both prompts, without reading standard input\n"
                 "  --fast           poll the chip instead of fixed waits: same run, faster\n"
                 "  --allow-lockout  write a fuse value that ends serial programming, or that\n"
                 "                   moves an ATtiny12 to a clock its board may lack\n"
                 "  --flash FILE     an image for the flash, whatever its name\n"
                 "  --eeprom FILE    an image for the EEPROM, whatever its name; with a flash\n"
                 "                   image, both are written after one chip erase\n"
                 "  --keep-flash     write an EEPROM image without erasing the chip: flash,\n"
                 "                   fuse and lock bits stay (avrdude's -D)\n"
                 "  --read           read the chip into the file: flash or EEPROM by its name,\n"
                 "                   or as --flash or --eeprom names it\n"
                 "  --verify         compare the chip with the image; nothing is written\n"
                 "  --help, -h, -?   this help\n"
                 "  --version        the version, on standard output\n"
                 "  --               what follows is a file, whatever it begins with\n");
}

// Says so where the bits that were read back differ from those written.
// Returns true when they match.
bool checkBits(const char* which, unsigned wanted, unsigned got) {
    if (got == wanted) return true;
    std::fprintf(stderr, ">>> Error verifying %s bits. waited %02x <> readed %02x\n", which, wanted,
                 got);
    return false;
}

// The images of a run, flash first; a read's file or a verify's image alone.
struct Images {
    image::Image list[2];
    unsigned count;
};

// Writes the EEPROM image over a chip that was not erased, the flash read
// before and after: a write gone astray would change it unseen. The EEPROM
// must then hold its bytes as they were under the image's. Returns true
// when the EEPROM reads as it must and the flash is as it was.
std::uint8_t eepromWanted[image::kEepromBytes];

bool updateKeepingFlash(const image::Image& eeprom, bool fast, int model) {
    if (!isp::readMemory(image::MemoryKind::Flash, memoryRead)) return false;
    if (!isp::readQuietly(image::MemoryKind::Eeprom, eepromWanted)) return false;
    isp::overlayImage(eeprom, eepromWanted);
    bool written = isp::updateEeprom(eeprom, fast, model);
    if (!isp::portAnswering() || isp::chipLost() ||
        !isp::readMemory(image::MemoryKind::Flash, flashAfter)) {
        return false;
    }
    for (unsigned a = 0; a < image::kFlashBytes; ++a) {
        if (flashAfter[a] == memoryRead[a]) continue;
        std::fprintf(stderr,
                     ">>> Flash changed at %04X while the EEPROM was written: waited %02x <> "
                     "readed %02x\n",
                     a, static_cast<unsigned>(memoryRead[a]), static_cast<unsigned>(flashAfter[a]));
        return false;
    }
    return written && isp::finalPass(image::MemoryKind::Eeprom, eepromWanted);
}

// The memories a run proved by their final pass: a chip that lost its frame
// may have executed a write out of step, after the pass or where it did not
// look, so they are proved again and, in a run that erased the chip, the
// memory no image was for is proved erased.
struct Proof {
    const Images* images = nullptr;
    bool proven[2] = {false, false};
    bool keptFlash = false;                  // the EEPROM over a kept flash, the flash as it was
    bool erased = false;                     // the run erased the chip
    const image::Image* verified = nullptr;  // a verify's image, every byte compared
    bool doubted = false;                    // a byte differed from its image
    unsigned resynchronisations = 0;         // the run's count when last proven
};
Proof proof;

// Where the line showed noise or a byte differed (one flipped bit turns Write
// Flash, 0x40, into Write EEPROM, 0xC0), proves the memory that no image was
// for still erased. Returns true when it is (or no proof was due).
bool otherStillErased() {
    static std::uint8_t erased[image::kFlashBytes];
    if (!proof.erased || !(isp::noiseSeen() || proof.doubted)) return true;
    std::memset(erased, 0xFF, sizeof erased);
    bool same = true;
    for (image::MemoryKind kind : {image::MemoryKind::Flash, image::MemoryKind::Eeprom}) {
        bool written = false;
        for (unsigned i = 0; i < proof.images->count; ++i)
            written = written || proof.images->list[i].kind == kind;
        if (written) continue;
        isp::clearReported(kind);
        same = isp::finalPass(kind, erased) && same;
    }
    return same;
}

// Reads every proven memory back again. Returns true when each still holds
// what it must.
bool proveAgain() {
    unsigned compared = 0, differing = 0;
    if (proof.verified) return isp::verifyImage(*proof.verified, compared, differing, true);
    bool same = true;
    for (unsigned i = 0; i < 2; ++i) {
        if (!proof.proven[i]) continue;
        if (proof.keptFlash) {
            same = isp::finalPass(image::MemoryKind::Eeprom, eepromWanted) &&
                   isp::finalPass(image::MemoryKind::Flash, memoryRead) && same;
        } else {
            same = isp::finalPassOf(proof.images->list[i]) && same;
        }
    }
    return otherStillErased() && same;
}

// Erases the chip (unless the flash is kept), programs each image, flash
// first, reads each memory written back whole (the final pass), and writes
// the given fuse and lock bytes, each read back. An image that failed stops
// neither the next nor the bytes. Returns the exit code.
int programTarget(const ProgramOptions& options, const Images& images, int model) {
    if (!options.keepFlash) {
        std::fprintf(stderr, "  Erasing chip, please wait...\n");
        if (!isp::eraseChip(options.fast, model)) return kNoSync;
    }
    bool written[2] = {false, false};
    for (unsigned i = 0; i < images.count; ++i) {
        written[i] = options.keepFlash ? updateKeepingFlash(images.list[i], options.fast, model)
                                       : isp::programImage(images.list[i], options.fast, model);
        if (!isp::portAnswering() || isp::chipLost()) return kNotProgrammed;
    }
    // A resynchronisation from here on has the memories proved again at the end.
    proof = Proof{};
    proof.images = &images;
    proof.keptFlash = options.keepFlash;
    proof.erased = !options.keepFlash;
    proof.resynchronisations = isp::resynchronisationCount();
    // No success line before the whole memory has read back as it must.
    for (unsigned i = 0; i < images.count && !options.keepFlash; ++i) {
        if (written[i]) written[i] = isp::finalPassOf(images.list[i]);
        if (!isp::portAnswering() || isp::chipLost()) return kNotProgrammed;
    }
    proof.proven[0] = written[0];
    proof.proven[1] = written[1];
    for (unsigned i = 0; i < images.count; ++i)
        proof.doubted = proof.doubted || !written[i];
    bool programmed = otherStillErased();
    if (!isp::portAnswering() || isp::chipLost()) return kNotProgrammed;
    for (unsigned i = 0; i < images.count; ++i) {
        if (written[i])
            std::fprintf(stderr, "  Flash or EEPROM successfully written and checked.\n");
        programmed = programmed && written[i];
    }
    if (options.fuseGiven) {
        isp::Bits fuse = isp::programFuse(options.fuseValue, model);
        std::fprintf(stderr, "  fuse bits %02X written\n", options.fuseValue);
        programmed = checkBits("fuse", fuse.wanted, fuse.read) && programmed;
    }
    if (options.lockGiven) {
        isp::Bits lock = isp::programLock(options.lockValue);
        std::fprintf(stderr, "  lock bits %02X written\n", options.lockValue);
        programmed = checkBits("lock", lock.wanted, lock.read) && programmed;
    }
    if (!isp::portAnswering()) return kNotProgrammed;
    return programmed ? kSuccess : kNotProgrammed;
}

// Reads the whole memory the file is for and saves it as Intel HEX.
// Returns the exit code.
int readTarget(const ProgramOptions& options) {
    const FileArgument& file = options.files[0];
    image::MemoryKind kind = memoryKindOf(file);
    // A garbled instruction answers alike whatever byte it was for, so on a
    // line that showed noise two agreeing reads may both be wrong: every
    // byte is read a third time.
    if (!isp::readMemory(kind, memoryRead) || !isp::confirmRead(kind, memoryRead) ||
        (isp::noiseSeen() && !isp::confirmRead(kind, memoryRead))) {
        return kNotProgrammed;
    }
    unsigned size = image::memoryBytes(kind);
    std::size_t length = image::formatHex(memoryRead, size, memoryText);
    if (!image::saveOutputFile(memoryText, length)) return kBadImage;
    bool toStandardOutput = std::strcmp(file.path, image::kStandardOutput) == 0;
    text::Printable path;
    std::fprintf(stderr, "  %s read: %u bytes written to %s.\n",
                 kind == image::MemoryKind::Flash ? "Flash" : "EEPROM", size,
                 toStandardOutput ? "standard output" : path.of(file.path));
    return kSuccess;
}

// Compares every data byte of the image with the chip, once more wherever
// the chip was resynchronised meanwhile. Returns the exit code.
int verifyTarget(const image::Image& loaded) {
    unsigned compared = 0;
    unsigned differing = 0;
    unsigned resynchronisations = isp::resynchronisationCount();
    bool matched = isp::verifyImage(loaded, compared, differing);
    while (isp::resynchronisationCount() != resynchronisations && isp::portAnswering() &&
           !isp::chipLost()) {
        resynchronisations = isp::resynchronisationCount();
        matched = isp::verifyImage(loaded, compared, differing, true);
    }
    if (!isp::portAnswering() || isp::chipLost()) return kNotProgrammed;
    std::fprintf(stderr, "  %u of %u bytes differ\n", differing, compared);
    proof.verified = &loaded;
    proof.resynchronisations = isp::resynchronisationCount();
    return matched ? kSuccess : kNotProgrammed;
}

// Says so where the fuse value given would move the identified chip to a
// clock the board may lack. Returns true when it may be written.
bool keepsTheClock(const ProgramOptions& options, int model) {
    const isp::ChipModel& m = isp::chipModel(model);
    unsigned now = isp::fuseAtConnect();
    if (!options.fuseGiven || options.allowLockout ||
        !isp::changesClock(m, options.fuseValue, now)) {
        return true;
    }
    isp::ClockClass wanted{}, running{};
    isp::clockClassOf(m, options.fuseValue, wanted);
    isp::clockClassOf(m, now, running);
    std::fprintf(stderr,
                 ">>> Fuse bits %02X select %s on the %s (it runs on %s): without one on the board "
                 "it stops and cannot be programmed again in circuit. Programming canceled! "
                 "(--allow-lockout writes them anyway)\n",
                 options.fuseValue, isp::describe(wanted), m.name, isp::describe(running));
    return false;
}

// Identifies the synchronised chip and programs, reads or verifies it.
// Returns the exit code. Where the port stops answering, each step ends
// without a word of its own: the run reports it once.
int workOnChip(const ProgramOptions& options, const Images& images, isp::Connection connection) {
    // Programming leaves a protected chip as it is only with --keep-flash.
    if (connection == isp::Connection::Protected && options.mode == Mode::Program) {
        std::fprintf(stderr,
                     ">>> Device is protected: its EEPROM can be written only after a chip "
                     "erase, which --keep-flash leaves out; only a run without --keep-flash can "
                     "write it. Programming canceled!\n");
        return kNotProgrammed;
    }
    if (connection == isp::Connection::Protected) {
        std::fprintf(stderr,
                     ">>> Device is protected: its memory cannot be read, and it was not erased. "
                     "%s canceled!\n",
                     options.mode == Mode::Read ? "Reading" : "Verifying");
        return kNotProgrammed;
    }
    int model = isp::identify();
    if (model == 0) return kNotProgrammed;
    if (options.mode == Mode::Read) return readTarget(options);
    if (options.mode == Mode::Verify) return verifyTarget(images.list[0]);
    if (!keepsTheClock(options, model)) return kUsage;
    return programTarget(options, images, model);
}

// Checks at the end of every run that reached the chip that its fuse and
// lock bits read as they must, and says what the line cost. Where the chip
// was resynchronised after the final passes, they and the check run again,
// until a round needs none (a chip that keeps losing its frame is lost).
// Returns the exit code.
int endOfWork(int code) {
    bool lost = isp::chipLost();
    while (isp::portAnswering() && !isp::chipLost()) {
        if (!isp::bitsAsExpected()) {
            code = kNotProgrammed;
            break;
        }
        bool proven = proof.proven[0] || proof.proven[1] || proof.erased || proof.verified;
        if (!proven || proof.resynchronisations == isp::resynchronisationCount()) break;
        proof.resynchronisations = isp::resynchronisationCount();
        if (!proveAgain()) {
            code = kNotProgrammed;
            break;
        }
    }
    if (isp::chipLost()) code = kNotProgrammed;
    // Lost at the end, after the memories: no address to name.
    if (isp::chipLost() && !lost) isp::reportLost(0);
    isp::reportLineNoise();
    return code;
}

// Says what the port cannot do where its check found something. Returns
// true when it can drive a chip.
bool fitForTheChip(const isp::PortCheck& check, const char* port) {
    text::Printable shown;
    const char* name = shown.of(port);
    switch (check.fitness) {
        case isp::Fitness::Ready:
            return true;
        case isp::Fitness::NoStatus:
            std::fprintf(stderr,
                         ">>> Port %s cannot drive the chip: its modem status cannot be read "
                         "(%s). Programming canceled!\n",
                         name, check.reason);
            break;
        case isp::Fitness::NoBreak:
            std::fprintf(stderr,
                         ">>> Port %s cannot drive the chip: it cannot send a break, which carries "
                         "MOSI (%s). Programming canceled!\n",
                         name, check.reason);
            break;
        case isp::Fitness::SimulatedBreak:
            std::fprintf(stderr,
                         ">>> Port %s cannot drive the chip: its break is simulated (clearing it "
                         "took %u ms), so MOSI cannot be held. Programming canceled!\n",
                         name, static_cast<unsigned>(check.clearUs / 1000));
            break;
    }
    return false;
}

// Waits for the operator's Enter, or with --yes ends the prompt's line as
// the Enter would on a terminal.
void answerPrompt(const ProgramOptions& options, std::FILE* input) {
    if (options.yes) {
        std::fputc('\n', stderr);
    } else {
        std::fgetc(input);
    }
}

// Says that a signal ended the run. Returns the exit code: 128 plus the
// signal number, as a shell reports a process that a signal ended.
int interrupted() {
    std::fprintf(stderr, ">>> Interrupted (signal %d). Programming canceled!\n",
                 isp::interruption());
    return 128 + isp::interruption();
}

// Opens the port, works on the chip between the operator's prompts and
// closes the port. Returns the exit code.
int runOnPort(const ProgramOptions& options, const Images& images, std::FILE* input) {
    if (isp::interruption() != 0) return interrupted();
    isp::Opened opened = isp::openPort(options.port, options.fast);
    text::Printable port;
    // A signal during a slow look for the port (a usb: name) ends the run.
    if (opened.status != isp::OpenStatus::Open && isp::interruption() != 0) return interrupted();
    if (opened.status != isp::OpenStatus::Open) {
        std::fprintf(stderr, ">>>COM-port \"%s\" not allowed! Programming canceled!\n",
                     port.of(options.port));
        isp::explainRefusal(options.port, opened);
        return kNoPort;
    }
    if (!fitForTheChip(isp::checkPort(), options.port)) {
        isp::closePort();
        return kNoPort;
    }
    std::fprintf(stderr, ">>> Connect programmator and press Enter...");
    answerPrompt(options, input);

    int code = kNoSync;
    if (isp::interruption() == 0) {
        // Reading, verifying and keeping the flash never erase: a protected
        // chip is left as it is.
        bool erasing = options.mode == Mode::Program && !options.keepFlash;
        proof = Proof{};
        isp::Connection connection = isp::connect(options.fast, erasing);
        if (connection != isp::Connection::NoSync)
            code = endOfWork(workOnChip(options, images, connection));
    }
    if (isp::interruption() != 0) {
        // The chip is let go, whatever step the signal ended.
        isp::letGo();
        code = interrupted();
    } else if (code != kNoSync && !isp::portAnswering()) {
        // Nothing more can reach the chip: no release, no second prompt.
        std::fprintf(stderr,
                     ">>> Port %s stopped answering (adapter unplugged?). Programming canceled!\n",
                     port.of(options.port));
        code = kNotProgrammed;
    } else if (code != kNoSync) {
        isp::releaseTarget();
        std::fprintf(stderr, ">>> Disconnect programmator and press Enter...");
        answerPrompt(options, input);
        if (isp::interruption() != 0) code = interrupted();
    }
    isp::closePort();
    std::fprintf(stderr, "=== EOJ :-)\n");
    return code;
}

// Refuses two images for the same memory, saying so. Returns true when
// there are not.
bool oneImagePerMemory(const ProgramOptions& options) {
    unsigned kept = options.fileCount < kMaxFiles ? options.fileCount : kMaxFiles;
    for (unsigned i = 1; i < kept; ++i) {
        for (unsigned j = 0; j < i; ++j) {
            image::MemoryKind kind = memoryKindOf(options.files[i]);
            if (memoryKindOf(options.files[j]) != kind) continue;
            text::Printable first;
            text::Printable second;
            std::fprintf(stderr,
                         ">>> Two %s images given, %s and %s: a run writes one image per "
                         "memory. Canceled!\n",
                         kind == image::MemoryKind::Flash ? "flash" : "EEPROM",
                         first.of(options.files[j].path), second.of(options.files[i].path));
            return false;
        }
    }
    return true;
}

// Refuses --keep-flash with what would change the flash, fuse or lock bits,
// saying so. Returns true when the run writes an EEPROM image alone.
bool fitForKeepingFlash(const ProgramOptions& options) {
    for (unsigned i = 0; i < options.fileCount; ++i) {
        if (memoryKindOf(options.files[i]) != image::MemoryKind::Flash) continue;
        text::Printable shown;
        std::fprintf(stderr,
                     ">>> --keep-flash writes an EEPROM image and keeps the flash, but %s is a "
                     "flash image. Canceled!\n",
                     shown.of(options.files[i].path));
        return false;
    }
    if (options.fuseGiven || options.lockGiven) {
        std::fprintf(stderr,
                     ">>> --keep-flash keeps the flash, fuse and lock bits as they are: /f: and "
                     "/l: cannot go with it. Canceled!\n");
        return false;
    }
    return true;
}

// Reads the run's images, the flash image first. Returns false, having said
// why, where one cannot be read.
bool loadImages(const ProgramOptions& options, Images& images) {
    for (image::MemoryKind kind : {image::MemoryKind::Flash, image::MemoryKind::Eeprom}) {
        for (unsigned i = 0; i < options.fileCount; ++i) {
            if (memoryKindOf(options.files[i]) != kind) continue;
            if (!image::readImageFile(options.files[i].path, kind, images.list[images.count])) {
                return false;
            }
            ++images.count;
        }
    }
    return true;
}

}  // namespace

int entry(int argc, const char* const* argv, std::FILE* input, bool outputClosed) {
    Request request = requestOf(argc, argv);
    if (request == Request::Version) {
        std::printf("quillet %s\n", QUILLET_VERSION);
        return kSuccess;
    }
    std::fprintf(stderr, "=== Quillet serial downloader V.R.=1.00\n");
    if (argc <= 1) {
        printUsage();
        return kUsage;
    }
    if (request == Request::Help) {
        printUsage();
        printOptions();
        return kSuccess;
    }

    ProgramOptions options;
    if (!parseOptions(argc, argv, kSlashPaths, options)) return kUsage;
    isp::setSystemRoot(options.systemRoot);
    if (options.listPorts) {
        isp::printPorts(stdout, "", nullptr);
        return isp::interruption() != 0 ? 128 + isp::interruption() : kSuccess;
    }
    if (options.fileCount == 0) {
        printUsage();
        return kUsage;
    }
    if (options.mode != Mode::Program && options.fileCount > 1) {
        text::Printable first;
        text::Printable second;
        std::fprintf(stderr, ">>> Two files given, %s and %s: a run takes one. Canceled!\n",
                     first.of(options.files[0].path), second.of(options.files[1].path));
        return kUsage;
    }
    if (options.mode == Mode::Program && !oneImagePerMemory(options)) return kUsage;
    if (options.mode == Mode::Program && options.keepFlash && !fitForKeepingFlash(options)) {
        return kUsage;
    }
    if (options.mode != Mode::Program && (options.fuseGiven || options.lockGiven)) {
        std::fprintf(stderr,
                     ">>> /f: and /l: are written only when programming: --read and --verify "
                     "write nothing. Canceled!\n");
        return kUsage;
    }
    if (options.fuseGiven && isp::disablesReset(options.fuseValue) && !options.allowLockout) {
        std::fprintf(stderr,
                     ">>> Fuse bits %02X would program RSTDISBL: the chip could then be "
                     "programmed only with high voltage. Programming canceled! (--allow-lockout "
                     "writes them anyway)\n",
                     options.fuseValue);
        return kUsage;
    }
    if (options.fuseGiven && isp::endsSerialProgramming(options.fuseValue) &&
        !options.allowLockout) {
        std::fprintf(stderr,
                     ">>> Fuse bits %02X would unprogram SPIEN: the chip could then be "
                     "programmed only with high voltage. Fuse bits %02X keep SPIEN programmed. "
                     "Programming canceled! (--allow-lockout writes them anyway)\n",
                     options.fuseValue, isp::keepingSerialProgramming(options.fuseValue));
        return kUsage;
    }
    // Each image is read once, and a missing or broken one is found before
    // the chip is touched; so is a file that a read could not be written to.
    Images images{};
    bool toStandardOutput = std::strcmp(options.files[0].path, image::kStandardOutput) == 0;
    if (options.mode == Mode::Read && toStandardOutput && outputClosed) {
        std::fprintf(stderr,
                     ">>> Error writing standard output: it was closed when quillet started, so "
                     "the backup would go nowhere. Reading canceled!\n");
        return kBadImage;
    }
    if (options.mode == Mode::Read) {
        if (!image::createOutputFile(options.files[0].path)) return kBadImage;
    } else if (!loadImages(options, images)) {
        return kBadImage;
    }
    int code = runOnPort(options, images, input);
    // A complete read has its name by now; nothing is left of any other.
    image::discardOutputFile();
    return code;
}

}  // namespace run
