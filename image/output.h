// The platform's side of a read's output file: what its name stands for, a
// temporary file of a unique name beside it, and the rename that puts the
// temporary file in its place. One back end per platform, chosen by CMake:
// output_posix.cpp or output_win32.cpp.
#pragma once

#include <cstddef>

namespace image::output {

// What a name stands for, links followed. ForeignLink: a link of another
// user, which is not followed. Unreplaceable: a file that this user may not
// replace in its directory (another user's, where the directory is sticky).
// FixedInPlace: a file that no one may replace (immutable or append-only).
enum class Kind {
    Missing,
    Regular,
    Directory,
    Device,
    Fifo,
    Other,
    BrokenLink,
    ForeignLink,
    Unreplaceable,
    FixedInPlace
};

// Looks at path, following only links of this user's or the system's own,
// and remembers the file the backup is to replace: the one a link leads to,
// so that the link stays, or path itself. Returns false when the system
// cannot tell.
bool inspect(const char* path, Kind& kind);

// Where inspect found ForeignLink, Unreplaceable or FixedInPlace: the link's
// name as it was found, or the file's, and its owner ("daemon (uid 1)").
const char* refusedName();
const char* refusedOwner();

// Creates a new file of a random short name beside the remembered one,
// exclusively, so that no existing name is ever opened, after removing what
// killed runs of this user left there. It gets the permissions, access
// control list and user attributes of the file it is to replace, or those of
// a new file. Returns false when it cannot.
bool createTemporary();

// Writes size bytes of text into the temporary file.
bool writeTemporary(const char* text, std::size_t size);

// Flushes the temporary file to the disk.
bool flushTemporary();

// Renames the temporary file over the remembered one; it is closed by then.
bool replace();

// Closes and removes the temporary file, if this run still has one; no other
// file is ever removed.
void discard();

// Writes size bytes of text to standard output, as they are.
bool writeStandardOutput(const char* text, std::size_t size);

// The system's reason for the last of these calls that failed, as text.
const char* reason();

// From a signal handler that ends the run (async-signal-safe): no write is
// tried again, and a write under way ends where the signal found it.
void stop();

// True once stop() has been called: a write failed because of the signal.
bool stopped();

// From a signal handler, before the process ends (async-signal-safe): removes
// the temporary file, if this run has one.
void abandon();

}  // namespace image::output
