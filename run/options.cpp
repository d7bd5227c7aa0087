#include "run/options.h"

#include <cstdio>
#include <cstring>

namespace run {

namespace {

bool isDecimal(char c) {
    return c >= '0' && c <= '9';
}

int hexDigit(char c) {
    if (isDecimal(c)) return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Hexadecimal digits from text up to end; false when there are none or
// anything else stands between.
bool readHexDigits(const char* text, const char* end, unsigned& value) {
    if (text == end) return false;
    value = 0;
    for (; text != end; ++text) {
        if (hexDigit(*text) < 0) return false;
        value = (value * 16 + static_cast<unsigned>(hexDigit(*text))) & 0xFFu;
    }
    return true;
}

bool readDecimal(const char* text, unsigned& value) {
    bool negative = *text == '-';
    if (*text == '-' || *text == '+') ++text;
    if (*text == '\0') return false;
    value = 0;
    for (; *text != '\0'; ++text) {
        if (!isDecimal(*text)) return false;
        value = (value * 10 + static_cast<unsigned>(*text - '0')) & 0xFFu;
    }
    if (negative) value = (0x100u - value) & 0xFFu;
    return true;
}

bool isFuseOrLock(const char* arg) {
    char c = arg[1];
    return c == 'f' || c == 'F' || c == 'l' || c == 'L';
}

// A mistyped option rather than a path: "/f" or "/l" alone, or ":" as the third character.
bool looksLikeOption(const char* arg) {
    if (arg[1] == '\0') return false;
    return (isFuseOrLock(arg) && arg[2] == '\0') || arg[2] == ':';
}

void takePath(const char* arg, Memory memory, ProgramOptions& options) {
    if (options.fileCount < kMaxFiles) options.files[options.fileCount] = FileArgument{arg, memory};
    ++options.fileCount;
}

// Says what is wrong with the option arg and that --help lists them.
// Returns false, for the parse to end with.
bool refuse(const char* what, const char* arg) {
    std::fprintf(stderr, ">>> %s %s (quillet --help lists the options). Canceled!\n", what, arg);
    return false;
}

// The options that begin with "-", each with what it does; those with a
// value take it after "=" or as the next argument.
struct LongOption {
    const char* name;
    bool takesValue;
    void (*apply)(ProgramOptions& options, const char* value);
};

const LongOption kLongOptions[] = {
    {"--port", true, [](ProgramOptions& o, const char* v) { o.port = v; }},
    {"--flash", true, [](ProgramOptions& o, const char* v) { takePath(v, Memory::Flash, o); }},
    {"--eeprom", true, [](ProgramOptions& o, const char* v) { takePath(v, Memory::Eeprom, o); }},
    {"--keep-flash", false, [](ProgramOptions& o, const char*) { o.keepFlash = true; }},
    {"--fast", false, [](ProgramOptions& o, const char*) { o.fast = true; }},
    {"--allow-lockout", false, [](ProgramOptions& o, const char*) { o.allowLockout = true; }},
    {"--list-ports", false, [](ProgramOptions& o, const char*) { o.listPorts = true; }},
    {"--yes", false, [](ProgramOptions& o, const char*) { o.yes = true; }},
    {"--sysroot", true, [](ProgramOptions& o, const char* v) { o.systemRoot = v; }},
    {"--read", false, [](ProgramOptions& o, const char*) { o.reads = true; }},
    {"--verify", false, [](ProgramOptions& o, const char*) { o.verifies = true; }},
    // Answered before the options are read (requestOf).
    {"--help", false, [](ProgramOptions&, const char*) {}},
    {"-h", false, [](ProgramOptions&, const char*) {}},
    {"-?", false, [](ProgramOptions&, const char*) {}},
    {"--version", false, [](ProgramOptions&, const char*) {}},
};

// Takes the option at argv[i], and the argument after it where that is its
// value. Returns false, said, for an option that is unknown or not as it
// takes its value.
bool takeOption(int argc, const char* const* argv, int& i, ProgramOptions& options) {
    const char* arg = argv[i];
    const char* equals = std::strchr(arg, '=');
    std::size_t length =
        equals != nullptr ? static_cast<std::size_t>(equals - arg) : std::strlen(arg);
    for (const LongOption& option : kLongOptions) {
        if (std::strlen(option.name) != length || std::strncmp(option.name, arg, length) != 0) {
            continue;
        }
        if (!option.takesValue && equals != nullptr) return refuse("Option takes no value:", arg);
        const char* value = nullptr;
        if (option.takesValue)
            value = equals != nullptr ? equals + 1 : i + 1 < argc ? argv[++i] : "";
        if (option.takesValue && value[0] == '\0') return refuse("Option needs a value:", arg);
        option.apply(options, value);
        return true;
    }
    return refuse("Unknown option", arg);
}

}  // namespace

bool parseByte(const char* text, unsigned& value) {
    while (*text == ' ' || *text == '\t')
        ++text;
    const char* end = text + std::strlen(text);
    if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        return readHexDigits(text + 2, end, value);
    }
    if (end != text && (end[-1] == 'h' || end[-1] == 'H')) {
        return readHexDigits(text, end - 1, value);
    }
    return readDecimal(text, value);
}

Request requestOf(int argc, const char* const* argv) {
    for (int i = 1; i < argc && std::strcmp(argv[i], "--") != 0; ++i) {
        const char* arg = argv[i];
        if (std::strcmp(arg, "--version") == 0) return Request::Version;
        if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0 ||
            std::strcmp(arg, "-?") == 0) {
            return Request::Help;
        }
    }
    return Request::Run;
}

