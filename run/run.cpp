#include "run/run.h"

#include <cstring>

#include "image/file.h"
#include "image/loader.h"
#include "isp/connect.h"
#include "isp/instructions.h"
#include "link/line.h"
#include "run/options.h"

namespace run {

namespace {

// POSIX paths begin with "/", which elsewhere starts every option.
#ifdef _WIN32
constexpr bool kSlashPaths = false;
#else
constexpr bool kSlashPaths = true;
#endif

constexpr unsigned kEraseMs = 2500;

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
                 "  --port=NAME      the serial port (default COM1:; a device path on POSIX)\n"
                 "  --fast           poll the chip instead of fixed waits: same run, faster\n"
                 "  --allow-lockout  write a fuse value that disables the reset pin\n"
                 "  --help, --version\n");
}

bool hasArgument(int argc, const char* const* argv, const char* wanted) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], wanted) == 0) return true;
    }
    return false;
}

// Erases the chip, programs the image and writes the given fuse and lock
// bytes. Returns the exit code; kPortLost when the port stopped answering.
int programTarget(const ProgramOptions& options, const image::Image& loaded) {
    std::fprintf(stderr, "  Erasing chip, please wait...\n");
    isp::chipErase();
    line::sleepMs(options.fast ? isp::kFastEraseMs : kEraseMs);
    bool programmed = image::programImage(loaded, options.fast);
    if (!line::answering()) return kPortLost;
    if (programmed) std::fprintf(stderr, "  Flash or EEPROM successfully written and checked.\n");
    if (options.fuseGiven) {
        isp::writeFuseBits(options.fuseValue);
        std::fprintf(stderr, "  fuse bits %02X written\n", options.fuseValue);
    }
    if (options.lockGiven) {
        isp::writeLockBits(options.lockValue);
        std::fprintf(stderr, "  lock bits %02X written\n", options.lockValue);
    }
    if (!line::answering()) return kPortLost;
    return programmed ? kSuccess : kNotProgrammed;
}

// Identifies the synchronised chip and programs it. Returns the exit code;
// kPortLost when the port stopped answering.
int workOnChip(const ProgramOptions& options, const image::Image& loaded) {
    if (!line::answering()) return kPortLost;
    bool identified = isp::identify() != 0;
    if (!line::answering()) return kPortLost;
    return identified ? programTarget(options, loaded) : kNotProgrammed;
}

}  // namespace

int entry(int argc, const char* const* argv, std::FILE* input) {
    std::fprintf(stderr, "=== Quillet serial downloader V.R.=1.00\n");
    if (argc <= 1) {
        printUsage();
        return kUsage;
    }
    if (hasArgument(argc, argv, "--help")) {
        printUsage();
        printOptions();
        return kSuccess;
    }
    if (hasArgument(argc, argv, "--version")) return kSuccess;

    ProgramOptions options;
    parseOptions(argc, argv, kSlashPaths, options);
    if (options.imagePath == nullptr) {
        printUsage();
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
    // The image is read once, and a missing or broken one is found before
    // the chip is touched.
    image::Image loaded;
    if (!image::readImageFile(options.imagePath, memoryKindOf(options.imagePath), loaded)) {
        return kBadImage;
    }

    if (!line::open(options.port, options.fast)) {
        std::fprintf(stderr, ">>>COM-port \"%s\" not allowed! Programming canceled!\n",
                     options.port);
        return kNoPort;
    }
    std::fprintf(stderr, ">>> Connect programmator and press Enter...");
    std::fgetc(input);

    int code = kNoSync;
    if (isp::connect(options.fast)) code = workOnChip(options, loaded);
    if (code == kPortLost) {
        // Nothing more can reach the chip: no release, no second prompt.
        std::fprintf(stderr,
                     ">>> Port %s stopped answering (adapter unplugged?). Programming canceled!\n",
                     options.port);
        code = kNotProgrammed;
    } else if (code != kNoSync) {
        line::releaseTarget();
        std::fprintf(stderr, ">>> Disconnect programmator and press Enter...");
        std::fgetc(input);
    }
    line::close();
    std::fprintf(stderr, "=== EOJ :-)\n");
    return code;
}

}  // namespace run
