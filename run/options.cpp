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

// Takes --NAME=FILE or --NAME FILE at argv[i] as a file for the memory.
// Returns false where arg is not that option.
bool takeMemoryOption(int argc, const char* const* argv, int& i, const char* name, Memory memory,
                      ProgramOptions& options) {
    const char* arg = argv[i];
    std::size_t length = std::strlen(name);
    if (std::strncmp(arg, name, length) != 0) return false;
    if (arg[length] == '=' && arg[length + 1] != '\0') {
        takePath(arg + length + 1, memory, options);
        return true;
    }
    if (arg[length] != '\0' || i + 1 >= argc) return false;
    takePath(argv[++i], memory, options);
    return true;
}

// Takes the "--" option at argv[i], and the value after it if it has one;
// an unknown one is an illegal parameter.
void takeLongOption(int argc, const char* const* argv, int& i, ProgramOptions& options) {
    const char* arg = argv[i];
    if (takeMemoryOption(argc, argv, i, "--flash", Memory::Flash, options) ||
        takeMemoryOption(argc, argv, i, "--eeprom", Memory::Eeprom, options)) {
        return;
    }
    if (std::strcmp(arg, "--keep-flash") == 0) {
        options.keepFlash = true;
    } else if (std::strncmp(arg, "--port=", 7) == 0 && arg[7] != '\0') {
        options.port = arg + 7;
    } else if (std::strcmp(arg, "--port") == 0 && i + 1 < argc) {
        options.port = argv[++i];
    } else if (std::strcmp(arg, "--fast") == 0) {
        options.fast = true;
    } else if (std::strcmp(arg, "--allow-lockout") == 0) {
        options.allowLockout = true;
    } else if (std::strcmp(arg, "--list-ports") == 0) {
        options.listPorts = true;
    } else if (std::strcmp(arg, "--yes") == 0) {
        options.yes = true;
    } else if (std::strncmp(arg, "--sysroot=", 10) == 0) {
        options.systemRoot = arg + 10;
    } else if (std::strcmp(arg, "--read") == 0) {
        options.mode = Mode::Read;
    } else if (std::strcmp(arg, "--verify") == 0) {
        options.mode = Mode::Verify;
    } else if (std::strcmp(arg, "--help") != 0 && std::strcmp(arg, "--version") != 0) {
        std::fprintf(stderr, ">>> illegal parameter %s ignored\n", arg);
    }
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

void parseOptions(int argc, const char* const* argv, bool slashPaths, ProgramOptions& options) {
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (std::strncmp(arg, "--", 2) == 0) {
            takeLongOption(argc, argv, i, options);
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
}

bool disablesReset(unsigned f) {
    return (f & 0x10u) == 0;
}

bool endsSerialProgramming(unsigned f) {
    return (f & 0x20u) != 0;
}

unsigned keepingSerialProgramming(unsigned f) {
    return f & ~0x20u & 0xFFu;
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