bool parseOptions(int argc, const char* const* argv, bool slashPaths, ProgramOptions& options) {
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (optionsEnded) {
            takePath(arg, Memory::ByName, options);
            continue;
        }
        if (std::strcmp(arg, "--") == 0) {
            optionsEnded = true;
            continue;
        }
        if (arg[0] == '-' && arg[1] != '\0') {
            if (!takeOption(argc, argv, i, options)) return false;
            continue;
        }
        if (arg[0] != '/') {
            takePath(arg, Memory::ByName, options);
            continue;
        }
        // The character between the letter and the number is not looked at.
        unsigned value = 0;
        bool wellFormed = isFuseOrLock(arg) && arg[2] != '\0' && parseByte(arg + 3, value);
        if (wellFormed && (arg[1] == 'f' || arg[1] == 'F')) {
            options.fuseValue = value;
            options.fuseGiven = true;
        } else if (wellFormed) {
            options.lockValue = value;
            options.lockGiven = true;
        } else if (slashPaths && !looksLikeOption(arg)) {
            takePath(arg, Memory::ByName, options);
        } else {
            std::fprintf(stderr, ">>> illegal parameter %s ignored\n", arg);
        }
    }
    if (options.reads && options.verifies) {
        std::fprintf(stderr,
                     ">>> Options --read and --verify exclude each other (quillet --help lists "
                     "the options). Canceled!\n");
        return false;
    }
    if (options.reads) options.mode = Mode::Read;
    if (options.verifies) options.mode = Mode::Verify;
    return true;
}

image::MemoryKind memoryKindOf(const char* path) {
    const char* dot = std::strrchr(path, '.');
    if (dot == nullptr) return image::MemoryKind::Flash;
    char next = dot[1];
    bool flash = next == '\0' || next == 'h' || next == 'H';
    return flash ? image::MemoryKind::Flash : image::MemoryKind::Eeprom;
}

image::MemoryKind memoryKindOf(const FileArgument& file) {
    switch (file.memory) {
        case Memory::Flash:
            return image::MemoryKind::Flash;
        case Memory::Eeprom:
            return image::MemoryKind::Eeprom;
        default:
            return memoryKindOf(file.path);
    }
}

}  // namespace run
