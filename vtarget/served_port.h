// The served port: a serial device path answered with the slave side of a
// fresh pseudo-terminal, so termios calls, flock and fcntl keep working, and
// the modem-line ioctls on it served through the virtual adapter:
//   TIOCMBIS, TIOCMBIC, TIOCMSET   drive RTS and DTR
//   TIOCSBRK, TIOCCBRK             drive the break state of TxD
//   TIOCMGET                       reads RTS, DTR and DSR
//   TIOCGDEV                       answers the device number of tiocgdev=
// A served path's stat and access answer a character device that this user
// may read and write, numbered 240:0 (a major number for local use,
// Documentation/admin-guide/devices.txt) or as port=PATH@MAJ:MIN says.
// Other requests the adapter has no use for are refused with ENOTTY and
// noted. Such an open never reaches a device. Opened while no served
// descriptor is, the port powers the chip up, so a fuse written through an
// earlier open takes effect (a descriptor taken on does not: Wine may hand
// the same port over more than once in a run).
//
// Descriptors are followed by number: a dup of the served descriptor is a
// plain pseudo-terminal. With serve-ptys, a pseudo-terminal slave that the
// process did not open here is served too, from its first modem-line call on
// (on a pseudo-terminal such a call does nothing or fails). Wine needs it: its
// server opens the port and hands the descriptor to the program's process,
// which makes the modem-line calls.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "vtarget/adapter.h"

namespace vtarget {

// The calls of the C library that the served port stands in front of.
struct RealCalls {
    int (*open)(const char* path, int flags);
    int (*close)(int fd);
    int (*ioctl)(int fd, unsigned long request, void* arg);
};

// The device number a served path stands for unless it names one.
dev_t virtualDevice();

struct PortOptions {
    std::vector<std::string> paths;        // served by their spelling and as device nodes
    std::map<std::string, dev_t> numbers;  // a path's device number, where it names one
    dev_t realDevice = virtualDevice();    // what TIOCGDEV answers
    bool noPort = false;                   // opening a served path fails with ENOENT
    bool servePtys = false;
};

// The requests that drive or read the lines.
bool isLineRequest(unsigned long request);

class ServedPort {
  public:
    ServedPort(Adapter& adapter, const PortOptions& options, RealCalls real);

    // True when path (relative to dirfd) names a served device, by its
    // spelling or as another name of the same device node.
    bool serves(int dirfd, const char* path) const;
    // Fills st for a served path as the device it stands for: 0, or -1 and
    // errno (ENOENT with no-port).
    int stat(const char* path, struct stat* st) const;
    // Opens a served path with the open's flags: a descriptor, or -1 and errno.
    int open(int flags);
    // How often a served path was opened.
    std::uint64_t opens() const { return opens_; }
    bool isServed(int fd) const { return masters_.count(fd) != 0; }
    // Takes fd on as the served port when serve-ptys lets this request do it.
    bool adopts(int fd, unsigned long request);
    int close(int fd);
    int ioctl(int fd, unsigned long request, void* arg);
    // Whether a served path was opened or a descriptor taken on.
    bool used() const { return used_; }

  private:
    int lineCall(unsigned long request, int* bits);

    Adapter& adapter_;
    const PortOptions options_;
    const RealCalls real_;
    std::vector<dev_t> devices_;
    std::map<int, int> masters_;  // served descriptor -> its pseudo-terminal master
    bool used_ = false;
    std::uint64_t opens_ = 0;
};

}  // namespace vtarget
