// The command line: what the run does, fuse and lock options, the image
// files and the memory each is for.
#pragma once

#include "image/reader.h"

namespace run {

// Programming writes the image; reading and verifying write nothing at all.
enum class Mode { Program, Read, Verify };

// The memory a file is for: named with --flash or --eeprom, or chosen by its name.
enum class Memory { ByName, Flash, Eeprom };

// A file from the command line.
struct FileArgument {
    const char* path;
    Memory memory;
};

// Files kept from the command line: a third always repeats a memory.
constexpr unsigned kMaxFiles = 3;

struct ProgramOptions {
    Mode mode = Mode::Program;
    unsigned fuseValue = 0xF3;
    bool fuseGiven = false;
    unsigned lockValue = 0x06;
    bool lockGiven = false;
    FileArgument files[kMaxFiles] = {};  // in the order given
    unsigned fileCount = 0;              // all given, those beyond kMaxFiles too
    bool keepFlash = false;              // the EEPROM written without a chip erase
    const char* port = "COM1:";
    bool fast = false;            // the chip's own timing instead of fixed waits
    bool allowLockout = false;    // a fuse value may disable the reset pin
    bool listPorts = false;       // list the ports and end
    bool yes = false;             // the prompts answered without reading standard input
    const char* systemRoot = "";  // where the ports are looked for (link/ports.h)
    bool reads = false;           // --read given
    bool verifies = false;        // --verify given
};

// What the command line asks for before any option is read: the help (--help,
// -h, -?) or the version (--version), whichever comes first before "--".
enum class Request { Run, Help, Version };
Request requestOf(int argc, const char* const* argv);

// Fills options from argv[1] to argv[argc - 1], printing each illegal "/"
// parameter. With slashPaths (POSIX) an argument that begins with "/" and is
// not a fuse or lock option may be the image path. Every path is kept in
// files, in order. An argument that begins with "-" (but "-" alone) is an
// option: --port=NAME (or --port NAME), --fast, --allow-lockout,
// --list-ports, --yes, --read or --verify, --flash=FILE and --eeprom=FILE (or
// with the file as the next argument), --keep-flash, --help, -h, -?,
// --version; and --sysroot=DIR, left out of --help, with which the tests
// point the port list at a fake tree. After "--" every argument is a path.
// Returns false, having said why in one line, for an unknown option, a value
// where an option takes none, an option without its value, or --read with
// --verify.
bool parseOptions(int argc, const char* const* argv, bool slashPaths, ProgramOptions& options);

// Reads a byte value: blanks, then decimal with an optional sign, 0x-prefixed
// hexadecimal or h-suffixed hexadecimal, and nothing after; kept modulo 256.
// Returns false for anything else.
bool parseByte(const char* text, unsigned& value);

// Flash when the character after the path's last "." is "h" or "H", or there
// is none; EEPROM otherwise.
image::MemoryKind memoryKindOf(const char* path);

// The memory of a file: the one named for it, or the one its name chooses.
image::MemoryKind memoryKindOf(const FileArgument& file);

}  // namespace run
