// The POSIX back end's claim on a serial device: the UUCP lock file that
// programs sharing serial ports agree on, and a look for any other process
// that has the device open.
#pragma once

#include <sys/types.h>

namespace claim {

// Takes the lock file "LCK.." + the device's base name (links resolved) in
// lockDir: this process's PID as ten right-aligned ASCII digits and a newline
// (the HDB UUCP format that the FHS, section /var/lock, asks for). A lock file
// naming a process that no longer exists is removed first. Returns false with
// errno EBUSY when a live process holds the lock, or when the lock file names
// no process: it may be half written; false with EMFILE or ENFILE when no
// descriptor is left to look with. Returns true, holding nothing, when lockDir
// is missing or no lock file can be placed there.
bool take(const char* lockDir, const char* path);

// Removes the lock file that take() placed, if it still names this process.
void release();

// The live process other than this one that the lock file for path in
// lockDir names (links resolved, as take() names it); 0 when there is none.
pid_t lockedBy(const char* lockDir, const char* path);

// A process other than this one that has a descriptor open on the character
// device numbered device, as fuser finds it in /proc: a process of another
// user only when this one may look into it (root may). 0 when there is none;
// -1, errno set, when descriptors ran out before the look was done.
pid_t heldBy(dev_t device);

}  // namespace claim
