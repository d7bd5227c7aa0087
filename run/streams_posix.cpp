// The standard descriptors on POSIX systems.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include "run/streams.h"

namespace run {

bool openClosedStandardStreams() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        // open takes the lowest free descriptor: fd, as those below it are open.
        int null = ::open("/dev/null", O_RDWR);
        if (null < 0) return false;
        if (null != fd) {
            ::close(null);
            errno = EBADF;
            return false;
        }
    }
    // A reader that goes away, as in "quillet --read - | head", must not end
    // the run halfway with the chip held in reset: the write fails instead.
    std::signal(SIGPIPE, SIG_IGN);
    return true;
}

}  // namespace run
