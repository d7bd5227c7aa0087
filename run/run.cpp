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

bool hasArgument(int argc, const char* const* argv, const char* wanted) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], wanted) == 0) return true;
    }
    return false;
}

// Erases the chip, programs the image and writes the given fuse and lock
// bytes. Returns true when the image was written and verified.
bool programTarget(const ProgramOptions& options, const image::Image& loaded) {
    std::fprintf(stderr, "  Erasing chip, please wait...\n");
    isp::chipErase();
    line::sleepMs(kEraseMs);
    bool programmed = image::programImage(loaded);
    if (programmed) std::fprintf(stderr, "  Flash or EEPROM successfully written and checked.\n");
    if (options.fuseGiven) {
        isp::writeFuseBits(options.fuseValue);
        std::fprintf(stderr, "  fuse bits %02X written\n", options.fuseValue);
    }
    if (options.lockGiven) {
        isp::writeLockBits(options.lockValue);
        std::fprintf(stderr, "  lock bits %02X written\n", options.lockValue);
    }
    return programmed;
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
        return kSuccess;
    }
    if (hasArgument(argc, argv, "--version")) return kSuccess;

    ProgramOptions options;
    parseOptions(argc, argv, kSlashPaths, options);
    if (options.imagePath == nullptr) {
        printUsage();
        return kUsage;
    }
    // The image is read once, and a missing or broken one is found before
    // the chip is touched.
    image::Image loaded;
    if (!image::readImageFile(options.imagePath, memoryKindOf(options.imagePath), loaded)) {
        return kBadImage;
    }

    if (!line::open()) {
        std::fprintf(stderr, ">>>COM-port \"COM1:\" not allowed! Programming canceled!\n");
        return kNoPort;
    }
    std::fprintf(stderr, ">>> Connect programmator and press Enter...");
    std::fgetc(input);

    int code = kNoSync;
    if (isp::connect()) {
        bool programmed = isp::identify() != 0 && programTarget(options, loaded);
        line::releaseTarget();
        std::fprintf(stderr, ">>> Disconnect programmator and press Enter...");
        std::fgetc(input);
        code = programmed ? kSuccess : kNotProgrammed;
    }
    line::close();
    std::fprintf(stderr, "=== EOJ :-)\n");
    return code;
}

}  // namespace run
