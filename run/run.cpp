#include "run/run.h"

#include <cstdint>
#include <cstring>

#include "image/file.h"
#include "image/writer.h"
#include "isp/connect.h"
#include "isp/instructions.h"
#include "isp/ports.h"
#include "isp/program.h"
#include "isp/readback.h"
#include "isp/session.h"
#include "run/options.h"

namespace run {

namespace {

// POSIX paths begin with "/", which elsewhere starts every option.
#ifdef _WIN32
constexpr bool kSlashPaths = false;
#else
constexpr bool kSlashPaths = true;
#endif

// A read's memory and its text, flash being the larger.
std::uint8_t memoryRead[image::kFlashBytes];
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
                 "  --port=NAME      the serial port (default COM1:; a device path on POSIX);\n"
                 "                   usb:VID:PID[:SERIAL] that USB adapter's serial port,\n"
                 "                   ftdi[:SERIAL] an FTDI chip in bit-bang mode\n"
                 "  --list-ports     list the serial ports and FTDI chips found, and end\n"
                 "  --yes            answer both prompts, without reading standard input\n"
                 "  --fast           poll the chip instead of fixed waits: same run, faster\n"
                 "  --allow-lockout  write a fuse value that ends serial programming\n"
                 "  --read           read the chip into the file: flash or EEPROM by its name\n"
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

// Erases the chip, programs the image and writes the given fuse and lock
// bytes, each read back. Returns the exit code.
int programTarget(const ProgramOptions& options, const image::Image& loaded, int model) {
    std::fprintf(stderr, "  Erasing chip, please wait...\n");
    isp::eraseChip(options.fast);
    bool programmed = isp::programImage(loaded, options.fast, model);
    if (!isp::portAnswering()) return kNotProgrammed;
    if (programmed) std::fprintf(stderr, "  Flash or EEPROM successfully written and checked.\n");
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

// Reads the whole memory the file's name chooses and saves it as Intel HEX.
// Returns the exit code.
int readTarget(const ProgramOptions& options) {
    image::MemoryKind kind = memoryKindOf(options.imagePath);
    if (!isp::readMemory(kind, memoryRead)) return kNotProgrammed;
    unsigned size = image::memoryBytes(kind);
    std::size_t length = image::formatHex(memoryRead, size, memoryText);
    if (!image::saveOutputFile(memoryText, length)) return kBadImage;
    bool toStandardOutput = std::strcmp(options.imagePath, image::kStandardOutput) == 0;
    std::fprintf(stderr, "  %s read: %u bytes written to %s.\n",
                 kind == image::MemoryKind::Flash ? "Flash" : "EEPROM", size,
                 toStandardOutput ? "standard output" : options.imagePath);
    return kSuccess;
}

// Compares every data byte of the image with the chip. Returns the exit code.
int verifyTarget(const image::Image& loaded) {
    unsigned compared = 0;
    unsigned differing = 0;
    bool matched = isp::verifyImage(loaded, compared, differing);
    if (!isp::portAnswering()) return kNotProgrammed;
    std::fprintf(stderr, "  %u of %u bytes differ\n", differing, compared);
    return matched ? kSuccess : kNotProgrammed;
}

// Identifies the synchronised chip and programs, reads or verifies it.
// Returns the exit code. Where the port stops answering, each step ends
// without a word of its own: the run reports it once.
int workOnChip(const ProgramOptions& options, const image::Image& loaded,
               isp::Connection connection) {
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
    if (options.mode == Mode::Verify) return verifyTarget(loaded);
    return programTarget(options, loaded, model);
}

// Says what the port cannot do where its check found something. Returns
// true when it can drive a chip.
bool fitForTheChip(const isp::PortCheck& check, const char* name) {
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
int runOnPort(const ProgramOptions& options, const image::Image& loaded, std::FILE* input) {
    if (isp::interruption() != 0) return interrupted();
    isp::Opened opened = isp::openPort(options.port, options.fast);
    if (opened.status != isp::OpenStatus::Open) {
        std::fprintf(stderr, ">>>COM-port \"%s\" not allowed! Programming canceled!\n",
                     options.port);
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
        // Reading and verifying never erase: a protected chip is left as it is.
        isp::Connection connection = isp::connect(options.fast, options.mode == Mode::Program);
        if (connection != isp::Connection::NoSync) code = workOnChip(options, loaded, connection);
    }
    if (isp::interruption() != 0) {
        // The chip is let go, whatever step the signal ended.
        isp::letGo();
        code = interrupted();
    } else if (code != kNoSync && !isp::portAnswering()) {
        // Nothing more can reach the chip: no release, no second prompt.
        std::fprintf(stderr,
                     ">>> Port %s stopped answering (adapter unplugged?). Programming canceled!\n",
                     options.port);
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

}  // namespace

int entry(int argc, const char* const* argv, std::FILE* input) {
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
        return kSuccess;
    }
    if (options.imagePath == nullptr) {
        printUsage();
        return kUsage;
    }
    if (options.secondPath != nullptr) {
        std::fprintf(stderr, ">>> Two files given, %s and %s: a run takes one. Canceled!\n",
                     options.imagePath, options.secondPath);
        return kUsage;
    }
    if (options.mode != Mode::Program && (options.fuseGiven || options.lockGiven)) {
        std::fprintf(stderr,
                     ">>> /f: and /l: are written only when programming: --read and --verify "
                     "write nothing. Canceled!\n");
        return kUsage;
    }
    if (options.fuseGiven && disablesReset(options.fuseValue) && !options.allowLockout) {
        std::fprintf(stderr,
                     ">>> Fuse bits %02X would program RSTDISBL: the chip could then be "
                     "programmed only with high voltage. Programming canceled! (--allow-lockout "
                     "writes them anyway)\n",
                     options.fuseValue);
        return kUsage;
    }
    if (options.fuseGiven && endsSerialProgramming(options.fuseValue) && !options.allowLockout) {
        std::fprintf(stderr,
                     ">>> Fuse bits %02X would unprogram SPIEN: the chip could then be "
                     "programmed only with high voltage. Fuse bits %02X keep SPIEN programmed. "
                     "Programming canceled! (--allow-lockout writes them anyway)\n",
                     options.fuseValue, keepingSerialProgramming(options.fuseValue));
        return kUsage;
    }
    // The image is read once, and a missing or broken one is found before
    // the chip is touched; so is a file that a read could not be written to.
    image::Image loaded{};
    if (options.mode == Mode::Read) {
        if (!image::createOutputFile(options.imagePath)) return kBadImage;
    } else if (!image::readImageFile(options.imagePath, memoryKindOf(options.imagePath), loaded)) {
        return kBadImage;
    }
    int code = runOnPort(options, loaded, input);
    // A complete read has its name by now; nothing is left of any other.
    image::discardOutputFile();
    return code;
}

}  // namespace run
