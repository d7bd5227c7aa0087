// The POSIX back end's claim on a serial device: the UUCP lock file that
// programs sharing serial ports agree on, and a look for any other process
// that has the device open.
#pragma once

#include <sys/types.h>

#include <cstddef>

namespace claim {

// What the lock file of a device holds.
enum class LockState {
    None,        // there is no lock file
    Live,        // it names a live process other than this one
    Stale,       // it names a process that no longer exists (or this one)
    Unreadable,  // this user may not read it
    Empty,       // it names no process: it is empty
    NoNumber,    // it names no process: it holds no process number
};

struct LockFile {
    LockState state;
    pid_t pid;  // Live, Stale: the process it names
};

// Takes the lock file "LCK.." + the device's base name (links resolved) in
// lockDir: this process's PID as ten right-aligned ASCII digits and a newline
// (the HDB UUCP format that the FHS, section /var/lock, asks for). A lock file
// naming a process that no longer exists is moved aside under a name of this
// process's own and removed only if it is still the one that was read (the
// same file, the same text): a lock that another run placed meanwhile is put
// back. Returns false with errno EBUSY when a live process holds the lock, or
// when the lock file names no process, read twice a short wait apart (it may
// have been half written); false with EMFILE or ENFILE when no descriptor is
// left to look with. Returns true, holding nothing, when lockDir is missing or
// no lock file can be placed there.
bool take(const char* lockDir, const char* path);

// Removes the lock file that take() placed, if it still names this process.
// Async-signal-safe: a signal handler may call it before the process ends.
void release();

// What the lock file for path in lockDir (links resolved, as take() names
// it) holds; with again, one that names no process is read once more after
// the wait that take() makes.
LockFile examine(const char* lockDir, const char* path, bool again);

// The lock file for path in lockDir, as a path, into file; false when it
// does not fit.
bool lockFilePath(const char* lockDir, const char* path, char* file, std::size_t size);

// What is wrong with a lock file that names no process, for a message
// ("it is empty"); nullptr for any other state.
const char* problemOf(LockState state);

// A process other than this one that has a descriptor open on the character
// device numbered device, as fuser finds it in /proc: a process of another
// user only when this one may look into it (root may). 0 when there is none;
// -1, errno set, when descriptors ran out before the look was done.
pid_t heldBy(dev_t device);

}  // namespace claim
